// QMI client framework, simulation build: each client or notifier is one
// connection to the device simulator's modem (qmi_sim_wire.h).  A reader
// thread per connection plays the framework's thread: it hands responses to
// the waiting callers and runs the indication, error and notify callbacks.
#include <sys/socket.h>
#include <sys/un.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "platform/qmi_client.h"
#include "platform/sim/qmi_client_sim.h"
#include "platform/sim/qmi_idl_sim.h"
#include "platform/sim/qmi_sim_wire.h"

namespace {

// The modem's service lookup is local and fast; the caller's timeout only
// bounds waiting for a service that is not there yet, so the hand-shake with
// the simulator gets a bound of its own that a busy machine cannot miss.
constexpr int kHandshakeMs = 2000;

struct Pending {
    bool done = false;
    std::vector<uint8_t> payload;
};

struct Client {
    uintptr_t id = 0;
    int fd = -1;
    bool notifier = false;
    qmi_idl_service_object_type obj = nullptr;
    qmi_client_ind_cb ind_cb = nullptr;
    void *ind_data = nullptr;

    std::mutex mu;  // everything below
    std::condition_variable cv;
    std::thread reader;
    qmi_client_error_cb err_cb = nullptr;
    void *err_data = nullptr;
    qmi_client_notify_cb notify_cb = nullptr;
    void *notify_data = nullptr;
    bool released = false;
    bool dead = false;          // the service went away or the connection broke
    bool service_up = false;    // notifier: latest known state
    uint32_t next_txn = 0;
    std::map<uint32_t, std::shared_ptr<Pending>> pending;

    std::mutex write_mu;

    ~Client() {
        if (fd >= 0) close(fd);
    }
};

// Handles are numbers, not pointers, so a stale handle is refused instead of
// reaching freed memory.  Never destroyed: reader threads may still look
// handles up while the process exits.
struct Registry {
    std::mutex mu;
    std::map<uintptr_t, std::shared_ptr<Client>> clients;
    uintptr_t next_id = 0x100;
};

Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

std::atomic<int> g_instances{0};

qmi_client_type to_handle(uintptr_t id) { return reinterpret_cast<qmi_client_type>(id); }
uintptr_t to_id(qmi_client_type h) { return reinterpret_cast<uintptr_t>(h); }

std::shared_ptr<Client> lookup(qmi_client_type h) {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mu);
    auto it = r.clients.find(to_id(h));
    return it == r.clients.end() ? nullptr : it->second;
}

