// Out-of-line special members, so the launcher executable exports them (and the plugin's
// dispatch table) for plugins built against it. Compiled into the executable itself: nothing
// in the launcher refers to them, so a static library would drop them.
#include <utility>

#include "tavro/tavro_plugin.h"

RequestRes::RequestRes() = default;
RequestRes::RequestRes(const RequestRes& other) = default;

RequestRes::RequestRes(RequestRes&& other) noexcept
    : result_code(other.result_code), detail_code(other.detail_code), data(std::move(other.data)) {
    other.data.clear();
}

RequestRes::~RequestRes() = default;

RequestRes& RequestRes::operator=(const RequestRes& other) {
    if (this != &other) {
        result_code = other.result_code;
        detail_code = other.detail_code;
        data = other.data;
    }
    return *this;
}

RequestRes& RequestRes::operator=(RequestRes&& other) noexcept {
    if (this != &other) {
        result_code = other.result_code;
        detail_code = other.detail_code;
        data = std::move(other.data);
        other.data.clear();
    }
    return *this;
}

// The constructors only install the dispatch table; the assignments leave the object as it is.
TavroPlugin::TavroPlugin() {}
TavroPlugin::TavroPlugin(const TavroPlugin&) {}
TavroPlugin::TavroPlugin(TavroPlugin&&) noexcept {}
TavroPlugin& TavroPlugin::operator=(const TavroPlugin&) {
    return *this;
}
TavroPlugin& TavroPlugin::operator=(TavroPlugin&&) noexcept {
    return *this;
}
