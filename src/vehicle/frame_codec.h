#pragma once
// Bus frames and caret frames, the two formats on the box's serial lines.
//
// Bus frame:   02 dst src id_lo id_hi len_lo len_hi payload... crc_lo crc_hi 03
//              CRC-16/CCITT-FALSE over dst..payload, low byte first.
// Caret frame: 5E 00 L cmd data... crc_hi crc_lo   (L = whole frame, CRC included)
//              CRC-16/ARC over the first L-2 bytes, high byte first.
#include <cstddef>
#include <cstdint>

inline constexpr uint8_t kFrameStart = 0x02;
inline constexpr uint8_t kFrameEnd = 0x03;
inline constexpr uint8_t kCaretStart = 0x5E;
inline constexpr size_t kFrameOverhead = 10;  // start, dst, src, id, len, crc, end

// Node addresses.
enum : uint8_t {
    NODE_MOTOR = 0x01,
    NODE_BOX_QUERY = 0x02,
    NODE_DISPLAY = 0x03,
    NODE_APP = 0x04,
    NODE_BMS1 = 0x05,
    NODE_BOX = 0x06,
    NODE_MCU = 0x07,
    NODE_GD32 = 0x08,
    NODE_BMS2 = 0x15,
    NODE_BMS3 = 0x25,
    NODE_BOOTLOADER = 0xAA,
    NODE_BROADCAST = 0xFF,
};

uint16_t crc16_ccitt(const uint8_t *data, size_t len);
uint16_t crc16_arc(const uint8_t *data, size_t len);

// Builds a bus frame into `out` (capacity `cap`).  Returns the frame length
// (payload length + 10), or 0 when it does not fit.
size_t build_orlin_frame(uint8_t dst, uint8_t src, uint16_t msg_id, const uint8_t *payload,
                         size_t payload_len, uint8_t *out, size_t cap);

// Builds a caret frame for `cmd` with `data`.  Returns L, or 0 when it does not
// fit in `cap` or L would exceed 255.
size_t build_caret_frame(uint8_t cmd, const uint8_t *data, size_t data_len, uint8_t *out, size_t cap);

// Field access on a bus frame of at least 7 bytes.
inline uint16_t frame_msg_id(const uint8_t *f) { return static_cast<uint16_t>(f[3] | (f[4] << 8)); }
inline uint16_t frame_payload_len(const uint8_t *f) { return static_cast<uint16_t>(f[5] | (f[6] << 8)); }

// Payload bytes a handler may read: the declared length, but never more than
// the frame actually holds.
inline size_t frame_payload_avail(const uint8_t *f, int len) {
    if (f == nullptr || len < static_cast<int>(kFrameOverhead)) return 0;
    size_t declared = frame_payload_len(f);
    size_t held = static_cast<size_t>(len) - kFrameOverhead;
    return declared < held ? declared : held;
}

// A frame without payload: a read request.
inline bool frame_is_read(const uint8_t *f, int len) { return frame_payload_avail(f, len) == 0; }

// Payload fields are little-endian.
inline void put_le32(uint8_t *p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

// Sensor values travel as 1/10000 units.
inline int32_t frame_scaled(double v) { return static_cast<int32_t>(v * 10000.0); }

// 1 when the frame starts with 02, ends with 03 and carries a good CRC; else 0
// with a console message naming what was wrong.
int check_orlin_msg_valid(const uint8_t *frame, int len);

// 1 when a caret frame of length `len` has the right header, length byte and CRC.
int check_caret_msg_valid(const uint8_t *frame, int len);
