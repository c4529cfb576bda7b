#include "common/product_constants.h"

namespace product {

const std::string kAppName = "TavroMake Studio";
const std::string kDisplayName = "orviMake Studio 3D";
const std::string kExecutableName = "tavro-gcodeviewer.exe";
const std::string kApplicationLibraryName = "orviStudio.dll";

}  // namespace product
