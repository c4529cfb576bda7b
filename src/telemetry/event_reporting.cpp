#include "telemetry/event_reporting.h"

#include "telemetry/plugin_loader.h"

std::atomic<bool> SharingDisabled{true};

namespace {

constexpr char kSharingControlEvent[] = "report_bury_shared";
constexpr char kSharingControlProperty[] = "current_bury_shared";

}  // namespace

void ReportEvent(std::string name, EventProperties properties, bool flag) {
    if (name == kSharingControlEvent) {
        // Only an explicit "0" turns sharing off; any other value, a missing one included,
        // turns it on. The control event itself is never forwarded.
        SharingDisabled.exchange(properties[kSharingControlProperty] == "0");
        return;
    }
    if (SharingDisabled.load()) {
        return;
    }
    LoadTelemetryPlugin();
    if (PluginInstance != nullptr) {
        PluginInstance->SendEvent(name, properties, flag);
    }
}
