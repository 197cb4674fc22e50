// Arbitrary bytes through the SLIP decoder and the DFU response rule: nothing
// is written past the destination, a decoded packet re-encodes to a frame that
// decodes to itself, and the response check never reads past the packet.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "dfu/dfu_serial.h"
#include "dfu/uart_slip.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Every refusal is logged; the fuzzer's own reports need standard error.
    logger_mute_errors(1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return 0;
    constexpr uint32_t kGuard = 32;
    std::vector<uint8_t> dst(kSlipMaxPayload + kGuard, 0xA5);
    uint32_t pos = 0;
    // Decode packet after packet, as the receiver does with what follows an END.
    while (pos < size) {
        uint32_t n = 0, used = 0;
        int r = decode_slip(dst.data(), kSlipMaxPayload, &n, data + pos, static_cast<uint32_t>(size - pos), &used);
        for (uint32_t i = kSlipMaxPayload; i < dst.size(); ++i)
            if (dst[i] != 0xA5) abort();
        if (r != SLIP_DONE) break;
        if (n > kSlipMaxPayload || used == 0 || used > size - pos) abort();
        // Round trip of what was decoded.
        uint8_t frame[kSlipMaxFrame];
        uint32_t flen = 0;
        if (encode_slip(frame, sizeof frame, &flen, dst.data(), n) != 0) abort();
        std::vector<uint8_t> back(kSlipMaxPayload);
        uint32_t bn = 0, bu = 0;
        if (decode_slip(back.data(), kSlipMaxPayload, &bn, frame, flen, &bu) != SLIP_DONE) abort();
        if (bn != n || bu != flen || memcmp(back.data(), dst.data(), n) != 0) abort();
        // The response rule on the decoded packet, copied to a buffer of exactly its size.
        std::vector<uint8_t> rsp(dst.begin(), dst.begin() + n);
        uint32_t code = 0;
        dfu_serial_check_rsp(n > 1 ? rsp[1] : 0, n ? rsp.data() : nullptr, n, &code);
        pos += used;
    }
    return 0;
}
