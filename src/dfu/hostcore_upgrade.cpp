#include "dfu/hostcore_upgrade.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/iot_common.h"
#include "core/tavi_common.h"
#include "dfu/fw_crc.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "vehicle/frame_codec.h"

namespace {

constexpr uint32_t kBufSize = 1048576;
constexpr uint32_t kGroup = 2048;
constexpr int64_t kAbandonMs = 60000;
constexpr uint8_t kStatusOk = 2;
constexpr uint8_t kStatusBad = 8;
constexpr const char *kImagePath = "/iot/conf/libTelAgent_w.so";

struct Receive {
    uint32_t received = 0;
    uint32_t total = 0;
    bool active = false;
    int64_t last_ms = 0;
    std::array<uint8_t, kBufSize> data;
};

std::mutex g_mtx;
Receive g_rx;  // one transfer at a time, allocated once

void reset_locked() {
    g_rx.received = 0;
    g_rx.total = 0;
    if (g_rx.active) set_ota_mode(0);
    g_rx.active = false;
}

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void answer(int type, const uint8_t *req, uint8_t status) {
    const uint8_t p[2] = {status, 0x00};
    uint8_t out[16];
    size_t n = build_orlin_frame(req[2], req[1], frame_msg_id(req), p, sizeof p, out, sizeof out);
    if (n == 0) return;
    switch (type) {
        case 0: dev_send_to_ECU(out, static_cast<int>(n)); break;
        case 1: dev_send_to_GD32(out, static_cast<int>(n)); break;
        default: dev_send_to_bluetooth(out, static_cast<int>(n)); break;
    }
}

// Written under a temporary name and renamed: the host never finds half a library.
bool write_image(const uint8_t *data, uint32_t n) {
    const std::string path = plat_path(kImagePath);
    const std::string tmp = path + ".part";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    uint32_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += static_cast<uint32_t>(w);
    }
    bool ok = done == n && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(tmp.c_str());
    return ok;
}

int data_chunk(int type, const uint8_t *f, size_t n) {
    if (n < 7) return -1;
    const uint8_t *p = f + 7;
    const uint32_t total = le32(p + 1);
    const uint32_t clen = static_cast<uint32_t>(p[5] | p[6] << 8);
    if (clen > n - 7) {
        printf("## upgrade chunk of %u bytes in a frame carrying %zu, dropped \r\n", clen, n - 7);
        return -1;
    }
    if (total > kBufSize || g_rx.received + static_cast<uint64_t>(clen) > total) {
        printf("## upgrade chunk passes the image (%u + %u > %u), transfer abandoned \r\n", g_rx.received, clen, total);
        reset_locked();
        return -1;
    }
    if (!g_rx.active) set_ota_mode(1);
    g_rx.active = true;
    g_rx.last_ms = plat_mono_ms();
    g_rx.total = total;
    std::copy(p + 7, p + 7 + clen, g_rx.data.begin() + g_rx.received);
    g_rx.received += clen;
    printf("## firmware_info_len =%d \r\n", static_cast<int>(g_rx.received));
    if (g_rx.received % kGroup == 0) answer(type, f, kStatusOk);
    return 0;
}

int complete(int type, const uint8_t *f) {
    const uint32_t total = g_rx.total;
    printf("## total_len =%d \r\n", static_cast<int>(total));
    uint8_t status = kStatusBad;
    // Only an image that arrived whole, with room for its CRC, is checked.
    if (total >= 5 && total == g_rx.received) {
        const uint8_t *d = g_rx.data.data();
        for (int i = 0; i < 4; ++i) printf("## firmware_buffer[%d] =%x \r\n", i, d[i]);
        for (int i = 4; i >= 1; --i) printf("## firmware_buffer-%d =%x \r\n", i, d[total - static_cast<uint32_t>(i)]);
        const uint32_t want = le32(d + total - 4);
        printf("## ReadCRC =%x \r\n", want);
        const uint32_t got = CRCCCITT8bit(d, total - 4, 0xFFFFFFFFu, 0);
        printf("## FirmWareCRC =%x \r\n", got);
        if (got == want) {
            if (write_image(d, total - 4)) {
                status = kStatusOk;
            } else {
                printf("## cannot write %s \r\n", kImagePath);
            }
        }
    } else {
        printf("## upgrade incomplete: %u of %u bytes \r\n", g_rx.received, total);
    }
    answer(type, f, status);
    reset_locked();
    return 0;
}

}  // namespace

extern "C" TELAGENT_API int handle_hostcore_upgrade_task(int type, const unsigned char *frame, int len) {
    if (type < 0 || type > 2 || frame == nullptr || len < static_cast<int>(kFrameOverhead)) return -1;
    if (frame_payload_len(frame) + kFrameOverhead != static_cast<size_t>(len) || !check_orlin_msg_valid(frame, len))
        return -1;
    const size_t n = frame_payload_avail(frame, len);
    if (n == 0) return -1;
    std::lock_guard<std::mutex> g(g_mtx);
    switch (frame[7]) {
        case 0x08: return data_chunk(type, frame, n);
        case 0x10: return complete(type, frame);
        default: return 0;
    }
}

void check_hostcore_upgrade_timeout(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    if (!g_rx.active || plat_mono_ms() - g_rx.last_ms < kAbandonMs) return;
    printf("## upgrade: no chunk for %d s, transfer abandoned \r\n", static_cast<int>(kAbandonMs / 1000));
    reset_locked();
}

uint32_t hostcore_upgrade_received(void) {
    std::lock_guard<std::mutex> g(g_mtx);
    return g_rx.received;
}
