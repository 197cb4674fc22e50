// Header phase of the HTTP downloader on arbitrary answers, fed chunk by chunk
// as the socket would deliver them.  The first byte picks the chunk sizes.
// Besides "no crash" it checks that the result and the start of the body do
// not depend on how the answer was cut, and that a taken header is sane.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cloud/http_handle.h"

namespace {

struct Outcome {
    HttpHeadResult result = HttpHeadResult::kMore;
    size_t body_start = 0;  // offset in the whole answer
    int64_t length = -1;
};

Outcome feed(const uint8_t *data, size_t size, unsigned seed) {
    static HttpHead h;  // 8 KiB: kept off the fuzzer's stack
    h = HttpHead{};
    Outcome o;
    size_t off = 0;
    unsigned s = seed | 1u;
    while (off < size) {
        s = s * 1103515245u + 12345u;
        // 1..512 bytes, the downloader's largest read.
        size_t n = seed == 0 ? size - off : 1 + (s >> 16) % 512;
        if (n > size - off) n = size - off;
        size_t at = 0;
        o.result = http_head_feed(&h, reinterpret_cast<const char *>(data) + off, n, &at);
        if (o.result == HttpHeadResult::kDone) {
            if (at > n) abort();
            o.body_start = off + at;
            o.length = h.content_length;
            if (h.status < 200 || h.status > 299 || h.content_length < kHttpMinBody) abort();
            if (h.head_len >= o.body_start) abort();
        }
        if (h.len > kHttpHeadMax) abort();
        if (o.result != HttpHeadResult::kMore) break;
        off += n;
    }
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const unsigned seed = data[0];
    const Outcome whole = feed(data + 1, size - 1, 0);
    const Outcome cut = feed(data + 1, size - 1, seed);
    // A header too long for the buffer may be noticed at different points, and
    // one chunk can carry the separator past the buffer's end; everything
    // else must agree.
    if (whole.result == HttpHeadResult::kTooLong || cut.result == HttpHeadResult::kTooLong) return 0;
    if (whole.result != cut.result) abort();
    if (whole.result == HttpHeadResult::kDone && (whole.body_start != cut.body_start || whole.length != cut.length))
        abort();
    return 0;
}
