#include "dfu/fw_crc.h"

uint32_t crc32_compute(const uint8_t *p_data, uint32_t size, const uint32_t *p_crc) {
    uint32_t crc = (p_crc == nullptr) ? 0xFFFFFFFFu : ~(*p_crc);
    if (p_data == nullptr) size = 0;
    for (uint32_t i = 0; i < size; ++i) {
        crc ^= p_data[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
