// The library-image frame handler on arbitrary frame sequences.  Besides "no
// crash": the received count never passes 1 MiB, and an answer is always a
// whole 12-byte frame.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/iot_common.h"
#include "dfu/hostcore_upgrade.h"
#include "vehicle/frame_codec.h"

namespace {

int check_answer(const unsigned char *d, int n) {
    if (n != 12 || d[0] != 0x02 || d[11] != 0x03 || !check_orlin_msg_valid(d, n)) std::abort();
    return n;
}

dev_hostcore_t make_table() {
    dev_hostcore_t t{};
    t.send_to_ECU = check_answer;
    t.send_to_GD32 = check_answer;
    t.send_to_bluetooth = check_answer;
    return t;
}

const dev_hostcore_t kTable = make_table();

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // No device root: the image file cannot land anywhere on this machine.
    unsetenv("TELAGENT_ROOT");
    dev_hostcore_register(&kTable);
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Records: <type byte> <len LE16> <payload>; each becomes one valid bus
    // frame (so the CRC check does not stop everything), and the raw bytes
    // are also offered as they are.
    size_t pos = 0;
    uint8_t frame[2100];
    while (pos + 3 <= size) {
        const int type = data[pos] % 4;
        size_t n = static_cast<size_t>(data[pos + 1] | data[pos + 2] << 8);
        pos += 3;
        if (n > size - pos) n = size - pos;
        if (n > sizeof frame - 10) n = sizeof frame - 10;
        size_t len = build_orlin_frame(0x06, 0x04, 0x0007, data + pos, n, frame, sizeof frame);
        if (len) handle_hostcore_upgrade_task(type, frame, static_cast<int>(len));
        handle_hostcore_upgrade_task(type, data + pos, static_cast<int>(n));
        pos += n;
        if (hostcore_upgrade_received() > 1048576) std::abort();
    }
    return 0;
}
