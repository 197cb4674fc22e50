#pragma once
// Flash images of the attached controllers, built from the Intel HEX files the
// firmware requests download.  Each target has its own file, address window
// and word handling; a built image is all 0xFF outside the HEX data and ends
// with its CRC-32/MPEG-2, least significant byte first, which the controller's
// bootloader checks after the last block.
//
// A builder returns 1 only for a complete image: the file ended with its
// end-of-file record, every record parsed, nothing fell outside the window
// (the display skips such records) and some data fell inside it.  Otherwise it
// returns 0 and the image stays all 0xFF without a CRC: an update must never
// flash half an image, or an earlier build's, as if it were the one asked for.
#include <cstddef>
#include <cstdint>
#include <mutex>

// Record reading.  1 on success, 0 on failure.
// Up to 8 hex digits (either case); 0 digits gives 0.
int AsciiHexToNum(const char *text, int digits, uint32_t *out);
// One record ":LLAAAATT<data>CC".  *type is written as soon as it is read, so
// a caller can tell a failure before it (type keeps the preset) from one
// after.  *count: in, the capacity of `data` (bytes, or 16-bit words for
// hex_parse); out, the record's data bytes.  hex_parse packs the bytes in
// pairs, first byte in the high half (an odd last byte gets 0xFF below it).
int hex8bit_parse(const char *line, int len, uint8_t *type, uint32_t *addr, uint8_t *data, int *count);
int hex_parse(const char *line, int len, uint8_t *type, uint32_t *addr, uint16_t *data, int *count);

enum FwTarget { FW_DISPLAY = 0, FW_KD11 = 1, FW_HM52 = 2, FW_GD32 = 3, FW_TARGETS = 4 };

struct FwTargetInfo {
    const char *path;         // device path of the HEX file
    size_t max_file;          // bytes of the file read at most
    size_t image_bytes;       // image size in bytes (CRC included)
    uint32_t window_start;    // first image address (word address for KD11)
    uint32_t window_last;     // last image address
    bool word_addressed;      // KD11: addresses count 16-bit words
};
const FwTargetInfo &fw_target_info(FwTarget t);

// The builders (file name, window and messages of each target).
int OnOpenDisplayFirmwareButtonClick(void);
int OnOpenControllerFirmwareButtonClick(void);
int OnOpenHM52FirmwareButtonClick(void);
int OnOpenGd32FirmwareButtonClick(void);

// Builds target `t` from the text `data` (what the builder read from its file).
// Same rules and messages as the builders.  1 / 0.
int fw_build_from_text(FwTarget t, const char *data, size_t len);

// The image of a target: image_bytes bytes as they go to the controller's
// flash (display, GD32: bytes; HM52: bytes in HEX order; KD11: 16-bit words
// in host order, first HEX byte in the high half).  All 0xFF until a build
// succeeded.  Read only while holding fw_update_lock().
const uint8_t *fw_image(FwTarget t);
// 1 while the image holds a complete build.
int fw_image_valid(FwTarget t);
// The CRC the last good build stored.
uint32_t fw_image_crc(FwTarget t);

// Forgets every built image (all 0xFF again, no CRC): the factory tool's model
// query clears the store.  Never waits for an update that holds the images:
// 1 cleared, 0 when one is running.
int fw_image_clear_all(void);

// One controller update at a time: builds and bootloader sessions share the
// images and the lock line.
std::unique_lock<std::mutex> fw_update_lock(void);
