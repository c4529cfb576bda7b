#include "crash/database_folder.h"

#include <cstdio>

#include "common/wide_to_utf8.h"

namespace {

constexpr wchar_t kFolderName[] = L"dump";
// The product's folder under the user's local application data.
constexpr wchar_t kProductFolder[] = L"TavroStudio";

bool Usable(const std::wstring& folder, DatabaseFolderSystem& system) {
    return system.MakeFolder(folder) && system.CanWriteIn(folder);
}

}  // namespace

DatabaseFolder ChooseDatabaseFolder(const std::wstring& launcher_directory,
                                    DatabaseFolderSystem& system) {
    const std::wstring beside = launcher_directory + kFolderName;
    if (Usable(beside, system)) {
        return {beside, true};
    }
    std::wstring local = system.LocalAppData();
    while (!local.empty() && (local.back() == L'\\' || local.back() == L'/')) {
        local.pop_back();
    }
    if (!local.empty()) {
        const std::wstring product = local + L"\\" + kProductFolder;
        const std::wstring fallback = product + L"\\" + kFolderName;
        if (system.MakeFolder(product) && Usable(fallback, system)) {
            std::printf("crash reports are kept in %s\n", WideToUtf8(fallback).c_str());
            return {fallback, true};
        }
    }
    std::printf("crash reports cannot be kept: %s cannot be written\n", WideToUtf8(beside).c_str());
    return {beside, false};
}
