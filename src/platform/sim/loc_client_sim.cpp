// Location client, simulation build: talks to the device simulator's GNSS
// engine over <root>/var/devsim/gnss.sock.  Text lines both ways:
//   client -> engine   req <id hex> <payload hex>
//   engine -> client   ack <id hex> <status>      answer to one req
//                      ind <id hex> <status>      response indication
//                      nmea <sentence>            one NMEA sentence
// Like the real library the client reads on a thread of its own and calls the
// callbacks there, one indication at a time.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/loc_client.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "platform/unique_fd.h"

namespace {

constexpr size_t kMaxClients = 4;
// A line from the engine longer than this is dropped whole.
constexpr size_t kMaxLine = 1024;
// How long a request waits for the engine's ack.
constexpr int kAckTimeoutMs = 2000;
constexpr const char kSocketPath[] = "/var/devsim/gnss.sock";

using Fd = UniqueFd;

struct Client {
    locClientHandleType handle = 0;
    Fd fd;
    locClientCallbacksType cb{};
    void *cookie = nullptr;
    std::thread reader;
    std::thread::id reader_id;  // fixed before the client is published

    std::mutex mu;  // guards everything below
    std::condition_variable cv;
    locClientEventMaskType mask = 0;
    bool ack_seen = false;
    uint32_t ack_id = 0;
    int ack_status = 0;
    bool gone = false;  // engine closed the connection

    std::mutex write_mu;  // one request on the wire at a time

