// Arbitrary bytes through the frame assemblers of the three lines and the two
// validators: nothing may be written past a slot, and every frame handed on
// must validate.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The assembler reports every bad frame on the console; keep it quiet.
    int fd = open("/dev/null", O_WRONLY);
    if (fd >= 0) dup2(fd, STDOUT_FILENO);
    return 0;
}

namespace {

void run(const SerialLineConfig &cfg, const uint8_t *data, size_t size) {
    constexpr size_t kGuard = 32;
    std::vector<uint8_t> slot(cfg.slot_size + kGuard, 0xA5);
    FrameAssembler st;
    for (size_t i = 0; i < size; ++i) {
        // A 0xFF 0xFE pair in the input stands for an inter-byte gap.
        if (data[i] == 0xFF && i + 1 < size && data[i + 1] == 0xFE) {
            st.reset();
            ++i;
            continue;
        }
        AssembleResult r = assemble_byte(cfg, st, slot.data(), cfg.slot_size, data[i]);
        if (r == ASM_FRAME) {
            if (st.idx > cfg.slot_size) abort();
            int ok = slot[0] == kCaretStart ? check_caret_msg_valid(slot.data(), static_cast<int>(st.idx))
                                            : check_orlin_msg_valid(slot.data(), static_cast<int>(st.idx));
            if (!ok) abort();
            st.reset();
        }
        if (st.idx > cfg.slot_size) abort();
    }
    for (size_t i = cfg.slot_size; i < slot.size(); ++i) {
        if (slot[i] != 0xA5) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const SerialLineConfig lock = lock_line().config();
    static const SerialLineConfig mcu = mcu_line().config();
    static const SerialLineConfig ecu = ecu_line().config();
    run(lock, data, size);
    run(mcu, data, size);
    run(ecu, data, size);
    check_orlin_msg_valid(data, static_cast<int>(size));
    check_caret_msg_valid(data, static_cast<int>(size));
    return 0;
}
