#pragma once

#include <string>

// Names shared with the rest of the product. They are built before the entry function runs
// and released at exit; the launcher itself reads only the application name.
namespace product {

extern const std::string kAppName;
extern const std::string kDisplayName;
extern const std::string kExecutableName;
extern const std::string kApplicationLibraryName;

}  // namespace product