    explicit Client(int f) : fd(f) {}
};

// Process-wide and never destroyed: a client's thread may outlive main().
struct Table {
    std::mutex mu;
    std::array<std::shared_ptr<Client>, kMaxClients> clients;
};
Table &table() {
    static Table *t = new Table;
    return *t;
}

std::shared_ptr<Client> find(locClientHandleType h) {
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    if (h == 0 || h > kMaxClients) return nullptr;
    return t.clients[h - 1];
}

// loc_sync_process_ind's record: last status per (handle, indication id).
struct SyncSeen {
    locClientHandleType handle;
    uint32_t id;
    int32_t status;
    bool fresh;
};
struct SyncState {
    std::mutex mu;
    std::condition_variable cv;
    std::array<SyncSeen, 16> seen{};
};
SyncState &sync_state() {
    static SyncState *s = new SyncState;
    return *s;
}

bool parse_hex_u32(const char *s, uint32_t *out, const char **end) {
    char *e = nullptr;
    errno = 0;
    unsigned long v = strtoul(s, &e, 16);
    if (e == s || errno != 0 || v > 0xffffffffUL) return false;
    *out = static_cast<uint32_t>(v);
    if (end) *end = e;
    return true;
}

void deliver_line(Client &c, const char *line, size_t len) {
    if (len > 5 && memcmp(line, "nmea ", 5) == 0) {
        {
            std::lock_guard<std::mutex> lk(c.mu);
            if ((c.mask & LOC_EVENT_MASK_NMEA) == 0) return;
        }
        locEventNmeaIndT ind{};
        // The engine's string limit: a longer sentence arrives cut.
        size_t n = len - 5;
        if (n > sizeof ind.nmea - 1) n = sizeof ind.nmea - 1;
        memcpy(ind.nmea, line + 5, n);
        c.cb.eventIndCb(c.handle, LOC_EVENT_NMEA_IND, &ind, c.cookie);
        return;
    }
    const bool ack = len > 4 && memcmp(line, "ack ", 4) == 0;
    const bool ind = len > 4 && memcmp(line, "ind ", 4) == 0;
    if (!ack && !ind) return;  // unknown line: a newer engine, ignore
    uint32_t id = 0;
    const char *rest = nullptr;
    if (!parse_hex_u32(line + 4, &id, &rest)) return;
    const long status = strtol(rest, nullptr, 10);
    if (ack) {
        std::lock_guard<std::mutex> lk(c.mu);
        c.ack_seen = true;
        c.ack_id = id;
        c.ack_status = static_cast<int>(status);
        c.cv.notify_all();
        return;
    }
    const locRespIndT payload{id, static_cast<int32_t>(status)};
    c.cb.respIndCb(c.handle, id, &payload, sizeof payload, c.cookie);
}

void reader_loop(Client *c) {
    // locClientOpen holds the table lock until the client is complete.
    { std::lock_guard<std::mutex> lk(table().mu); }
    std::string line;
    bool skipping = false;  // inside an overlong line
    char buf[2048];
    for (;;) {
        ssize_t r = read(c->fd.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        for (ssize_t i = 0; i < r; ++i) {
            const char ch = buf[i];
            if (ch == '\n') {
                if (!skipping) deliver_line(*c, line.data(), line.size());
                line.clear();
                skipping = false;
                continue;
            }
            if (skipping) continue;
            if (line.size() >= kMaxLine) {
                line.clear();
                skipping = true;
                continue;
            }
            line.push_back(ch);
        }
    }
    {
        std::lock_guard<std::mutex> lk(c->mu);
        c->gone = true;
        c->cv.notify_all();
    }
    if (c->cb.errorCb != nullptr) c->cb.errorCb(c->handle, 1, c->cookie);
}

int connect_engine() {
    const std::string path = plat_path(kSocketPath);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) return -1;
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool write_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

locClientStatusEnumType locClientOpen(locClientEventMaskType eventRegMask,
                                      const locClientCallbacksType *cbs, locClientHandleType *pHandle,
                                      const void *cookie) {
    if (cbs == nullptr || pHandle == nullptr || cbs->size != sizeof(locClientCallbacksType) ||
        cbs->eventIndCb == nullptr || cbs->respIndCb == nullptr) {
        return eLOC_CLIENT_FAILURE_INVALID_PARAMETER;
    }
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    size_t slot = kMaxClients;
    for (size_t i = 0; i < kMaxClients; ++i) {
        if (!t.clients[i]) {
            slot = i;
            break;
        }
    }
    if (slot == kMaxClients) return eLOC_CLIENT_FAILURE_INTERNAL;
    const int fd = connect_engine();
    if (fd < 0) return eLOC_CLIENT_FAILURE_SERVICE_NOT_PRESENT;
    auto c = std::make_shared<Client>(fd);
    c->handle = static_cast<locClientHandleType>(slot + 1);
    c->cb = *cbs;
    c->cookie = const_cast<void *>(cookie);
    c->mask = eventRegMask;
    c->reader = plat_thread("loc-rx", reader_loop, c.get());
    c->reader_id = c->reader.get_id();
    t.clients[slot] = c;
    *pHandle = c->handle;
    return eLOC_CLIENT_SUCCESS;
}

bool locClientRegisterEventMask(locClientHandleType handle, locClientEventMaskType eventRegMask) {
    auto c = find(handle);
    if (!c) return false;
    std::lock_guard<std::mutex> lk(c->mu);
    c->mask = eventRegMask;
    return true;
}

locClientStatusEnumType locClientSendReq(locClientHandleType handle, uint32_t reqId, const void *req,
                                         uint32_t reqLen) {
    auto c = find(handle);
    if (!c) return eLOC_CLIENT_FAILURE_INVALID_HANDLE;
    if (req == nullptr && reqLen != 0) return eLOC_CLIENT_FAILURE_INVALID_PARAMETER;
    if (reqLen > 4096) return eLOC_CLIENT_FAILURE_INVALID_PARAMETER;
    // The ack is read on the client's own thread: waiting for it there would
    // never end.
    if (std::this_thread::get_id() == c->reader_id) return eLOC_CLIENT_FAILURE_GENERAL;

    std::lock_guard<std::mutex> wl(c->write_mu);
    std::string line;
    char head[32];
    snprintf(head, sizeof head, "req %x ", static_cast<unsigned>(reqId));
    line = head;
    const auto *p = static_cast<const uint8_t *>(req);
    for (uint32_t i = 0; i < reqLen; ++i) {
        char hx[3];
        snprintf(hx, sizeof hx, "%02x", p[i]);
        line += hx;
    }
    line += '\n';
    {
        std::lock_guard<std::mutex> lk(c->mu);
        if (c->gone) return eLOC_CLIENT_FAILURE_SERVICE_NOT_PRESENT;
        c->ack_seen = false;
    }
    if (!write_all(c->fd.get(), line)) return eLOC_CLIENT_FAILURE_SERVICE_NOT_PRESENT;
    std::unique_lock<std::mutex> lk(c->mu);
    const bool answered = c->cv.wait_for(lk, std::chrono::milliseconds(kAckTimeoutMs),
                                         [&] { return (c->ack_seen && c->ack_id == reqId) || c->gone; });
    if (!answered) return eLOC_CLIENT_FAILURE_TIMEOUT;
    if (!c->ack_seen || c->ack_id != reqId) return eLOC_CLIENT_FAILURE_SERVICE_NOT_PRESENT;
    return c->ack_status == 0 ? eLOC_CLIENT_SUCCESS : eLOC_CLIENT_FAILURE_ENGINE_BUSY;
}

locClientStatusEnumType locClientClose(locClientHandleType *pHandle) {
    if (pHandle == nullptr) return eLOC_CLIENT_FAILURE_INVALID_PARAMETER;
    std::shared_ptr<Client> c;
    {
        Table &t = table();
        std::lock_guard<std::mutex> lk(t.mu);
        const locClientHandleType h = *pHandle;
        if (h == 0 || h > kMaxClients || !t.clients[h - 1]) return eLOC_CLIENT_FAILURE_INVALID_HANDLE;
        c = t.clients[h - 1];
        if (std::this_thread::get_id() == c->reader_id) return eLOC_CLIENT_FAILURE_GENERAL;
        t.clients[h - 1].reset();
    }
    // The reader sees end of file and leaves; after the join no callback runs.
    shutdown(c->fd.get(), SHUT_RDWR);
    if (c->reader.joinable()) c->reader.join();
    *pHandle = 0;
    return eLOC_CLIENT_SUCCESS;
}

void loc_sync_process_ind(locClientHandleType handle, uint32_t indId, const void *indPayload) {
    int32_t status = -1;
    if (indPayload != nullptr) {
        locRespIndT r;
        memcpy(&r, indPayload, sizeof r);
        status = r.status;
    }
    SyncState &st = sync_state();
    std::lock_guard<std::mutex> lk(st.mu);
    SyncSeen *slot = nullptr;
    for (auto &s : st.seen) {
        if (s.handle == handle && s.id == indId) slot = &s;
    }
    if (slot == nullptr) {
        for (auto &s : st.seen) {
            if (!s.fresh) {
                slot = &s;
                break;
            }
        }
    }
    if (slot == nullptr) slot = &st.seen[0];  // all unread: the first slot is reused
    *slot = {handle, indId, status, true};
    st.cv.notify_all();
}

int loc_sync_wait_ind(locClientHandleType handle, uint32_t indId, int timeout_ms, int32_t *status) {
    SyncState &st = sync_state();
    std::unique_lock<std::mutex> lk(st.mu);
    SyncSeen *hit = nullptr;
    auto seen = [&] {
        for (auto &s : st.seen) {
            if (s.fresh && s.handle == handle && s.id == indId) {
                hit = &s;
                return true;
            }
        }
        return false;
    };
    if (!st.cv.wait_for(lk, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms), seen)) return 0;
    hit->fresh = false;
    if (status != nullptr) *status = hit->status;
    return 1;
}
