#include <windows.h>

#include "common/module_path.h"

std::wstring GetModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD capacity = static_cast<DWORD>(path.size());
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), capacity);
        if (length == 0) {
            return {};
        }
        // A result equal to the capacity means the path was cut to fit.
        if (length < capacity) {
            path.resize(length);
            return path;
        }
        if (capacity >= 32768 * 2) {
            return {};
        }
        path.assign(static_cast<size_t>(capacity) * 2, L'\0');
    }
}
