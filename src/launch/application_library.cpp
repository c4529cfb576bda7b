#include "launch/application_library.h"

#include <cstdio>

int RunApplicationLibrary(const std::wstring& launcher_directory, ArgumentVector& arguments,
                          ModuleLoader& loader) {
    // Built as a string of any length: a deep launcher folder still finds its library.
    const std::wstring library_path = launcher_directory + L"orviStudio.dll";

    const ModuleHandle library = loader.Load(library_path);
    if (library == nullptr) {
        const auto error = static_cast<int>(loader.LastError());
        std::printf("orviStudio.dll was not loaded, error: %d\n", error);
        return -1;
    }
    // The application's crash handling lives behind this export; a library without it is
    // not one we may run, though the launcher itself never calls it.
    if (loader.FindExport(library, "TavroExceptionHandler") == nullptr) {
        std::printf("could not locate the function tavroExceptionHandler in orviStudio.dll\n");
        return -1;
    }
    const auto layrix_main =
        reinterpret_cast<LayrixMain>(loader.FindExport(library, "layrix_main"));
    if (layrix_main == nullptr) {
        std::printf("could not locate the function layrix_main in orviStudio.dll\n");
        return -1;
    }
    return layrix_main(arguments.Count(), arguments.Data());
}
