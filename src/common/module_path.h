#pragma once

#include <string>

// The launcher executable's full path, however long: the buffer grows until the whole
// path fits, so nothing built from it is ever cut short. Empty when the query fails.
std::wstring GetModulePath();
