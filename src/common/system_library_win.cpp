#include <windows.h>

#include <string>

#include "common/system_library.h"

ModuleHandle LoadSystemLibrary(const wchar_t* file_name) {
    const UINT size = GetSystemDirectoryW(nullptr, 0);
    if (size == 0) {
        return nullptr;
    }
    std::wstring path(size, L'\0');
    const UINT length = GetSystemDirectoryW(path.data(), size);
    if (length == 0 || length >= size) {
        return nullptr;
    }
    path.resize(length);
    if (path.back() != L'\\') {
        path += L'\\';
    }
    path += file_name;
    return LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
