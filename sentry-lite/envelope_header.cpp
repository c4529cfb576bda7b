#include "envelope_header.h"

#include "json_text.h"

namespace sentry_lite {

const char kSdkName[] = "sentry.native.lite";
const char kSdkVersion[] = "1.5.27";

size_t EnvelopeHeaderCapacity(const CrashContext& context) {
    return kFixedRoom + JsonStringCapacity(context.event_id) + OptionalCapacity(context.dsn);
}

void AppendEnvelopeHeader(std::string& out, const CrashContext& context, bool with_event_id) {
    out += '{';
    if (with_event_id) {
        out += "\"event_id\":";
        AppendJsonString(out, context.event_id);
        out += ',';
    }
    if (context.dsn && !context.dsn->empty()) {
        out += "\"dsn\":";
        AppendJsonString(out, *context.dsn);
        out += ',';
    }
    out += "\"sdk\":{\"name\":\"";
    out += kSdkName;
    out += "\",\"version\":\"";
    out += kSdkVersion;
    out += "\"}}\n";
}

}  // namespace sentry_lite
