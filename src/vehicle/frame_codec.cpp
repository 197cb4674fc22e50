#include "vehicle/frame_codec.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "core/logging.h"

namespace {

// MSB-first table for polynomial 0x1021.
constexpr std::array<uint16_t, 256> make_ccitt_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}

// Reflected table for polynomial 0x8005 (0xA001 reversed).
constexpr std::array<uint16_t, 256> make_arc_table() {
    std::array<uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 1) ? (c >> 1) ^ 0xA001 : c >> 1);
        t[i] = c;
    }
    return t;
}

constexpr auto kCcitt = make_ccitt_table();
constexpr auto kArc = make_arc_table();

}  // namespace

uint16_t crc16_ccitt(const uint8_t *data, size_t len) {
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>((crc << 8) ^ kCcitt[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

uint16_t crc16_arc(const uint8_t *data, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; ++i) crc = static_cast<uint16_t>((crc >> 8) ^ kArc[(crc ^ data[i]) & 0xFF]);
    return crc;
}

size_t build_orlin_frame(uint8_t dst, uint8_t src, uint16_t msg_id, const uint8_t *payload,
                         size_t payload_len, uint8_t *out, size_t cap) {
    if (out == nullptr || payload_len > 0xFFFF || payload_len + kFrameOverhead > cap) return 0;
    if (payload_len > 0 && payload == nullptr) return 0;
    out[0] = kFrameStart;
    out[1] = dst;
    out[2] = src;
    out[3] = static_cast<uint8_t>(msg_id & 0xFF);
    out[4] = static_cast<uint8_t>(msg_id >> 8);
    out[5] = static_cast<uint8_t>(payload_len & 0xFF);
    out[6] = static_cast<uint8_t>(payload_len >> 8);
    if (payload_len) memcpy(out + 7, payload, payload_len);
    uint16_t crc = crc16_ccitt(out + 1, 6 + payload_len);
    out[7 + payload_len] = static_cast<uint8_t>(crc & 0xFF);
    out[8 + payload_len] = static_cast<uint8_t>(crc >> 8);
    out[9 + payload_len] = kFrameEnd;
    return payload_len + kFrameOverhead;
}

size_t build_caret_frame(uint8_t cmd, const uint8_t *data, size_t data_len, uint8_t *out, size_t cap) {
    size_t total = data_len + 6;
    if (out == nullptr || total > 255 || total > cap) return 0;
    if (data_len > 0 && data == nullptr) return 0;
    out[0] = kCaretStart;
    out[1] = 0x00;
    out[2] = static_cast<uint8_t>(total);
    out[3] = cmd;
    if (data_len) memcpy(out + 4, data, data_len);
    uint16_t crc = crc16_arc(out, total - 2);
    out[total - 2] = static_cast<uint8_t>(crc >> 8);
    out[total - 1] = static_cast<uint8_t>(crc & 0xFF);
    return total;
}

int check_orlin_msg_valid(const uint8_t *frame, int len) {
    if (frame == nullptr) return 0;
    if (len < static_cast<int>(kFrameOverhead)) {
        // Too short to hold a CRC: never index before the frame.
        printf("%d/%s short frame %d\n", __LINE__, __func__, len);
        return 0;
    }
    if (frame[0] != kFrameStart) {
        printf("%d/%s start byte %02x error\n", __LINE__, __func__, frame[0]);
        return 0;
    }
    if (frame[len - 1] != kFrameEnd) {
        printf("%d/%s end byte %02x error\n", __LINE__, __func__, frame[len - 1]);
        return 0;
    }
    uint16_t want = static_cast<uint16_t>(frame[len - 3] | (frame[len - 2] << 8));
    if (crc16_ccitt(frame + 1, static_cast<size_t>(len - 4)) != want) {
        dhex("check_orlin_msg_valid crc_error ", frame, len);
        return 0;
    }
    return 1;
}

int check_caret_msg_valid(const uint8_t *frame, int len) {
    if (frame == nullptr || len < 6 || frame[0] != kCaretStart || frame[1] != 0x00 || frame[2] != len) return 0;
    uint16_t want = static_cast<uint16_t>((frame[len - 2] << 8) | frame[len - 1]);
    return crc16_arc(frame, static_cast<size_t>(len - 2)) == want ? 1 : 0;
}
