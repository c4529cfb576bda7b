// Drivers of machines with two graphics processors read these from the executable's export
// table and give the process the high-performance one, for the probe and the application
// alike. Compiled into the executable itself: nothing in the launcher refers to them, so a
// static library would drop them.
#include <cstdint>

extern "C" {

__declspec(dllexport) std::uint32_t NvOptimusEnablement = 1;
__declspec(dllexport) std::uint32_t AmdPowerXpressRequestHighPerformance = 1;

}  // extern "C"
