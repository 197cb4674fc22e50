#include "modem/modem_qmi.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/qmi_services_v01.h"
#include "platform/sim/qmi_sim_wire.h"
#include "modem/modem_services.h"

namespace {

template <class T>
std::string bytes_of(const T &v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

uint8_t radio_if(const std::string &psrat) {
    if (psrat.find("LTE") != std::string::npos) return NAS_RADIO_IF_LTE_V01;
    if (psrat.find("WCDMA") != std::string::npos || psrat.find("UMTS") != std::string::npos) {
        return NAS_RADIO_IF_UMTS_V01;
    }
    if (psrat.find("GSM") != std::string::npos) return NAS_RADIO_IF_GSM_V01;
    return NAS_RADIO_IF_NO_SVC_V01;
}

nas_serving_system_type_v01 serving_system(const ModemData &d) {
    nas_serving_system_type_v01 ss{};
    const bool reg = modem_registered(d);
    ss.registration_state = static_cast<uint8_t>(modem_reg_state(d));
    ss.cs_attach_state = 2;  // packet-switched only
    ss.ps_attach_state = reg ? 1 : 2;
    ss.selected_network = 2;  // 3GPP
    if (reg) {
        ss.radio_if_len = 1;
        ss.radio_if[0] = radio_if(d.psrat);
    }
    ss.extra = modem_serving_extra(d);
    return ss;
}

// One handler per message the modem knows; adding a message adds a line here.
using Handler = std::string (*)(const ModemData &d, const std::string &req);

std::string dms_get_operating_mode(const ModemData &d, const std::string &) {
    dms_get_operating_mode_resp_msg_v01 r{};
    r.resp = {QMI_RESULT_SUCCESS_V01, QMI_ERR_NONE_V01};
    r.operating_mode = d.cfun == 1 ? DMS_OP_MODE_ONLINE_V01 : DMS_OP_MODE_LOW_POWER_V01;
    return bytes_of(r);
}

std::string nas_get_serving_system(const ModemData &d, const std::string &) {
    nas_get_serving_system_resp_msg_v01 r{};
    r.resp = {QMI_RESULT_SUCCESS_V01, QMI_ERR_NONE_V01};
    r.serving_system = serving_system(d);
    return bytes_of(r);
}

struct HandlerEntry {
    uint8_t service;
    uint16_t msg_id;
    Handler fn;
};

const HandlerEntry kHandlers[] = {
    {QMI_DMS_SERVICE_ID_V01, QMI_DMS_GET_OPERATING_MODE_REQ_V01, dms_get_operating_mode},
    {QMI_NAS_SERVICE_ID_V01, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nas_get_serving_system},
};

bool known_service(uint8_t s) {
    return s == QMI_DMS_SERVICE_ID_V01 || s == QMI_NAS_SERVICE_ID_V01 || s == QMI_UIM_SERVICE_ID_V01 ||
           s == QMI_WDS_SERVICE_ID_V01;
}

std::string frame(uint8_t kind, uint8_t service, uint16_t msg_id, uint32_t txn, const std::string &payload,
                  int32_t status = qmi_sim::kOk) {
    qmi_sim::Header h{qmi_sim::kMagic, static_cast<uint32_t>(payload.size()), kind, service, msg_id, txn, status};
    return bytes_of(h) + payload;
}

struct Conn {
    uint32_t id = 0;  // owner of the data calls it starts
    int fd = -1;
    bool hello = false;
    bool closing = false;  // close once what was queued is out
    uint8_t service = 0;
    uint16_t role = 0;
    std::string in;
    ~Conn() {
        if (fd >= 0) close(fd);
    }
};

// Small messages on a local socket: a client that does not take them at once
// is stuck or gone, and is dropped rather than waited for.
bool send_now(Conn &c, const std::string &bytes) {
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t w = send(c.fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

std::string modem_qmi_answer(ModemState &state, uint8_t service, uint16_t msg_id, const std::string &req,
                             uint32_t owner) {
    std::string resp;
    if (modem_services_answer(state, service, msg_id, req, owner, &resp)) return resp;
    const ModemData d = state.snapshot();
    for (const HandlerEntry &h : kHandlers) {
        if (h.service == service && h.msg_id == msg_id) return h.fn(d, req);
    }
    qmi_response_type_v01 r{QMI_RESULT_FAILURE_V01, QMI_ERR_INVALID_QMI_CMD_V01};
    return bytes_of(r);
}

std::string modem_qmi_serving_system_ind(const ModemData &d) {
    nas_serving_system_ind_msg_v01 ind{};
    ind.serving_system = serving_system(d);
    return bytes_of(ind);
}

ModemQmi::~ModemQmi() { stop(); }


int ModemQmi::start(const std::string &root) {
    path_ = root + qmi_sim::kSocketPath;
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (path_.size() >= sizeof sa.sun_path) {
        fprintf(stderr, "devsim: modem: socket path too long for QMI: %s\n", path_.c_str());
        return -1;
    }
    memcpy(sa.sun_path, path_.c_str(), path_.size() + 1);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    event_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listen_fd_ < 0 || event_fd_ < 0) {
        fprintf(stderr, "devsim: modem: QMI socket: %s\n", strerror(errno));
        return -1;
    }
    unlink(path_.c_str());  // left by a devsim that was killed
    if (bind(listen_fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(listen_fd_, 16) != 0) {
        fprintf(stderr, "devsim: modem: bind %s: %s\n", path_.c_str(), strerror(errno));
        return -1;
    }
    state_.set_listener([this](const ModemEvent &e) {
        {
            std::lock_guard<std::mutex> hold(ev_mu_);
            ev_.push_back(e);
        }
        const uint64_t one = 1;
        ssize_t w = write(event_fd_, &one, sizeof one);
        (void)w;
    });
    thread_ = std::thread([this] { run(); });
    return 0;
}

void ModemQmi::stop() {
    state_.set_listener(nullptr);
    if (thread_.joinable()) {
        stopping_.store(true);
        const uint64_t one = 1;
        ssize_t w = write(event_fd_, &one, sizeof one);
        (void)w;
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        close(listen_fd_);
        unlink(path_.c_str());
    }
    if (event_fd_ >= 0) close(event_fd_);
    listen_fd_ = event_fd_ = -1;
}

void ModemQmi::run() {
    std::vector<std::unique_ptr<Conn>> conns;

    auto to_all = [&](uint8_t service, uint16_t role, const std::string &bytes) {
        for (auto &c : conns) {
            if (c->hello && !c->closing && c->service == service && c->role == role && !send_now(*c, bytes)) {
                c->closing = true;
            }
        }
    };

    auto handle_frame = [&](Conn &c, const qmi_sim::Header &h, const std::string &payload) {
        if (!c.hello) {
            if (h.kind != qmi_sim::kHello) {
                c.closing = true;
                return;
            }
            const ModemData d = state_.snapshot();
            const bool up = known_service(h.service) && d.down.count(h.service) == 0 &&
                            (h.msg_id == qmi_sim::kRoleClient || h.msg_id == qmi_sim::kRoleNotifier);
            if (!up) {
                send_now(c, frame(qmi_sim::kHelloAck, h.service, 0, 0, "", qmi_sim::kNoService));
                c.closing = true;
                return;
            }
            c.hello = true;
            c.service = h.service;
            c.role = h.msg_id;
            if (!send_now(c, frame(qmi_sim::kHelloAck, h.service, 0, 0, ""))) c.closing = true;
            if (c.role == qmi_sim::kRoleNotifier &&
                !send_now(c, frame(qmi_sim::kServiceEvent, c.service, qmi_sim::kServiceUp, 0, ""))) {
                c.closing = true;
            }
            return;
        }
        if (h.kind != qmi_sim::kRequest || c.role != qmi_sim::kRoleClient) return;
        const std::string resp = modem_qmi_answer(state_, c.service, h.msg_id, payload, c.id);
        if (!send_now(c, frame(qmi_sim::kResponse, c.service, h.msg_id, h.txn, resp))) c.closing = true;
    };

    std::vector<struct pollfd> pfds;
    uint32_t next_conn = 1;
    while (!stopping_.load()) {
        // Data calls waiting for the network's answer set the wake-up.
        int timeout = -1;
        const int64_t due = modem_calls_next_due(state_.snapshot());
        if (due >= 0) {
            const int64_t left = due - modem_now_ms();
            timeout = left <= 0 ? 0 : static_cast<int>(left > 60000 ? 60000 : left);
            if (left <= 0) {
                state_.update([](ModemData &m) { modem_calls_step(m, modem_now_ms()); });
                timeout = 0;
            }
        }
        pfds.clear();
        pfds.push_back({event_fd_, POLLIN, 0});
        pfds.push_back({listen_fd_, POLLIN, 0});
        for (auto &c : conns) pfds.push_back({c->fd, POLLIN, 0});
        const int n = poll(pfds.data(), pfds.size(), timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            fprintf(stderr, "devsim: modem: QMI poll: %s\n", strerror(errno));
            return;
        }
        if (pfds[0].revents & POLLIN) {
            uint64_t v;
            ssize_t r = read(event_fd_, &v, sizeof v);
            (void)r;
            std::deque<ModemEvent> evs;
            {
                std::lock_guard<std::mutex> hold(ev_mu_);
                evs.swap(ev_);
            }
            for (const ModemEvent &e : evs) {
                if (e.kind == ModemEvent::kCall || e.kind == ModemEvent::kQos) {  // to the call's client
                    const bool qos = e.kind == ModemEvent::kQos;
                    const std::string ind =
                        frame(qmi_sim::kIndication, QMI_WDS_SERVICE_ID_V01,
                              qos ? QMI_WDS_QOS_STATUS_IND_V01 : QMI_WDS_PKT_SRVC_STATUS_IND_V01, 0,
                              qos ? modem_qos_ind(e) : modem_pkt_srvc_ind(e));
                    for (auto &c : conns) {
                        if (c->id == e.owner && c->hello && !c->closing && !send_now(*c, ind)) c->closing = true;
                    }
                    continue;
                }
                if (e.kind == ModemEvent::kRadio) {
                    const std::string ind = modem_qmi_serving_system_ind(state_.snapshot());
                    to_all(QMI_NAS_SERVICE_ID_V01, qmi_sim::kRoleClient,
                           frame(qmi_sim::kIndication, QMI_NAS_SERVICE_ID_V01, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, 0,
                                 ind));
                    continue;
                }
                const uint16_t ev = e.up ? qmi_sim::kServiceUp : qmi_sim::kServiceDown;
                to_all(e.service, qmi_sim::kRoleNotifier, frame(qmi_sim::kServiceEvent, e.service, ev, 0, ""));
                if (!e.up) {
                    to_all(e.service, qmi_sim::kRoleClient, frame(qmi_sim::kServiceEvent, e.service, ev, 0, ""));
                    for (auto &c : conns) {
                        if (c->hello && c->service == e.service && c->role == qmi_sim::kRoleClient) c->closing = true;
                    }
                }
            }
        }
        if (pfds[1].revents & POLLIN) {
            for (;;) {
                const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0) break;
                auto c = std::make_unique<Conn>();
                c->fd = fd;
                c->id = next_conn++;
                conns.push_back(std::move(c));
            }
        }
        for (size_t i = 2; i < pfds.size(); ++i) {
            Conn &c = *conns[i - 2];
            if (!(pfds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            const ssize_t r = recv(c.fd, buf, sizeof buf, 0);
            if (r <= 0) {
                if (r == 0 || (errno != EAGAIN && errno != EINTR)) c.closing = true;
                continue;
            }
            c.in.append(buf, static_cast<size_t>(r));
            while (!c.closing && c.in.size() >= sizeof(qmi_sim::Header)) {
                qmi_sim::Header h;
                memcpy(&h, c.in.data(), sizeof h);
                if (!qmi_sim::header_ok(h)) {  // a peer that speaks nonsense is dropped
                    c.closing = true;
                    break;
                }
                if (c.in.size() < sizeof h + h.len) break;
                const std::string payload = c.in.substr(sizeof h, h.len);
                c.in.erase(0, sizeof h + h.len);
                handle_frame(c, h, payload);
            }
        }
        // A client that goes away takes its data calls with it.
        for (auto &c : conns) {
            if (c->closing && c->hello && c->service == QMI_WDS_SERVICE_ID_V01) modem_calls_end_owner(state_, c->id);
        }
        std::erase_if(conns, [](const std::unique_ptr<Conn> &c) { return c->closing; });
    }
}
