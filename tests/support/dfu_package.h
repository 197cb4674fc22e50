#pragma once
// Nordic DFU packages for tests, written with libzip: manifest.json plus the
// named entries.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct PkgEntry {
    std::string name;
    std::vector<uint8_t> data;
};

// Writes a zip at machine path `path`; false on failure.
bool write_dfu_package(const std::string &path, const std::string &manifest, const std::vector<PkgEntry> &entries);

// Manifest text for images given as (kind, base name): "<base>.bin"/"<base>.dat".
std::string dfu_manifest_json(const std::vector<std::pair<std::string, std::string>> &images);

// Bytes of a test image: a fixed pseudo-random pattern with plenty of 0xC0
// and 0xDB, so SLIP escaping is exercised.
std::vector<uint8_t> dfu_test_image(size_t size, uint32_t seed);

// An init packet the simulated bootloader understands: names the kind and the
// firmware size.
std::vector<uint8_t> dfu_init_packet(const std::string &kind, size_t fw_size);
