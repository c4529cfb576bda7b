#pragma once

#include <string>

// The forms a database folder's path takes on its way to the system.
namespace sentry_lite {

// An absolute Win32 path in the form that lifts the path-length limit: C:\x → \\?\C:\x,
// \\server\share\x → \\?\UNC\server\share\x; one already in that form, or a device path
// (\\.\), as it is. Always, not only for a long folder: the calls append names to it.
std::wstring LongPathForm(const std::wstring& absolute);

// The native (NT) form of an absolute Win32 path, which the native file calls take:
// \\?\C:\x and C:\x → \??\C:\x, \\?\UNC\s\x and \\s\x → \??\UNC\s\x.
std::wstring NativePathForm(const std::wstring& absolute);

}  // namespace sentry_lite
