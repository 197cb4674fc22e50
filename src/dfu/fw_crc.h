#pragma once
// Checksums of the firmware-update paths.
//
// CRC-32/MPEG-2 (poly 0x04C11DB7, MSB first, no reflection; callers pass
// initial 0xFFFFFFFF and final xor 0) guards every controller image and the
// library image received over a link.  The three entry points differ only in
// how they feed the bytes, so each covers an image in HEX file order:
//   CRCCCITT8bit  plain bytes
//   CRCCCITT      16-bit words, high byte first (motor controller images)
//   CRCCCITT2     16-bit words, low byte first (HM52 images)
// crc32_compute is the reflected CRC-32 of zip and Nordic DFU, continuable.
#include <cstddef>
#include <cstdint>

uint32_t CRCCCITT8bit(const uint8_t *data, uint32_t count, uint32_t initial, uint32_t final_xor);
uint32_t CRCCCITT(const uint16_t *words, uint32_t count, uint32_t initial, uint32_t final_xor);
uint32_t CRCCCITT2(const uint16_t *words, uint32_t count, uint32_t initial, uint32_t final_xor);

// Standard CRC-32 (0xEDB88320 reflected, init 0xFFFFFFFF, final complement).
// With `previous`, continues a CRC computed over the bytes before `data`.
uint32_t crc32_compute(const uint8_t *data, uint32_t size, const uint32_t *previous);
