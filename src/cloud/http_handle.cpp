#include "cloud/http_handle.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kChunk = 512;
// Body reads: larger, so the downloader keeps up with a fast link instead of
// spending its time in 512-byte system calls.  Still one fixed buffer.
constexpr size_t kBodyChunk = 32 * 1024;
constexpr size_t kRequestMax = 512;
constexpr int kConnectWaitMs = 5000;
constexpr int kReadWaitMs = 2000;
constexpr int64_t kHeaderLimitMs = 20000;

using Fd = UniqueFd;

struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::string_view trim(std::string_view v) {
    while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\t' || v.back() == '\r')) v.remove_suffix(1);
    return v;
}

bool digit(char c) { return c >= '0' && c <= '9'; }

// "HTTP/1.1 200 OK": the code, or -1 when this is no status line.
int status_code(std::string_view line) {
    if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || !digit(line[5]) || line[6] != '.' || !digit(line[7]) ||
        line[8] != ' ' || !digit(line[9]) || !digit(line[10]) || !digit(line[11])) {
        return -1;
    }
    if (line.size() > 12 && line[12] != ' ') return -1;
    return (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
}

// Decimal, digits only: a sign, a blank inside or 19 digits are no length.
int64_t parse_length(std::string_view v) {
    if (v.empty() || v.size() > 18) return -1;
    int64_t n = 0;
    for (char c : v) {
        if (!digit(c)) return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

HttpHeadResult examine(HttpHead *h) {
    std::string_view text(h->buf.data(), h->head_len);
    size_t eol = text.find('\n');
    std::string_view first = trim(text.substr(0, eol));
    h->status = status_code(first);
    if (h->status < 200 || h->status > 299) return HttpHeadResult::kBadStatus;
    int64_t length = -1;
    while (eol != std::string_view::npos) {
        text.remove_prefix(eol + 1);
        eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        std::string_view name = line.substr(0, colon);
        std::string_view value = trim(line.substr(colon + 1));
        if (same_name(name, "Content-Length")) {
            int64_t v = parse_length(value);
            if (v < 0 || (length >= 0 && v != length)) return HttpHeadResult::kBadHeader;
            length = v;
        } else if (same_name(name, "Transfer-Encoding") && !same_name(value, "identity")) {
            // A chunked body would be stored with its chunk lines in it.
            return HttpHeadResult::kBadHeader;
        }
    }
    if (length < 0) return HttpHeadResult::kNoLength;
    h->content_length = length;
    if (length < h->min_body) return HttpHeadResult::kTooSmall;
    return HttpHeadResult::kDone;
}

// Host and path go into the request as they are: nothing that could end a
// line or a field may be in them.
bool request_text_ok(const char *s) {
    if (*s == '\0') return false;
    for (; *s; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c <= ' ' || c == 0x7f) return false;
    }
    return true;
}

// Next chunk of the answer: bytes read, 0 when the peer closed, -1 after
// kReadWaitMs without data, -2 on a socket error.
ssize_t read_chunk(int fd, char *buf, size_t cap) {
    for (;;) {
        // Most chunks are already there: only wait when there is nothing.
        ssize_t n = recv(fd, buf, cap, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return -2;
        struct pollfd p {fd, POLLIN, 0};
        int r = poll(&p, 1, kReadWaitMs);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -2;
        if (r == 0) return -1;
    }
}

bool write_all(int fd, const char *data, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, data, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        data += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

HttpHeadResult http_head_feed(HttpHead *h, const char *chunk, size_t len, size_t *body_at) {
    if (h == nullptr || (chunk == nullptr && len > 0)) return HttpHeadResult::kBadHeader;
    const size_t prev = h->len;
    const size_t take = len < h->buf.size() - prev ? len : h->buf.size() - prev;
    if (take > 0) memcpy(h->buf.data() + prev, chunk, take);
    h->len = prev + take;
    // The earliest separator of either kind ends the header, also when it
    // straddles two chunks; a later pair of LFs belongs to the body.
    const char *b = h->buf.data();
    for (size_t i = prev >= 3 ? prev - 3 : 0; i < h->len; ++i) {
        size_t end = 0;
        if (b[i] == '\n' && i + 1 < h->len && b[i + 1] == '\n') {
            end = i + 2;
        } else if (b[i] == '\r' && i + 3 < h->len && b[i + 1] == '\n' && b[i + 2] == '\r' && b[i + 3] == '\n') {
            end = i + 4;
        } else {
            continue;
        }
        h->head_len = i;
        HttpHeadResult r = examine(h);
        if (r == HttpHeadResult::kDone && body_at != nullptr) *body_at = end - prev;
        return r;
    }
    return h->len >= h->buf.size() ? HttpHeadResult::kTooLong : HttpHeadResult::kMore;
}

int64_t http_deadline_ms(int64_t length) {
    if (length < 0) length = 0;
    const int64_t d = kHttpDeadlineGraceMs + length / kHttpFloorRate * 1000 + (length % kHttpFloorRate) * 1000 / kHttpFloorRate;
    return d < kHttpDeadlineCapMs ? d : kHttpDeadlineCapMs;
}

int http_get(const char *host, uint16_t port, const char *path, const char *save_path, unsigned char digest[16]) {
    return http_get_bounded(host, port, path, save_path, digest, kHttpMinBody, kHttpMaxBody);
}

int http_get_limited(const char *host, uint16_t port, const char *path, const char *save_path,
                     unsigned char digest[16], int64_t max_body) {
    return http_get_bounded(host, port, path, save_path, digest, kHttpMinBody, max_body);
}

int http_get_bounded(const char *host, uint16_t port, const char *path, const char *save_path,
                     unsigned char digest[16], int64_t min_body, int64_t max_body) {
    if (host == nullptr || path == nullptr || save_path == nullptr || digest == nullptr) return 0;
    const int64_t start_ms = plat_mono_ms();
    int64_t deadline_ms = start_ms + kHttpDeadlineCapMs;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
    if (!md || EVP_DigestInit_ex(md.get(), EVP_md5(), nullptr) != 1) return 0;
    printf("%s download from http ://%s:%d%s save to %s\n", __func__, host, port, path, save_path);
    char request[kRequestMax];
    const int rl = snprintf(request, sizeof request,
                            "GET %s HTTP/1.1\nHost: %s\nContent-Type: application/x-www-form-urlencoded\n\n\n", path,
                            host);
    // A cut request would fetch some other file.
    if (!request_text_ok(path) || path[0] != '/' || rl < 0 || static_cast<size_t>(rl) >= sizeof request) {
        printf("%d:%s - bad path %s\n", __LINE__, __func__, path);
        return 0;
    }

    Fd sock(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.fd < 0) {
        printf("---socket error!\n");
        return 0;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (!request_text_ok(host) || getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) {
        printf("%d:%s - getaddrinfo %s  failed\n", __LINE__, __func__, host);
        return 0;
    }
    struct sockaddr_in addr {};
    memcpy(&addr, res->ai_addr, sizeof addr);
    freeaddrinfo(res);
    addr.sin_port = htons(port);

    const int flags = fcntl(sock.fd, F_GETFL, 0);
    fcntl(sock.fd, F_SETFL, flags | O_NONBLOCK);
    const int c = connect(sock.fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    const bool connect_failed = c != 0 && errno != EINPROGRESS;
    printf("connect success\n");
    struct pollfd pw {sock.fd, POLLOUT, 0};
    int h = connect_failed ? -1 : poll(&pw, 1, kConnectWaitMs);
    printf("connect select h:%d\n", h);
    int soerr = 0;
    socklen_t soerr_len = sizeof soerr;
    // Writable is not connected: a refused connection is writable at once.
    if (h <= 0 || getsockopt(sock.fd, SOL_SOCKET, SO_ERROR, &soerr, &soerr_len) != 0 || soerr != 0) {
        printf("%d:%s - connect %s failed\n", __LINE__, __func__, host);
        return 0;
    }
    fcntl(sock.fd, F_SETFL, flags & ~O_NONBLOCK);
    printf("%s - connect %s:%d success\n", __func__, host, port);

    printf("%s", request);
    for (int sent = 0; sent < rl;) {
        ssize_t n = send(sock.fd, request + sent, static_cast<size_t>(rl - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            printf("%d:%s - send data to %s failed\n", __LINE__, __func__, host);
            return 0;
        }
        sent += static_cast<int>(n);
    }

    const std::string file_path = plat_path(save_path);
    unlink(file_path.c_str());
    Fd file(open(file_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (file.fd < 0) {
        printf("%d:%s - open %s failed\n", __LINE__, __func__, save_path);
        return 0;
    }

    auto store = [&](const char *data, size_t n) {
        if (n == 0) return true;
        if (!write_all(file.fd, data, n)) {
            printf("%d:%s - write %s failed\n", __LINE__, __func__, save_path);
            return false;
        }
        EVP_DigestUpdate(md.get(), data, n);
        return true;
    };

    HttpHead head;
    head.min_body = min_body;
    char chunk[kChunk];
    std::unique_ptr<char[]> body_buf(new char[kBodyChunk]);
    bool in_body = false;
    int64_t remaining = 0;
    int64_t first_chunk_ms = 0;
    ssize_t rt = 0;
    for (int i = 0; !in_body || remaining > 0; ++i) {
        rt = in_body ? read_chunk(sock.fd, body_buf.get(), kBodyChunk) : read_chunk(sock.fd, chunk, sizeof chunk);
        if (rt == -1) {
            printf("%d:%s - recv data from %s failed\n", __LINE__, __func__, host);
            return 0;
        }
        if (rt <= 0) {
            printf("%d:%s - recv data from %s  failed\n", __LINE__, __func__, host);
            return 0;
        }
        if (in_body) {
            const size_t n = static_cast<int64_t>(rt) > remaining ? static_cast<size_t>(remaining) : static_cast<size_t>(rt);
            if (!store(body_buf.get(), n)) return 0;
            remaining -= static_cast<int64_t>(n);
            if (remaining > 0 && plat_mono_ms() > deadline_ms) {
                printf("%d:%s - download from %s not done within %lld s, %lld bytes missing\n", __LINE__, __func__,
                       host, static_cast<long long>((deadline_ms - start_ms) / 1000), static_cast<long long>(remaining));
                return 0;
            }
            continue;
        }
        printf("%d:%s --rt:%d- socket read i:%d \n", __LINE__, __func__, static_cast<int>(rt), i);
        if (i == 0) first_chunk_ms = plat_mono_ms();
        size_t body_at = 0;
        switch (http_head_feed(&head, chunk, static_cast<size_t>(rt), &body_at)) {
        case HttpHeadResult::kMore:
            if (plat_mono_ms() - first_chunk_ms > kHeaderLimitMs) {
                printf("%d:%s --rt:%d- \n", __LINE__, __func__, static_cast<int>(rt));
                printf("%d:%s - recv data from %s  timeout\n", __LINE__, __func__, host);
                return 0;
            }
            continue;
        case HttpHeadResult::kNoLength:
            printf("%d:%s - recv data from %s 4 failed\n", __LINE__, __func__, host);
            return 0;
        case HttpHeadResult::kTooSmall:
            printf("%d:%s --Content-Length::%d \n", __LINE__, __func__, static_cast<int>(head.content_length));
            return 0;
        case HttpHeadResult::kBadStatus:
            printf("%d:%s - http status %d from %s\n", __LINE__, __func__, head.status, host);
            return 0;
        case HttpHeadResult::kBadHeader:
        case HttpHeadResult::kTooLong:
            printf("%d:%s - bad header from %s\n", __LINE__, __func__, host);
            return 0;
        case HttpHeadResult::kDone:
            break;
        }
        printf("%d:%s --Content-Length::%lld \n", __LINE__, __func__, static_cast<long long>(head.content_length));
        if (head.content_length > max_body) {
            printf("%d:%s - %lld bytes are more than %s takes (%lld)\n", __LINE__, __func__,
                   static_cast<long long>(head.content_length), save_path, static_cast<long long>(max_body));
            return 0;
        }
        deadline_ms = start_ms + http_deadline_ms(head.content_length);
        // Refused before the first byte lands: a full flash breaks more than this download.
        unsigned long long free_bytes = 0;
        if (sys_disk_space(save_path, &free_bytes, nullptr) != 0 ||
            free_bytes < static_cast<unsigned long long>(head.content_length)) {
            printf("%d:%s - %lld bytes do not fit in %s\n", __LINE__, __func__,
                   static_cast<long long>(head.content_length), save_path);
            return 0;
        }
        in_body = true;
        remaining = head.content_length;
        const size_t avail = static_cast<size_t>(rt) - body_at;
        const size_t n = static_cast<int64_t>(avail) > remaining ? static_cast<size_t>(remaining) : avail;
        if (!store(chunk + body_at, n)) return 0;
        remaining -= static_cast<int64_t>(n);
    }

    printf("%d:%s --rt:%d- \n", __LINE__, __func__, static_cast<int>(rt));
    if (!file.close_checked()) {
        printf("%d:%s - close %s failed\n", __LINE__, __func__, save_path);
        return 0;
    }
    unsigned int dlen = 0;
    if (EVP_DigestFinal_ex(md.get(), digest, &dlen) != 1 || dlen != 16) return 0;
    printf("Download ok ...\n");
    return 1;
}
