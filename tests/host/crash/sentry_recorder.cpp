// A recording double of the crash reporter's C functions, linked in place of sentry.dll.
#include <string>

#include "recorder.h"

std::vector<std::string> calls;
int sentry_init_result = 0;
sentry_crash_function_t recorded_on_crash = nullptr;
void* recorded_on_crash_data = nullptr;

namespace {

sentry_options_t* const kOptions = reinterpret_cast<sentry_options_t*>(0x5E47);

std::string Show(const char* text) {
    return text == nullptr ? "null" : std::string("\"") + text + "\"";
}

// Every option call must name the object that sentry_options_new made.
void Record(const char* function, sentry_options_t* options, const std::string& value) {
    calls.push_back(std::string(function) + (options == kOptions ? "" : "[other options]") + "(" +
                    value + ")");
}

}  // namespace

sentry_options_t* const recorded_options = kOptions;

extern "C" {

sentry_options_t* sentry_options_new(void) {
    calls.push_back("sentry_options_new");
    return kOptions;
}
void sentry_options_set_dsn(sentry_options_t* opts, const char* dsn) {
    Record("sentry_options_set_dsn", opts, Show(dsn));
}
void sentry_options_set_release(sentry_options_t* opts, const char* release) {
    Record("sentry_options_set_release", opts, Show(release));
}
void sentry_options_set_environment(sentry_options_t* opts, const char* environment) {
    Record("sentry_options_set_environment", opts, Show(environment));
}
void sentry_options_set_handler_path(sentry_options_t* opts, const char* path) {
    Record("sentry_options_set_handler_path", opts, Show(path));
}
void sentry_options_set_database_path(sentry_options_t* opts, const char* path) {
    Record("sentry_options_set_database_path", opts, Show(path));
}
void sentry_options_set_debug(sentry_options_t* opts, int debug) {
    Record("sentry_options_set_debug", opts, std::to_string(debug));
}
void sentry_options_set_auto_session_tracking(sentry_options_t* opts, int val) {
    Record("sentry_options_set_auto_session_tracking", opts, std::to_string(val));
}
void sentry_options_set_symbolize_stacktraces(sentry_options_t* opts, int val) {
    Record("sentry_options_set_symbolize_stacktraces", opts, std::to_string(val));
}
void sentry_options_set_on_crash(sentry_options_t* opts, sentry_crash_function_t func, void* data) {
    recorded_on_crash = func;
    recorded_on_crash_data = data;
    Record("sentry_options_set_on_crash", opts, "");
}
int sentry_init(sentry_options_t* options) {
    Record("sentry_init", options, "");
    return sentry_init_result;
}
int sentry_shutdown(void) {
    calls.push_back("sentry_shutdown");
    return 0;
}
void sentry_start_session(void) {
    calls.push_back("sentry_start_session");
}
void sentry_end_session(void) {
    calls.push_back("sentry_end_session");
}
void sentry_set_tag(const char* key, const char* value) {
    calls.push_back("sentry_set_tag(" + Show(key) + ", " + Show(value) + ")");
}

}  // extern "C"
