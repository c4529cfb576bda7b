#include "launch/argument_vector.h"

#include <cwchar>
#include <iterator>

namespace {

constexpr wchar_t kGcodeViewerSwitch[] = L"--gcodeviewer";
constexpr wchar_t kSoftwareRendererSwitch[] = L"--sw-renderer";
constexpr wchar_t kNoSoftwareRendererSwitch[] = L"--no-sw-renderer";

}  // namespace

LaunchArguments BuildArgumentVector(int count, wchar_t* const* entries) {
    LaunchArguments arguments;
    ArgumentVector& vector = arguments.vector;

    vector.gcodeviewer = std::make_unique<wchar_t[]>(std::size(kGcodeViewerSwitch));
    std::wmemcpy(vector.gcodeviewer.get(), kGcodeViewerSwitch, std::size(kGcodeViewerSwitch));

    vector.entries.reserve(static_cast<size_t>(count) + 2);
    vector.entries.push_back(entries[0]);
    vector.entries.push_back(vector.gcodeviewer.get());

    // Switches are matched exactly and still passed on: the application reads them too.
    for (int i = 1; i < count; ++i) {
        if (std::wcscmp(entries[i], kSoftwareRendererSwitch) == 0) {
            arguments.switches.sw_renderer = true;
        } else if (std::wcscmp(entries[i], kNoSoftwareRendererSwitch) == 0) {
            arguments.switches.no_sw_renderer = true;
        }
        vector.entries.push_back(entries[i]);
    }
    vector.entries.push_back(nullptr);
    return arguments;
}
