// The floor the launcher is measured against: a launcher that does nothing but hand over.
// It splits its command line, finds its own folder, loads orviStudio.dll from there by full
// path, checks that TavroExceptionHandler is exported and calls layrix_main with the program
// path and "--gcodeviewer" before the other arguments.
// shellapi.h needs what windows.h declares, so the two must not be sorted.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>
#include <vector>

using LayrixMain = int (*)(int, wchar_t**);

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr) {
        return -1;
    }
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::wstring library = path.substr(0, path.rfind(L'\\') + 1) + L"orviStudio.dll";
    const HMODULE module = LoadLibraryExW(library.c_str(), nullptr, 0);
    if (module == nullptr || GetProcAddress(module, "TavroExceptionHandler") == nullptr) {
        return -1;
    }
    const auto entry = reinterpret_cast<LayrixMain>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "layrix_main")));
    if (entry == nullptr) {
        return -1;
    }
    static wchar_t viewer_switch[] = L"--gcodeviewer";
    std::vector<wchar_t*> vector{arguments[0], viewer_switch};
    vector.insert(vector.end(), arguments + 1, arguments + count);
    vector.push_back(nullptr);
    return entry(static_cast<int>(vector.size() - 1), vector.data());
}
