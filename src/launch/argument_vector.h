#pragma once

#include <memory>
#include <vector>

#include "renderer/renderer_switches.h"

// What the application's entry point receives: the launcher's program path, "--gcodeviewer",
// the user's arguments unchanged, and a null entry. Every entry but the second points into
// the split command line, which must outlive the application's run.
struct ArgumentVector {
    // The launcher's own writable copy of "--gcodeviewer"; held on the heap so the entry
    // that points at it stays valid when the vector is moved.
    std::unique_ptr<wchar_t[]> gcodeviewer;
    std::vector<wchar_t*> entries;

    // The count handed to the application: the final null entry is not counted.
    int Count() const { return static_cast<int>(entries.size()) - 1; }
    wchar_t** Data() { return entries.data(); }
};

struct LaunchArguments {
    ArgumentVector vector;
    RendererSwitches switches;
};

// count is at least 1 and entries[0] is the program path, as CommandLineToArgvW gives them.
LaunchArguments BuildArgumentVector(int count, wchar_t* const* entries);
