// A design package built for another version of the design host: its
// exports are not to be touched.
#include <cstdint>

extern "C" [[gnu::visibility("default")]] const std::uint32_t GarvelDesignHostVersion = 999;
extern "C" [[gnu::visibility("default")]] const char GarvelDesignPackage[] = "not a table";
