#pragma once
// The recorded receiver captures: $TELAGENT_NMEA_DIR when set, else the
// repository's tests/data/nmea (its path compiled in by CMake, so it does not
// depend on how the compiler spelled __FILE__).
#include <cstdlib>
#include <filesystem>

inline std::filesystem::path nmea_capture_dir() {
    if (const char *env = std::getenv("TELAGENT_NMEA_DIR"); env != nullptr && *env) return env;
    return std::filesystem::path(TELAGENT_TEST_DATA_DIR) / "nmea";
}
