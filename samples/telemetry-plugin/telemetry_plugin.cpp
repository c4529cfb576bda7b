// A sample telemetry plugin. It sends nothing: it appends what the launcher hands it, one JSON
// object per line, to %LOCALAPPDATA%\TavroTelemetrySample\telemetry.jsonl:
//   {"time":"2026-01-02T03:04:05.678Z","pid":908,"call":"SetRequestHeaders","headers":[...]}
//   {...,"call":"Initialize","values":["","US","","<machine GUID>"]}
//   {...,"call":"GetCrashReportDsn","endpoint":"<what it answered>"}
//   {...,"call":"SendEvent","name":"crash_report","properties":{...},"flag":true}
// The crash-reporting endpoint it answers is the value of the environment variable
// TAVRO_TELEMETRY_DSN, and empty when that is unset: the plugin holds no endpoint of its own.
// knownfolders.h needs windows.h declared first.
// clang-format off
#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>
// clang-format on

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tavro/tavro_plugin.h"

namespace {

// Appends one JSON string literal. The launcher's strings are UTF-8 byte strings; a byte that
// is not part of a well-formed UTF-8 sequence becomes U+FFFD so every line stays valid JSON.
void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
            ++i;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
            ++i;
        } else if (byte < 0x80) {
            out += static_cast<char>(byte);
            ++i;
        } else {
            // Lead byte: how many continuation bytes follow, and the smallest second byte and
            // largest that keep the sequence short-form and out of the surrogate range.
            size_t length = 0;
            unsigned char low = 0x80, high = 0xBF;
            if (byte >= 0xC2 && byte <= 0xDF) {
                length = 1;
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                length = 2;
                low = byte == 0xE0 ? 0xA0 : 0x80;
                high = byte == 0xED ? 0x9F : 0xBF;
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                length = 3;
                low = byte == 0xF0 ? 0x90 : 0x80;
                high = byte == 0xF4 ? 0x8F : 0xBF;
            }
            bool valid = length > 0 && i + length < size;
            for (size_t k = 1; valid && k <= length; ++k) {
                const auto next = static_cast<unsigned char>(text[i + k]);
                valid = k == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
            }
            if (valid) {
                out.append(text, i, length + 1);
                i += length + 1;
            } else {
                out += "\\ufffd";
                ++i;
            }
        }
    }
    out += '"';
}

void AppendJsonArray(std::string& out, const std::vector<std::string>& items) {
    out += '[';
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        AppendJsonString(out, items[i]);
    }
    out += ']';
}

std::wstring LogPath() {
    PWSTR folder = nullptr;
    std::wstring path;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &folder))) {
        path = folder;
    }
    CoTaskMemFree(folder);
    if (path.empty()) {
        return path;
    }
    path += L"\\TavroTelemetrySample";
    CreateDirectoryW(path.c_str(), nullptr);
    return path + L"\\telemetry.jsonl";
}

// One record: the time, the process, the call, then the call's own fields (already JSON).
// Each line is written whole by one append to a file opened for that line alone, so lines from
// two threads (the crash event arrives on the thread that handles the crash) or two launcher
// processes never interleave, and the plugin keeps no state that needs a lock.
void Record(const char* call, const std::string& fields) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    char head[128];
    std::snprintf(head, sizeof head,
                  "{\"time\":\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\",\"pid\":%lu,\"call\":\"%s\"",
                  now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                  now.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()), call);
    std::string line = head;
    if (!fields.empty()) {
        line += ',';
        line += fields;
    }
    line += "}\n";

    const std::wstring path = LogPath();
    if (path.empty()) {
        return;
    }
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

class SamplePlugin final : public TavroPlugin {
  public:
    // The launcher catches nothing these operations throw (only the factory and the first
    // endpoint query are guarded), so each one keeps its exceptions to itself: telemetry that
    // cannot be written is dropped.
    void SetRequestHeaders(const std::vector<std::string>& headers) override {
        try {
            std::string fields = "\"headers\":";
            AppendJsonArray(fields, headers);
            Record("SetRequestHeaders", fields);
        } catch (...) {
        }
    }
    void Initialize(const std::string& first, const std::string& region, const std::string& third,
                    const std::string& machine_guid) override {
        try {
            std::string fields = "\"values\":";
            AppendJsonArray(fields, {first, region, third, machine_guid});
            Record("Initialize", fields);
        } catch (...) {
        }
    }
    void GetCrashReportDsn(std::string& dsn) override {
        try {
            const char* endpoint = std::getenv("TAVRO_TELEMETRY_DSN");
            if (endpoint != nullptr) {
                dsn = endpoint;
            }
            std::string fields = "\"endpoint\":";
            AppendJsonString(fields, dsn);
            Record("GetCrashReportDsn", fields);
        } catch (...) {
        }
    }
    void SendEvent(const std::string& name, const EventProperties& properties, bool flag) override {
        try {
            std::string fields = "\"name\":";
            AppendJsonString(fields, name);
            fields += ",\"properties\":{";
            bool first = true;
            for (const auto& [key, value] : properties) {
                if (!first) {
                    fields += ',';
                }
                first = false;
                AppendJsonString(fields, key);
                fields += ':';
                AppendJsonString(fields, value);
            }
            fields += "},\"flag\":";
            fields += flag ? "true" : "false";
            Record("SendEvent", fields);
        } catch (...) {
        }
    }

    // Never called by the launcher; a plugin still has to define them.
    RequestRes Get(const std::string&) override { return {}; }
    RequestRes Post(const std::string&, const std::string&) override { return {}; }
    void SetUserId(const std::string&) override {}
    void SetLanguage(const std::string&) override {}
    void SetCountry(const std::string&) override {}
    RequestRes Download(const std::string&, const std::string&) override { return {}; }
    RequestRes Upload(const std::string&, const std::string&) override { return {}; }
    void SetProxy(const std::string&) override {}
    void Flush() override {}
    void Shutdown() override {}
};

}  // namespace

// The factory the launcher looks up by this exact name. The object lives as long as the
// library, which the launcher never unloads.
extern "C" __declspec(dllexport) TavroPlugin* GetTavroPlugin() {
    static SamplePlugin plugin;
    return &plugin;
}
