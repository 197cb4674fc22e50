#pragma once
// HTTP downloader: one plain HTTP/1.1 GET whose body streams into a file,
// with the MD5 of what was stored.  Used by the firmware and library updates.
#include <array>
#include <cstddef>
#include <cstdint>

// Downloads http://host:port/path into `save_path` (a device path) and stores
// the MD5 of the stored body in `digest` (16 bytes).  1 when the whole body
// announced by Content-Length was stored, 0 on any failure (the socket is
// closed, an opened file is left as it is).  Only a 2xx answer of at least
// 10240 bytes that fits the free space is taken, and it must arrive within
// http_deadline_ms of its length.
int http_get(const char *host, uint16_t port, const char *path, const char *save_path, unsigned char digest[16]);
// The same with a ceiling: an announced body above max_body bytes is refused
// before any body byte is written.  http_get takes kHttpMaxBody.
int http_get_limited(const char *host, uint16_t port, const char *path, const char *save_path,
                     unsigned char digest[16], int64_t max_body);

// Largest body any download takes (the service library's cap).
constexpr int64_t kHttpMaxBody = 16 * 1024 * 1024;
// Every download must be done by kHttpDeadlineGraceMs plus its announced
// length at kHttpFloorRate bytes a second, and never later than
// kHttpDeadlineCapMs after it began: a server that trickles must not hold the
// one cloud request task (and every lock request behind it) for days.
constexpr int64_t kHttpFloorRate = 4096;
constexpr int64_t kHttpDeadlineGraceMs = 30000;
constexpr int64_t kHttpDeadlineCapMs = 3600 * 1000;
// Deadline in ms after the start for a body of `length` bytes.
int64_t http_deadline_ms(int64_t length);

// The same with both bounds given (a detached signature is 64 bytes, far
// below kHttpMinBody).
int http_get_bounded(const char *host, uint16_t port, const char *path, const char *save_path,
                     unsigned char digest[16], int64_t min_body, int64_t max_body);

// ---- header phase, also driven by the fuzz target ----------------------------

// Files smaller than this are refused.
constexpr int64_t kHttpMinBody = 10240;
// Status line and header fields together, terminator included.
constexpr size_t kHttpHeadMax = 8192;

enum class HttpHeadResult {
    kMore,          // no end of header yet
    kDone,          // header complete; the body starts at *body_at in the last chunk
    kNoLength,      // no usable Content-Length
    kTooSmall,      // Content-Length below kHttpMinBody
    kBadStatus,     // not a 2xx answer, or no status line at all
    kBadHeader,     // malformed or conflicting fields, or an encoding we cannot store
    kTooLong,       // header larger than kHttpHeadMax
};

struct HttpHead {
    std::array<char, kHttpHeadMax> buf{};
    size_t len = 0;          // bytes of buf in use
    int status = 0;          // status code once the header is complete
    int64_t content_length = -1;
    size_t head_len = 0;     // header bytes before the separator
    int64_t min_body = kHttpMinBody;  // smaller bodies are refused
};

// Feeds the next chunk of the answer.  Once kDone is returned, the bytes of
// this chunk from *body_at on are the first body bytes.  Any other result than
// kMore and kDone is final.
HttpHeadResult http_head_feed(HttpHead *head, const char *chunk, size_t len, size_t *body_at);