bool write_all(int fd, const void *data, size_t len) {
    const auto *p = static_cast<const uint8_t *>(data);
    while (len > 0) {
        ssize_t w = send(fd, p, len, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        len -= static_cast<size_t>(w);
    }
    return true;
}

// Reads exactly len bytes; false on end of stream or error.
bool read_all(int fd, void *data, size_t len) {
    auto *p = static_cast<uint8_t *>(data);
    while (len > 0) {
        ssize_t r = recv(fd, p, len, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return true;
}

bool send_frame(Client &c, uint8_t kind, uint16_t msg_id, uint32_t txn, const void *payload, uint32_t len) {
    qmi_sim::Header h{qmi_sim::kMagic, len, kind, c.obj->service_id, msg_id, txn, 0};
    std::lock_guard<std::mutex> hold(c.write_mu);
    if (!write_all(c.fd, &h, sizeof h)) return false;
    return len == 0 || write_all(c.fd, payload, len);
}

// Connects and introduces itself.  The connected socket, or -1 when the
// simulator is not there or does not offer the service.
int connect_service(qmi_idl_service_object_type obj, qmi_sim::Role role) {
    const std::string path = plat_path(qmi_sim::kSocketPath);
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
    qmi_sim::Header h{qmi_sim::kMagic, 0, qmi_sim::kHello, obj->service_id, static_cast<uint16_t>(role), 0, 0};
    if (!write_all(fd, &h, sizeof h)) {
        close(fd);
        return -1;
    }
    struct pollfd p {fd, POLLIN, 0};
    int n;
    do {
        n = poll(&p, 1, kHandshakeMs);
    } while (n < 0 && errno == EINTR);
    qmi_sim::Header ack{};
    if (n <= 0 || !read_all(fd, &ack, sizeof ack) || !qmi_sim::header_ok(ack) || ack.kind != qmi_sim::kHelloAck ||
        ack.len != 0 || ack.status != qmi_sim::kOk) {
        close(fd);
        return -1;
    }
    return fd;
}

// The connection is gone: wake every waiting caller, report the loss once.
void mark_dead(const std::shared_ptr<Client> &c) {
    qmi_client_error_cb cb = nullptr;
    void *data = nullptr;
    qmi_client_notify_cb ncb = nullptr;
    void *ndata = nullptr;
    {
        std::lock_guard<std::mutex> hold(c->mu);
        if (c->dead) return;
        c->dead = true;
        c->cv.notify_all();
        if (c->released) return;
        if (c->notifier) {
            if (c->service_up) {
                ncb = c->notify_cb;
                ndata = c->notify_data;
            }
            c->service_up = false;
        } else {
            cb = c->err_cb;
            data = c->err_data;
        }
    }
    if (cb != nullptr) cb(to_handle(c->id), QMI_SERVICE_ERR, data);
    if (ncb != nullptr) ncb(to_handle(c->id), c->obj, QMI_CLIENT_SERVICE_COUNT_DEC, ndata);
}

void on_service_event(const std::shared_ptr<Client> &c, uint16_t event) {
    if (!c->notifier) {
        if (event == qmi_sim::kServiceDown) mark_dead(c);
        return;
    }
    const bool up = event == qmi_sim::kServiceUp;
    qmi_client_notify_cb cb = nullptr;
    void *data = nullptr;
    {
        std::lock_guard<std::mutex> hold(c->mu);
        if (c->released || c->service_up == up) return;
        c->service_up = up;
        cb = c->notify_cb;
        data = c->notify_data;
    }
    if (cb != nullptr) {
        cb(to_handle(c->id), c->obj, up ? QMI_CLIENT_SERVICE_COUNT_INC : QMI_CLIENT_SERVICE_COUNT_DEC, data);
    }
}

void reader_loop(std::shared_ptr<Client> c) {
    std::vector<uint8_t> buf;
    for (;;) {
        qmi_sim::Header h{};
        if (!read_all(c->fd, &h, sizeof h) || !qmi_sim::header_ok(h)) break;
        buf.assign(h.len, 0);
        if (h.len > 0 && !read_all(c->fd, buf.data(), h.len)) break;
        {
            std::lock_guard<std::mutex> hold(c->mu);
            if (c->released) break;
        }
        switch (h.kind) {
        case qmi_sim::kResponse: {
            std::lock_guard<std::mutex> hold(c->mu);
            auto it = c->pending.find(h.txn);
            if (it != c->pending.end()) {  // else: the caller gave up already
                it->second->payload = buf;
                it->second->done = true;
                c->cv.notify_all();
            }
            break;
        }
        case qmi_sim::kIndication:
            if (!c->notifier && c->ind_cb != nullptr) c->ind_cb(to_handle(c->id), h.msg_id, buf.data(), h.len, c->ind_data);
            break;
        case qmi_sim::kServiceEvent:
            on_service_event(c, h.msg_id);
            break;
        default:
            break;  // nothing else is meant for a client
        }
    }
    mark_dead(c);
    // Nobody may ever release a dead client: the thread must not wait for a
    // join that never comes.  A release already under way owns it instead.
    std::lock_guard<std::mutex> hold(c->mu);
    if (c->reader.joinable() && c->reader.get_id() == std::this_thread::get_id()) c->reader.detach();
}

std::shared_ptr<Client> open_client(qmi_idl_service_object_type obj, bool notifier, int fd, qmi_client_ind_cb ind_cb,
                                    void *ind_data) {
    auto c = std::make_shared<Client>();
    c->fd = fd;
    c->notifier = notifier;
    c->obj = obj;
    c->ind_cb = ind_cb;
    c->ind_data = ind_data;
    if (fd < 0) c->dead = true;
    Registry &r = registry();
    {
        std::lock_guard<std::mutex> hold(r.mu);
        c->id = r.next_id++;
        r.clients[c->id] = c;
    }
    if (fd >= 0) {
        std::lock_guard<std::mutex> hold(c->mu);
        c->reader = plat_thread("qmi-rx", reader_loop, c);
    }
    return c;
}

}  // namespace

qmi_client_error_type qmi_client_init_instance(qmi_idl_service_object_type service_obj,
                                               qmi_service_instance instance_id, qmi_client_ind_cb ind_cb,
                                               void *ind_cb_data, qmi_client_os_params *os_params,
                                               uint32_t timeout_ms, qmi_client_type *user_handle) {
    (void)instance_id;  // one modem: every instance is the same
    (void)os_params;
    (void)timeout_ms;
    if (user_handle == nullptr) return QMI_CLIENT_PARAM_ERR;
    *user_handle = nullptr;
    if (service_obj == nullptr) return QMI_CLIENT_PARAM_ERR;
    const int fd = connect_service(service_obj, qmi_sim::kRoleClient);
    if (fd < 0) return QMI_SERVICE_ERR;
    auto c = open_client(service_obj, false, fd, ind_cb, ind_cb_data);
    g_instances.fetch_add(1, std::memory_order_relaxed);
    *user_handle = to_handle(c->id);
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_notifier_init(qmi_idl_service_object_type service_obj,
                                               qmi_client_os_params *os_params, qmi_client_type *user_handle) {
    (void)os_params;
    if (user_handle == nullptr) return QMI_CLIENT_PARAM_ERR;
    *user_handle = nullptr;
    if (service_obj == nullptr) return QMI_CLIENT_PARAM_ERR;
    // A notifier exists whether or not the modem is there; without it, it
    // simply never reports the service as up.
    const int fd = connect_service(service_obj, qmi_sim::kRoleNotifier);
    auto c = open_client(service_obj, true, fd, nullptr, nullptr);
    *user_handle = to_handle(c->id);
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_register_error_cb(qmi_client_type user_handle, qmi_client_error_cb err_cb,
                                                   void *err_cb_data) {
    auto c = lookup(user_handle);
    if (c == nullptr || c->notifier) return QMI_CLIENT_INVALID_CLNT;
    std::lock_guard<std::mutex> hold(c->mu);
    // Lost before anyone listened: the caller must hear it now, not never.
    if (c->dead) return QMI_SERVICE_ERR;
    c->err_cb = err_cb;
    c->err_data = err_cb_data;
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_register_notify_cb(qmi_client_type user_handle, qmi_client_notify_cb notify_cb,
                                                    void *notify_cb_data) {
    auto c = lookup(user_handle);
    if (c == nullptr || !c->notifier) return QMI_CLIENT_INVALID_CLNT;
    bool up;
    {
        std::lock_guard<std::mutex> hold(c->mu);
        c->notify_cb = notify_cb;
        c->notify_data = notify_cb_data;
        up = c->service_up;
    }
    if (up && notify_cb != nullptr) notify_cb(user_handle, c->obj, QMI_CLIENT_SERVICE_COUNT_INC, notify_cb_data);
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_send_msg_sync(qmi_client_type user_handle, unsigned int msg_id, void *req_c_struct,
                                               unsigned int req_c_struct_len, void *resp_c_struct,
                                               unsigned int resp_c_struct_len, unsigned int timeout_msecs) {
    auto c = lookup(user_handle);
    if (c == nullptr || c->notifier) return QMI_CLIENT_INVALID_CLNT;
    if (req_c_struct_len > qmi_sim::kMaxPayload || (req_c_struct_len > 0 && req_c_struct == nullptr) ||
        (resp_c_struct_len > 0 && resp_c_struct == nullptr) || msg_id > 0xFFFF) {
        return QMI_CLIENT_PARAM_ERR;
    }
    auto p = std::make_shared<Pending>();
    uint32_t txn;
    {
        std::lock_guard<std::mutex> hold(c->mu);
        if (c->dead || c->released) return QMI_SERVICE_ERR;
        txn = ++c->next_txn;
        c->pending[txn] = p;
    }
    auto forget = [&] {
        std::lock_guard<std::mutex> hold(c->mu);
        c->pending.erase(txn);
    };
    if (!send_frame(*c, qmi_sim::kRequest, static_cast<uint16_t>(msg_id), txn, req_c_struct, req_c_struct_len)) {
        forget();
        return QMI_CLIENT_TRANSPORT_ERR;
    }
    std::unique_lock<std::mutex> lk(c->mu);
    const bool answered = c->cv.wait_for(lk, std::chrono::milliseconds(timeout_msecs),
                                         [&] { return p->done || c->dead || c->released; });
    c->pending.erase(txn);
    if (!p->done) return answered ? QMI_SERVICE_ERR : QMI_TIMEOUT_ERR;
    lk.unlock();
    if (p->payload.size() > resp_c_struct_len) return QMI_CLIENT_MSG_TOO_LONG;
    if (resp_c_struct_len > 0) {
        memset(resp_c_struct, 0, resp_c_struct_len);
        if (!p->payload.empty()) memcpy(resp_c_struct, p->payload.data(), p->payload.size());
    }
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_release(qmi_client_type user_handle) {
    std::shared_ptr<Client> c;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> hold(r.mu);
        auto it = r.clients.find(to_id(user_handle));
        if (it == r.clients.end()) return QMI_CLIENT_INVALID_CLNT;
        c = it->second;
        r.clients.erase(it);
    }
    std::thread reader;
    {
        std::lock_guard<std::mutex> hold(c->mu);
        c->released = true;
        c->cv.notify_all();
        reader = std::move(c->reader);
    }
    if (c->fd >= 0) shutdown(c->fd, SHUT_RDWR);  // the reader wakes up and ends
    if (reader.joinable()) {
        if (reader.get_id() == std::this_thread::get_id()) {
            reader.detach();  // released from its own callback
        } else {
            reader.join();
        }
    }
    return QMI_NO_ERR;
}

qmi_client_error_type qmi_client_message_decode(qmi_client_type user_handle,
                                                qmi_idl_type_of_message_type req_resp_ind, unsigned int message_id,
                                                const void *msg_buf, unsigned int msg_buf_len, void *msg_c_struct,
                                                unsigned int msg_c_struct_len) {
    auto c = lookup(user_handle);
    if (c == nullptr) return QMI_CLIENT_INVALID_CLNT;
    if (msg_c_struct == nullptr || (msg_buf == nullptr && msg_buf_len > 0)) return QMI_CLIENT_PARAM_ERR;
    const qmi_msg_desc_sim *d = qmi_sim_find_msg(c->obj, req_resp_ind, message_id);
    // A message of another size is another message (or a broken one): never
    // copy part of it into a structure that would then look valid.
    if (d == nullptr || d->size != msg_buf_len || d->size > msg_c_struct_len) return QMI_CLIENT_DECODE_ERR;
    memset(msg_c_struct, 0, msg_c_struct_len);
    if (msg_buf_len > 0) memcpy(msg_c_struct, msg_buf, msg_buf_len);
    return QMI_NO_ERR;
}

int qmi_client_sim_instances(void) { return g_instances.load(std::memory_order_relaxed); }

int qmi_client_sim_open_handles(void) {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mu);
    return static_cast<int>(r.clients.size());
}
