#include "support/dfu_package.h"

#include <zip.h>

#include <cstring>

bool write_dfu_package(const std::string &path, const std::string &manifest, const std::vector<PkgEntry> &entries) {
    int err = 0;
    zip_t *z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    if (z == nullptr) return false;
    auto add = [&](const std::string &name, const void *data, size_t len) {
        // libzip reads the buffer at close time: hand it a copy it frees itself.
        void *copy = malloc(len ? len : 1);
        if (copy == nullptr) return false;
        if (len) memcpy(copy, data, len);
        zip_source_t *s = zip_source_buffer(z, copy, len, 1);
        if (s == nullptr) {
            free(copy);
            return false;
        }
        if (zip_file_add(z, name.c_str(), s, ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(s);
            return false;
        }
        return true;
    };
    bool ok = add("manifest.json", manifest.data(), manifest.size());
    for (const PkgEntry &e : entries) ok = ok && add(e.name, e.data.data(), e.data.size());
    if (!ok) {
        zip_discard(z);
        return false;
    }
    return zip_close(z) == 0;
}

std::string dfu_manifest_json(const std::vector<std::pair<std::string, std::string>> &images) {
    std::string j = "{\n  \"manifest\": {";
    for (size_t i = 0; i < images.size(); ++i) {
        const auto &[kind, base] = images[i];
        j += std::string(i ? "," : "") + "\n    \"" + kind + "\": {\"bin_file\": \"" + base + ".bin\", \"dat_file\": \"" +
             base + ".dat\"";
        if (kind == "softdevice_bootloader")
            j += ", \"info_read_only_metadata\": {\"bl_size\": 24576, \"sd_size\": 151016}";
        j += "}";
    }
    return j + "\n  }\n}\n";
}

std::vector<uint8_t> dfu_test_image(size_t size, uint32_t seed) {
    std::vector<uint8_t> b(size);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        uint8_t v = static_cast<uint8_t>(x >> 16);
        if (i % 37 == 5) v = 0xC0;
        if (i % 53 == 7) v = 0xDB;
        b[i] = v;
    }
    return b;
}

std::vector<uint8_t> dfu_init_packet(const std::string &kind, size_t fw_size) {
    const std::string s = "init " + kind + " size=" + std::to_string(fw_size) + " ";
    std::vector<uint8_t> b(s.begin(), s.end());
    b.push_back(0xC0);  // the init packet is binary on the wire too
    b.push_back(0xDB);
    return b;
}
