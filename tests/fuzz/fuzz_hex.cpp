// Intel HEX image builders and record readers on arbitrary file contents.
// Besides "no crash": a build either fails with an all-0xFF image or succeeds
// with the CRC of its own image in the last four bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dfu/fw_crc.h"
#include "dfu/fw_image.h"

namespace {

void check_image(FwTarget t, int ok) {
    const FwTargetInfo &ti = fw_target_info(t);
    const uint8_t *img = fw_image(t);
    if (!ok) {
        for (size_t i = 0; i < ti.image_bytes; ++i) {
            if (img[i] != 0xFF) std::abort();
        }
        return;
    }
    const size_t body = ti.image_bytes - 4;
    uint32_t crc = t == FW_KD11 ? CRCCCITT(reinterpret_cast<const uint16_t *>(img), static_cast<uint32_t>(body / 2),
                                           0xFFFFFFFFu, 0)
                                : CRCCCITT8bit(img, static_cast<uint32_t>(body), 0xFFFFFFFFu, 0);
    if (crc != fw_image_crc(t)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Builder messages are for people; keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    // First byte picks the target; the rest is the file.
    const FwTarget t = static_cast<FwTarget>(data[0] % FW_TARGETS);
    const char *text = reinterpret_cast<const char *>(data + 1);
    check_image(t, fw_build_from_text(t, text, size - 1));

    // The record readers on the same bytes as one line, with a small buffer.
    uint8_t type = 0, bytes[16];
    uint16_t words[8];
    uint32_t addr = 0;
    int count = sizeof bytes;
    const int len = static_cast<int>(size - 1 > 4096 ? 4096 : size - 1);
    if (hex8bit_parse(text, len, &type, &addr, bytes, &count) && (count < 0 || count > 16)) std::abort();
    count = 8;
    if (hex_parse(text, len, &type, &addr, words, &count) && (count < 0 || count > 16)) std::abort();
    return 0;
}
