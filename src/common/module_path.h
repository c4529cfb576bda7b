#pragma once

#include <string>

// The launcher executable's full path, however long: the buffer grows until the whole
// path fits, so nothing built from it is ever cut short. Empty when the query fails.
std::wstring GetModulePath();

// The path up to and including its last backslash; the empty string when it has none (a
// failed query's empty path included). A forward slash does not end the directory.
std::wstring DirectoryOf(const std::wstring& module_path);
