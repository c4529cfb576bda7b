#include "telemetry/telemetry_setup.h"

#include "common/product_constants.h"
#include "common/wide_to_utf8.h"
#include "telemetry/plugin_loader.h"

namespace {

constexpr char kAppVersion[] = "1.5.27";
constexpr char kModelType[] = "PC";
constexpr char kOsType[] = "Windows";
constexpr char kRegionCode[] = "US";

}  // namespace

std::string MachineGuidFromValue(const MachineGuidValue& value) {
    if (!value.read) {
        return {};
    }
    // Whole UTF-16 units only: an odd last byte, or a value with no NUL, must not make us
    // read past what the registry returned.
    std::wstring text;
    for (size_t i = 0; i + 1 < value.bytes.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(value.bytes[i] | (value.bytes[i + 1] << 8));
        if (unit == L'\0') {
            break;
        }
        text += unit;
    }
    return WideToUtf8(text);
}

std::string GetMachineGuid() {
    return MachineGuidFromValue(ReadMachineGuidValue());
}

std::vector<std::string> BuildRequestHeaders(const std::string& machine_guid) {
    return {
        "App_name: " + product::kAppName,
        std::string("Model_type: ") + kModelType,
        std::string("App_version: V") + kAppVersion,
        "Country: ",
        "Language: ",
        "Expect:",
        "Openudid: " + machine_guid,
        "Os_version: ",
        std::string("Os_type: ") + kOsType,
        "Content-Type:application/json;charset=UTF-8",
    };
}

void SetUpTelemetry() {
    LoadTelemetryPlugin();
    const std::string machine_guid = GetMachineGuid();
    const std::vector<std::string> headers = BuildRequestHeaders(machine_guid);
    if (PluginInstance == nullptr) {
        return;
    }
    PluginInstance->SetRequestHeaders(headers);
    PluginInstance->Initialize("", kRegionCode, "", machine_guid);
}
