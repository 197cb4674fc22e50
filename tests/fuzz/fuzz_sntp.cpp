// SNTP answer checks on arbitrary datagrams.  Besides "no crash" it checks
// that whatever is taken really is a server or broadcast answer with a set
// clock that echoes our request, and that the time follows the RFC 4330 eras.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cloud/sntp_handle.h"

namespace {

uint32_t be32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The first four bytes choose the request's transmit seconds, the rest is the answer.
    if (size < 4) return 0;
    const uint32_t sent = be32(data);
    const uint8_t *ans = data + 4;
    const size_t len = size - 4;
    int64_t t = -1;
    const int v = sntp_parse_answer(ans, len, sent, &t);
    if (v != kSntpOk) {
        if (v < kSntpBadOrigin || v > kSntpShort) std::abort();  // an unknown verdict
        return 0;
    }
    if (len < kSntpHeaderLen) std::abort();
    const int mode = ans[0] & 7;
    if (mode != 4 && mode != 5) std::abort();
    if ((ans[0] >> 6) == 3 || ans[1] == 0) std::abort();
    const uint32_t tx = be32(ans + 40);
    if (tx == 0 && be32(ans + 44) == 0) std::abort();
    if (mode == 4 && (be32(ans + 24) != sent || be32(ans + 28) != 0)) std::abort();
    // Era 0 runs 1968..2036, era 1 from 2036 on: never before 1968, never past 2104.
    if (t < -2208988800LL + 2147483648LL || t >= (int64_t{1} << 32) + 2147483648LL - 2208988800LL) std::abort();
    // Any 48-byte prefix gives the same verdict: bytes past the header are ignored.
    int64_t t2 = -1;
    if (sntp_parse_answer(ans, kSntpHeaderLen, sent, &t2) != kSntpOk || t2 != t) std::abort();
    return 0;
}
