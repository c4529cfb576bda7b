// The lite crash reporter's DSN parser on any bytes: it reads a DSN exactly when a plain
// regular expression of the form does, and what it reads puts the DSN back together.
#include <cstddef>
#include <cstdint>
#include <regex>
#include <string>

#include "dsn.h"
#include "fuzz_check.h"

namespace {

// {scheme}://{key}[:{secret}]@{host}[:{port}]/{path/}{project id}.
const std::regex& DsnForm() {
    static const std::regex form(
        "(https?)://([A-Za-z0-9._~-]+)(:[A-Za-z0-9._~-]*)?@([A-Za-z0-9.-]{1,253})"
        "(:[1-9][0-9]{0,4})?/((?:[A-Za-z0-9._~-]+/)*)([0-9]{1,20})");
    return form;
}

// Regular expressions recurse per character; long inputs are checked by the round trip only.
constexpr size_t kRegexLimit = 400;

std::string Recomposed(const sentry_lite::Dsn& dsn) {
    std::string text = dsn.secure ? "https://" : "http://";
    text += dsn.public_key;
    if (dsn.has_secret) {
        text += ":" + dsn.secret;
    }
    text += "@" + dsn.host;
    if (dsn.explicit_port) {
        text += ":" + std::to_string(dsn.port);
    }
    return text + "/" + dsn.path + dsn.project_id;
}

bool IsPlainHeaderText(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto dsn = sentry_lite::ParseDsn(text);
    if (size <= kRegexLimit) {
        std::smatch match;
        bool expected = std::regex_match(text, match, DsnForm());
        if (expected && match[5].matched) {
            expected = std::stoul(match[5].str().substr(1)) <= 65535;
        }
        FUZZ_CHECK(dsn.has_value() == expected);
    }
    if (!dsn) {
        return 0;
    }
    FUZZ_CHECK(Recomposed(*dsn) == text);
    FUZZ_CHECK(dsn->port != 0);
    FUZZ_CHECK(dsn->explicit_port || dsn->port == (dsn->secure ? 443 : 80));
    const std::string url = sentry_lite::EnvelopeUrl(*dsn);
    FUZZ_CHECK(IsPlainHeaderText(url) && url.find(' ') == std::string::npos);
    FUZZ_CHECK(url.size() > 14 && url.compare(url.size() - 10, 10, "/envelope/") == 0);
    const std::string auth = sentry_lite::AuthHeaderValue(*dsn, "c/1");
    FUZZ_CHECK(IsPlainHeaderText(auth));
    FUZZ_CHECK(auth ==
               "Sentry sentry_key=" + dsn->public_key + ", sentry_version=7, sentry_client=c/1");
    return 0;
}
