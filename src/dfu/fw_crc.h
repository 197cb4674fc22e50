#pragma once
// Checksums of the firmware-update paths.
#include <cstdint>

// Standard reflected CRC-32 (0xEDB88320, init 0xFFFFFFFF, final complement).
// With `p_crc` set it continues from that earlier result, so a CRC over a
// stream can be built piece by piece: crc32(a+b) == crc32(b, &crc32(a)).
// A null `p_data` counts as no data.
uint32_t crc32_compute(const uint8_t *p_data, uint32_t size, const uint32_t *p_crc);
