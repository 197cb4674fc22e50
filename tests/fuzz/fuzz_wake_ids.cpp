// Arbitrary bytes from the power daemon's FIFO through the wake-id splitter,
// in reads of at most 4 bytes as the monitor makes them: never more ids than
// room, every id a digit or -1, and one id per digit.
#include <cstdint>
#include <cstdlib>

#include "lib/qs_common_api/lpm/src/qs_lpm_api.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *p = reinterpret_cast<const char *>(data);
    for (size_t off = 0; off < size; off += kQsWakeReadLen) {
        const size_t n = size - off < kQsWakeReadLen ? size - off : kQsWakeReadLen;
        int ids[kQsWakeReadLen + 1];
        ids[kQsWakeReadLen] = 0x5a5a;
        const size_t count = qs_lpm_parse_ids(p + off, n, ids, kQsWakeReadLen);
        if (count > n || ids[kQsWakeReadLen] != 0x5a5a) abort();
        size_t digits = 0;
        for (size_t i = 0; i < n; ++i) digits += p[off + i] >= '0' && p[off + i] <= '9';
        size_t got = 0;
        for (size_t i = 0; i < count; ++i) {
            if (ids[i] < -1 || ids[i] > 9) abort();
            got += ids[i] >= 0;
        }
        if (got != digits) abort();
    }
    return 0;
}
