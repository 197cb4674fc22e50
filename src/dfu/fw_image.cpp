#include "dfu/fw_image.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "dfu/fw_crc.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"

namespace {

constexpr int kLineMax = 200;    // characters of one HEX line, terminator excluded
constexpr int kRecordMax = 200;  // data bytes (8-bit parser) or words (16-bit) of one record

const FwTargetInfo kTargets[FW_TARGETS] = {
    {"/iot/conf/LP77_CAN.hex", 716800, 0x3C000, 0x08004000u, 0x0803FFFFu, false},
    {"/iot/conf/KD11.hex", 614400, 0xE000 * 2, 0x3E8000u, 0x3F5FFFu, true},
    {"/iot/conf/HM52.hex", 614400, 0x37000, 0x08005000u, 0x0803BFFFu, false},
    {"/iot/conf/GD32.hex", 300000, 0x1C000, 0x08004000u, 0x0801FFFFu, false},
};

// Process-wide images, allocated once with the program.  uint16_t storage keeps
// KD11's words aligned; the byte targets use it as bytes.
std::array<uint16_t, 0x3C000 / 2> g_display;
std::array<uint16_t, 0xE000> g_kd11;
std::array<uint16_t, 0x37000 / 2> g_hm52;
std::array<uint16_t, 0x1C000 / 2> g_gd32;
uint16_t *const kStorage[FW_TARGETS] = {g_display.data(), g_kd11.data(), g_hm52.data(), g_gd32.data()};
bool g_valid[FW_TARGETS] = {};
uint32_t g_crc[FW_TARGETS] = {};
std::mutex g_update_mtx;

// Erased flash reads 0xFF: so does an image nobody has built yet.  Each
// image is erased when it is first touched rather than at start-up, so the
// 700 KiB of images stay untouched zero pages (not resident) on a box that
// never updates a controller.
std::once_flag g_erased[FW_TARGETS];

uint16_t *image_words(FwTarget t) {
    std::call_once(g_erased[t], [t] { memset(kStorage[t], 0xFF, kTargets[t].image_bytes); });
    return kStorage[t];
}

uint8_t *image_bytes(FwTarget t) { return reinterpret_cast<uint8_t *>(image_words(t)); }

void image_reset(FwTarget t) {
    memset(image_bytes(t), 0xFF, kTargets[t].image_bytes);
    g_valid[t] = false;
    g_crc[t] = 0;
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Shared record reader: the bytes of the data field go to `put(i, byte)`,
// which refuses (false) what does not fit.
template <typename Put>
int parse_record(const char *line, int len, uint8_t *type, uint32_t *addr, int cap_bytes, int *count, Put put) {
    if (line == nullptr || len < 1 || line[0] != ':') return 0;
    uint32_t v = 0;
    if (len < 3 || !AsciiHexToNum(line + 1, 2, &v)) return 0;
    const int n = static_cast<int>(v);
    uint32_t sum = v;
    if (len < 7 || !AsciiHexToNum(line + 3, 4, &v)) return 0;
    const uint32_t a = v;
    sum += (v >> 8) + (v & 0xFF);
    if (len < 9 || !AsciiHexToNum(line + 7, 2, &v)) return 0;
    if (type != nullptr) *type = static_cast<uint8_t>(v);
    sum += v;
    if (n > cap_bytes) return 0;
    int pos = 9;
    for (int i = 0; i < n; ++i, pos += 2) {
        if (len - pos < 2 || !AsciiHexToNum(line + pos, 2, &v)) return 0;
        put(i, static_cast<uint8_t>(v));
        sum += v;
    }
    if (len - pos < 2 || !AsciiHexToNum(line + pos, 2, &v)) return 0;
    sum += v;
    if ((sum & 0xFF) != 0) return 0;
    if (addr != nullptr) *addr = a;
    *count = n;
    return 1;
}

enum class Outside { Skip, FailMsg, FailSilent };

struct Build {
    FwTarget t;
    bool words_parser;      // 16-bit parser (motor controllers)
    Outside outside;
    bool quiet;             // GD32: every failure ends without a message
    bool sleep_after_read;  // all but GD32
};

const Build kBuilds[FW_TARGETS] = {
    {FW_DISPLAY, false, Outside::Skip, false, true},
    {FW_KD11, true, Outside::FailMsg, false, true},
    {FW_HM52, true, Outside::FailSilent, false, true},
    {FW_GD32, false, Outside::FailSilent, true, false},
};

void say(const Build &b, const char *msg) {
    if (!b.quiet) printf("%s", msg);
}

// Places one data record.  false when it falls outside the window (the
// caller decides whether that ends the build).
bool place(const Build &b, uint64_t address, const uint8_t *bytes, int n) {
    const FwTargetInfo &ti = kTargets[b.t];
    if (ti.word_addressed) {
        // Word records: the address counts words, the data are byte pairs.
        if (n % 2 != 0) return false;
        const uint64_t words = static_cast<uint64_t>(n) / 2;
        const uint64_t last_data = ti.window_last - 2;  // two words hold the CRC
        if (address < ti.window_start || address + words > last_data + 1) return false;
        uint16_t *img = image_words(b.t) + (address - ti.window_start);
        for (uint64_t i = 0; i < words; ++i) img[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
        return true;
    }
    const uint64_t last_data = static_cast<uint64_t>(ti.window_last) - 4;  // four bytes hold the CRC
    if (address < ti.window_start || address + static_cast<uint64_t>(n) > last_data + 1) return false;
    memcpy(image_bytes(b.t) + (address - ti.window_start), bytes, static_cast<size_t>(n));
    return true;
}

void finish(const Build &b) {
    const FwTargetInfo &ti = kTargets[b.t];
    uint32_t crc = 0;
    uint8_t *img = image_bytes(b.t);
    const size_t body = ti.image_bytes - 4;
    switch (b.t) {
        case FW_DISPLAY:
            crc = CRCCCITT8bit(img, static_cast<uint32_t>(body), 0xFFFFFFFFu, 0);
            break;
        case FW_GD32:
            crc = CRCCCITT8bit(img, static_cast<uint32_t>(body), 0xFFFFFFFFu, 0);
            break;
        case FW_KD11:
            crc = CRCCCITT(image_words(b.t), static_cast<uint32_t>(body / 2), 0xFFFFFFFFu, 0);
            break;
        case FW_HM52:
            // The image holds the bytes in HEX order (little-endian words):
            // the same as CRCCCITT2 over its words on the box, on any host.
            crc = CRCCCITT8bit(img, static_cast<uint32_t>(body), 0xFFFFFFFFu, 0);
            break;
        default: break;
    }
    if (ti.word_addressed) {
        uint16_t *w = image_words(b.t) + body / 2;
        w[0] = static_cast<uint16_t>(crc & 0xFFFF);
        w[1] = static_cast<uint16_t>(crc >> 16);
    } else {
        for (int i = 0; i < 4; ++i) img[body + static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (8 * i));
    }
    g_valid[b.t] = true;
    g_crc[b.t] = crc;
    switch (b.t) {
        case FW_DISPLAY: printf("crcROM2 = %x", crc); break;
        case FW_KD11: printf("MC_firmware_crc -> %x \r\n", crc); break;
        case FW_HM52: printf("HM52_firmware_crc -> %x \r\n", crc); break;
        case FW_GD32: printf("mcu_hex_crc = %x \r\n", crc); break;
        default: break;
    }
}

// Parses the file text into the image; 1 when it finished.
int parse_text(const Build &b, const char *data, size_t size) {
    uint64_t base = 0;
    bool any_inside = false;
    size_t pos = 0;
    for (;;) {
        // Split off one line ending in CR LF; a last line without one stands as it is.
        size_t n = 0;
        bool terminated = false;
        while (pos + n < size && n < static_cast<size_t>(kLineMax)) {
            if (data[pos + n] == '\r') {
                terminated = true;
                break;
            }
            ++n;
        }
        if (!terminated && pos + n < size) {
            say(b, "Hex file line exceeds 200 chars \r");
            return 0;
        }
        const char *line = data + pos;
        if (terminated) {
            if (pos + n + 1 >= size) {
                say(b, "input_file_pos >= file_size \r");
                return 0;
            }
            if (data[pos + n + 1] != '\n') {
                say(b, "input_file_data[input_file_pos] != 0x0A \r");
                return 0;
            }
            pos += n + 2;
        } else {
            pos = size;
        }

        uint8_t type = 0xFF;  // preset: "not read"
        uint32_t addr = 0;
        uint8_t bytes[kRecordMax * 2];
        int count = 0;
        int ok;
        if (b.words_parser) {
            uint16_t words[kRecordMax];
            count = kRecordMax;
            ok = hex_parse(line, static_cast<int>(n), &type, &addr, words, &count);
            for (int i = 0; ok && i < count; ++i) {
                bytes[i] = static_cast<uint8_t>(i % 2 == 0 ? words[i / 2] >> 8 : words[i / 2] & 0xFF);
            }
        } else {
            count = kRecordMax;
            ok = hex8bit_parse(line, static_cast<int>(n), &type, &addr, bytes, &count);
        }
        if (!ok) {
            // A damaged end-of-file record still ends a file whose data all
            // parsed; anything else (a blank, cut or garbage line) is an error.
            if (type == 1) break;
            say(b, "HEX file parsing error \r");
            return 0;
        }
        if (type == 1) break;
        if (type == 4) {
            if (count != 2) {
                say(b, "Unexpected data for extended address in HEX file \r");
                return 0;
            }
            base = static_cast<uint64_t>(bytes[0] << 8 | bytes[1]) << 16;
        } else if (type == 0) {
            if (place(b, base + addr, bytes, count)) {
                any_inside = any_inside || count > 0;
            } else if (b.outside == Outside::Skip) {
                // The display's file may carry its own bootloader: not ours to write.
            } else {
                if (b.outside == Outside::FailMsg) printf("Unexpected address range in HEX file \r");
                return 0;
            }
        }
        if (pos >= size && !terminated) {
            // The data ran out before an end-of-file record: a cut file.
            say(b, "HEX file parsing error \r");
            return 0;
        }
    }
    if (!any_inside) {
        say(b, "HEX file has no data for this target \r");
        return 0;
    }
    finish(b);
    return 1;
}

// 1 with the image finished, 0 with it all 0xFF again.
int build_text(const Build &b, const char *data, size_t size) {
    image_reset(b.t);
    if (parse_text(b, data, size) == 1) return 1;
    image_reset(b.t);
    return 0;
}

int build_file(FwTarget t) {
    const Build &b = kBuilds[t];
    const FwTargetInfo &ti = kTargets[t];
    image_reset(t);
    const std::string path = plat_path(ti.path);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        say(b, "fp == NULL \r");
        return 0;
    }
    std::unique_ptr<char[]> buf(new char[ti.max_file]);
    size_t size = 0;
    while (size < ti.max_file) {
        ssize_t r = read(fd, buf.get() + size, ti.max_file - size);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        size += static_cast<size_t>(r);
    }
    close(fd);
    printf("file_size = %d \r\n", static_cast<int>(size));
    if (b.sleep_after_read) plat_sleep_s(1);
    return build_text(b, buf.get(), size);
}

}  // namespace

int AsciiHexToNum(const char *text, int digits, uint32_t *out) {
    if (out == nullptr || digits < 0 || digits > 8 || (text == nullptr && digits > 0)) return 0;
    uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int d = hexval(text[i]);
        if (d < 0) return 0;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *out = v;
    return 1;
}

int hex8bit_parse(const char *line, int len, uint8_t *type, uint32_t *addr, uint8_t *data, int *count) {
    if (count == nullptr || data == nullptr) return 0;
    const int cap = *count;
    return parse_record(line, len, type, addr, cap, count, [data](int i, uint8_t v) { data[i] = v; });
}

int hex_parse(const char *line, int len, uint8_t *type, uint32_t *addr, uint16_t *data, int *count) {
    if (count == nullptr || data == nullptr) return 0;
    const int cap = *count > 0 ? *count : 0;
    return parse_record(line, len, type, addr, cap * 2, count, [data](int i, uint8_t v) {
        uint16_t &w = data[i / 2];
        w = (i % 2 == 0) ? static_cast<uint16_t>(v << 8 | 0xFF) : static_cast<uint16_t>((w & 0xFF00) | v);
    });
}

const FwTargetInfo &fw_target_info(FwTarget t) { return kTargets[t < FW_TARGETS ? t : 0]; }

int OnOpenDisplayFirmwareButtonClick(void) { return build_file(FW_DISPLAY); }
int OnOpenControllerFirmwareButtonClick(void) { return build_file(FW_KD11); }
int OnOpenHM52FirmwareButtonClick(void) { return build_file(FW_HM52); }
int OnOpenGd32FirmwareButtonClick(void) { return build_file(FW_GD32); }

int fw_build_from_text(FwTarget t, const char *data, size_t len) {
    if (t < 0 || t >= FW_TARGETS || (data == nullptr && len > 0)) return 0;
    return build_text(kBuilds[t], data, len);
}

const uint8_t *fw_image(FwTarget t) { return t >= 0 && t < FW_TARGETS ? image_bytes(t) : nullptr; }
int fw_image_valid(FwTarget t) { return t >= 0 && t < FW_TARGETS && g_valid[t] ? 1 : 0; }
uint32_t fw_image_crc(FwTarget t) { return t >= 0 && t < FW_TARGETS ? g_crc[t] : 0; }

int fw_image_clear_all(void) {
    std::unique_lock<std::mutex> lk(g_update_mtx, std::try_to_lock);
    if (!lk.owns_lock()) return 0;
    for (int t = 0; t < FW_TARGETS; ++t) image_reset(static_cast<FwTarget>(t));
    return 1;
}

std::unique_lock<std::mutex> fw_update_lock(void) { return std::unique_lock<std::mutex>(g_update_mtx); }
