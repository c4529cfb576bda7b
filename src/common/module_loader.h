#pragma once

#include <string>

using ModuleHandle = void*;
using ExportAddress = void (*)();

// Loading a library by path and finding its exports: LoadLibraryExW(path, no file, 0),
// GetLastError and GetProcAddress on Windows; a fake in the host tests.
class ModuleLoader {
  public:
    virtual ModuleHandle Load(const std::wstring& path) = 0;
    // The loader's error code, read right after a failed Load.
    virtual unsigned long LastError() = 0;
    virtual ExportAddress FindExport(ModuleHandle module, const char* name) = 0;

  protected:
    ~ModuleLoader() = default;
};

ModuleLoader& SystemModuleLoader();
