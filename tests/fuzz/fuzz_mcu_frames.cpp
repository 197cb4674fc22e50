// Arbitrary frames through the handlers behind the MCU line and the factory
// line: the MCU line's receive callback (local table, routing to the app, the
// tool and the bike), the router for frames to the app, the caret handler and
// the factory table.  Whatever comes in, every frame the box sends out must be
// whole: a bus frame whose length field matches what was written, a caret
// frame whose length byte does, a BLE package whose length byte describes the
// frame inside it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/iot_common.h"
#include "vehicle/bt_handle.h"
#include "vehicle/factory_test.h"
#include "vehicle/frame_codec.h"
#include "vehicle/lock_link.h"

namespace {

void check_bus(const unsigned char *d, int len) {
    if (len < static_cast<int>(kFrameOverhead) || d[0] != kFrameStart || d[len - 1] != kFrameEnd) abort();
    if (frame_payload_len(d) + kFrameOverhead != static_cast<size_t>(len)) abort();
    if (check_orlin_msg_valid(d, len) != 1) abort();
}

// The fuzzer's frames are passed on as they came only where the box relays
// unchanged; everything the box builds itself must be whole.
int to_mcu(const unsigned char *d, int len) {
    if (d == nullptr || len <= 0) abort();
    if (len >= 3 && d[0] == 'A' && d[1] == 'T' && d[2] == '>') {
        if (len < 8 + static_cast<int>(kFrameOverhead) || d[5] + 8 != len) abort();
        if (d[len - 2] != 0x0D || d[len - 1] != 0x0A) abort();
        return len;
    }
    if (d[0] == kCaretStart) {
        if (check_caret_msg_valid(d, len) != 1) abort();
        return len;
    }
    check_bus(d, len);
    return len;
}

int to_line(const unsigned char *d, int len) {
    if (d == nullptr || len < static_cast<int>(kFrameOverhead) || len > 2100) abort();
    return len;
}

int no_sensor(iot_sensor_data_t *out) {
    out->x = out->y = out->z = 0.5f;
    return 1;
}

dev_hostcore_t g_table{};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) dup2(fd, STDOUT_FILENO);
    g_table.send_to_bluetooth = to_mcu;
    g_table.send_to_GD32 = to_line;
    g_table.send_to_ECU = to_line;
    g_table.get_gsensor_info = no_sensor;
    g_table.get_gyroscope_info = no_sensor;
    dev_hostcore_register(&g_table);
    app_init_success();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2 || size > 2200) return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> f(data + 1, data + size);
    // Half the time the length field tells the truth, so the handlers run.
    if ((mode & 0x10) && f.size() >= kFrameOverhead) {
        const size_t n = f.size() - kFrameOverhead;
        f[5] = static_cast<uint8_t>(n);
        f[6] = static_cast<uint8_t>(n >> 8);
    }
    const int len = static_cast<int>(f.size());
    // The GNSS LED test waits 250 ms; it says nothing about parsing.
    if (len >= 5 && f[3] == 0x27 && f[4] == 0xF4) return 0;
    switch (mode & 0x07) {
        case 0: dev_bluetooth_recv_handler(f.data(), len); break;
        case 1: router_ble_data(f.data(), len); break;
        case 2: handle_mcu_caret_frame(f.data(), len); break;
        case 3: factory_mode_dispatch(f.data(), len); break;
        case 4: handle_pcba_can_test(f.data(), len); break;
        case 5: {
            uint8_t out[300];
            size_t n = app_display_translate(f.data(), len, out, sizeof out);
            if (n) check_bus(out, static_cast<int>(n));
            break;
        }
        default: {
            uint8_t out[300];
            size_t n = ble_package_build(f.data(), f.size(), out, sizeof out);
            if (n && (n != f.size() + 8 || out[5] != f.size())) abort();
            break;
        }
    }
    return 0;
}
