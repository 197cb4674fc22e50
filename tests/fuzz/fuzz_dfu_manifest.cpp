// Arbitrary text as a DFU package manifest: the parser never reads or writes
// out of bounds, and what it accepts is a coherent set of images.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dfu/dfu.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Every refusal is logged; the fuzzer's own reports need standard error.
    logger_mute_errors(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > kDfuManifestMax) return 0;
    // A copy of exactly the input's size, with no terminator, as read from the zip.
    std::vector<char> text(data, data + size);
    dfu_manifest_t m;
    if (dfu_parse_manifest(text.data(), text.size(), &m) != 0) return 0;
    if (m.count < 1 || m.count > 2 || m.count != m.declared) abort();
    for (int i = 0; i < m.count; ++i) {
        const dfu_image_t &img = m.images[i];
        if (img.kind < DFU_IMG_APPLICATION || img.kind > DFU_IMG_SOFTDEVICE_BOOTLOADER) abort();
        size_t b = strnlen(img.bin_file, kDfuNameMax), d = strnlen(img.dat_file, kDfuNameMax);
        if (b == 0 || b >= kDfuNameMax || d == 0 || d >= kDfuNameMax) abort();
        for (int j = 0; j < i; ++j)
            if (m.images[j].kind == img.kind) abort();
    }
    return 0;
}
