#include "dfu/fw_crc.h"

#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_mpeg2_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 24;
        for (int b = 0; b < 8; ++b) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
        t[i] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> kMpeg2 = make_mpeg2_table();

inline uint32_t feed(uint32_t crc, uint8_t b) { return (crc << 8) ^ kMpeg2[((crc >> 24) ^ b) & 0xFF]; }

}  // namespace

uint32_t CRCCCITT8bit(const uint8_t *data, uint32_t count, uint32_t initial, uint32_t final_xor) {
    uint32_t crc = initial;
    if (data != nullptr) {
        for (uint32_t i = 0; i < count; ++i) crc = feed(crc, data[i]);
    }
    return crc ^ final_xor;
}

uint32_t CRCCCITT(const uint16_t *words, uint32_t count, uint32_t initial, uint32_t final_xor) {
    uint32_t crc = initial;
    if (words != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            crc = feed(crc, static_cast<uint8_t>(words[i] >> 8));
            crc = feed(crc, static_cast<uint8_t>(words[i]));
        }
    }
    return crc ^ final_xor;
}

uint32_t CRCCCITT2(const uint16_t *words, uint32_t count, uint32_t initial, uint32_t final_xor) {
    uint32_t crc = initial;
    if (words != nullptr) {
        for (uint32_t i = 0; i < count; ++i) {
            crc = feed(crc, static_cast<uint8_t>(words[i]));
            crc = feed(crc, static_cast<uint8_t>(words[i] >> 8));
        }
    }
    return crc ^ final_xor;
}

uint32_t crc32_compute(const uint8_t *data, uint32_t size, const uint32_t *previous) {
    uint32_t crc = previous == nullptr ? 0xFFFFFFFFu : ~*previous;
    if (data != nullptr) {
        for (uint32_t i = 0; i < size; ++i) {
            crc ^= data[i];
            for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}
