// Data services, simulation build: each handle is one data call of the
// simulated modem's wireless data service, reached over the QMI socket with a
// WDS client of our own.  Packet-service indications arrive on the QMI
// framework's thread and are handed to an event thread of the data services,
// which runs the callers' callbacks, as the platform's library does.
#include <arpa/inet.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dsi.h"
#include "platform/qmi_client.h"
#include "platform/qmi_services_v01.h"
#include "platform/plat_thread.h"

namespace {

constexpr unsigned kRequestMs = 6000;
constexpr uint32_t kFindServiceMs = 1000;
// Indications for calls not known yet (the start answer is still on its
// way); a few are plenty, more means nobody claims them.
constexpr size_t kUnclaimedMax = 16;

struct Handle {
    uintptr_t id = 0;
    dsi_net_ev_cb cb = nullptr;
    void *user_data = nullptr;
    // Call parameters.
    int profile = 1;
    int ip_version = DSI_IP_VERSION_4;
    int tech_pref = 0;
    int auth = -1;  // not set
    std::string apn;
    std::string user;
    std::string pass;
    bool user_set = false;
    bool pass_set = false;
    // The modem's call: 0 while there is none.
    uint32_t call = 0;
    bool connected = false;
};

struct Event {
    uintptr_t handle = 0;
    dsi_net_evt_t evt = DSI_EVT_INVALID;
    bool has_payload = false;
    dsi_evt_payload_t payload{};
};

struct State {
    std::mutex mu;  // everything below
    std::map<uintptr_t, std::shared_ptr<Handle>> handles;
    uintptr_t next_id = 0x5000;
    std::map<uint32_t, uint8_t> unclaimed;  // call -> connection status
    qmi_client_type client = nullptr;
    std::deque<Event> events;
    std::condition_variable cv;
};

State &state() {
    static State *s = new State;  // the event thread may outlive static destruction
    return *s;
}

std::atomic<bool> g_inited{false};
std::mutex g_init_lock;

dsi_hndl_t to_hndl(uintptr_t id) { return reinterpret_cast<dsi_hndl_t>(id); }
uintptr_t to_id(dsi_hndl_t h) { return reinterpret_cast<uintptr_t>(h); }

// Under s.mu.
void post_locked(State &s, uintptr_t handle, dsi_net_evt_t evt) {
    Event e;
    e.handle = handle;
    e.evt = evt;
    s.events.push_back(e);
    s.cv.notify_one();
}

// Under s.mu: the call's new status.  True when a handle took it.
bool apply_status_locked(State &s, uint32_t call, uint8_t status) {
    for (auto &kv : s.handles) {
        Handle &h = *kv.second;
        if (h.call != call) continue;
        if (status == WDS_CONNECTION_STATUS_CONNECTED_V01) {
            if (!h.connected) {
                h.connected = true;
                post_locked(s, h.id, DSI_EVT_NET_IS_CONN);
            }
        } else if (status == WDS_CONNECTION_STATUS_DISCONNECTED_V01) {
            h.call = 0;
            h.connected = false;
            post_locked(s, h.id, DSI_EVT_NET_NO_NET);
        }
        return true;
    }
    return false;
}

void qos_ind(qmi_client_type user_handle, void *ind_buf, unsigned int ind_buf_len) {
    wds_qos_status_ind_msg_v01 ind{};
    if (qmi_client_message_decode(user_handle, QMI_IDL_INDICATION, QMI_WDS_QOS_STATUS_IND_V01, ind_buf, ind_buf_len,
                                  &ind, sizeof ind) != QMI_NO_ERR) {
        return;
    }
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    for (auto &kv : s.handles) {
        if (kv.second->call != ind.pkt_data_handle || !kv.second->connected) continue;
        Event e;
        e.handle = kv.first;
        e.evt = DSI_EVT_QOS_STATUS_IND;
        e.has_payload = true;
        e.payload.qos_info.flow_id = ind.flow_id;
        e.payload.qos_info.status_evt = static_cast<dsi_qos_status_event_type>(ind.status);
        s.events.push_back(e);
        s.cv.notify_one();
    }
}

void wds_ind_cb(qmi_client_type user_handle, unsigned int msg_id, void *ind_buf, unsigned int ind_buf_len, void *) {
    if (msg_id == QMI_WDS_QOS_STATUS_IND_V01) {
        qos_ind(user_handle, ind_buf, ind_buf_len);
        return;
    }
    if (msg_id != QMI_WDS_PKT_SRVC_STATUS_IND_V01) return;
    wds_pkt_srvc_status_ind_msg_v01 ind{};
    if (qmi_client_message_decode(user_handle, QMI_IDL_INDICATION, msg_id, ind_buf, ind_buf_len, &ind, sizeof ind) !=
        QMI_NO_ERR) {
        return;
    }
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    if (apply_status_locked(s, ind.pkt_data_handle, ind.connection_status)) return;
    if (s.unclaimed.size() >= kUnclaimedMax) s.unclaimed.erase(s.unclaimed.begin());
    s.unclaimed[ind.pkt_data_handle] = ind.connection_status;
}

// The modem's data service went away, and every call with it.
void wds_error_cb(qmi_client_type user_handle, qmi_client_error_type, void *) {
    State &s = state();
    {
        std::lock_guard<std::mutex> hold(s.mu);
        if (s.client == user_handle) s.client = nullptr;
        for (auto &kv : s.handles) {
            Handle &h = *kv.second;
            if (h.call == 0) continue;
            h.call = 0;
            h.connected = false;
            post_locked(s, h.id, DSI_EVT_NET_NO_NET);
        }
    }
    qmi_client_release(user_handle);
}

// The WDS client, made when first needed and again after the service was lost.
qmi_client_type client() {
    State &s = state();
    {
        std::lock_guard<std::mutex> hold(s.mu);
        if (s.client != nullptr) return s.client;
    }
    std::lock_guard<std::mutex> once(g_init_lock);
    {
        std::lock_guard<std::mutex> hold(s.mu);
        if (s.client != nullptr) return s.client;
    }
    qmi_idl_service_object_type obj =
        wds_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, WDS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
    qmi_client_os_params os{};
    qmi_client_type c = nullptr;
    if (qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, wds_ind_cb, nullptr, &os, kFindServiceMs, &c) !=
        QMI_NO_ERR) {
        return nullptr;
    }
    if (qmi_client_register_error_cb(c, wds_error_cb, nullptr) != QMI_NO_ERR) {
        qmi_client_release(c);
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(s.mu);
    s.client = c;
    return c;
}

void event_loop() {
    State &s = state();
    for (;;) {
        Event e;
        dsi_net_ev_cb cb = nullptr;
        void *user = nullptr;
        {
            std::unique_lock<std::mutex> lk(s.mu);
            s.cv.wait(lk, [&] { return !s.events.empty(); });
            e = s.events.front();
            s.events.pop_front();
            auto it = s.handles.find(e.handle);
            if (it == s.handles.end()) continue;  // released meanwhile
            cb = it->second->cb;
            user = it->second->user_data;
        }
        if (cb != nullptr) cb(to_hndl(e.handle), user, e.evt, e.has_payload ? &e.payload : nullptr);
    }
}

std::shared_ptr<Handle> lookup(dsi_hndl_t h) {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    auto it = s.handles.find(to_id(h));
    return it == s.handles.end() ? nullptr : it->second;
}

// A request about the handle's call; false unless the modem said yes.
template <class Resp>
bool call_request(uint32_t call, unsigned int msg_id, Resp *resp) {
    qmi_client_type c = client();
    if (c == nullptr || call == 0) return false;
    wds_call_handle_req_msg_v01 req{call};
    return qmi_client_send_msg_sync(c, msg_id, &req, sizeof req, resp, sizeof *resp, kRequestMs) == QMI_NO_ERR &&
           resp->resp.result == QMI_RESULT_SUCCESS_V01;
}

uint32_t connected_call(dsi_hndl_t hndl) {
    auto h = lookup(hndl);
    if (h == nullptr) return 0;
    std::lock_guard<std::mutex> hold(state().mu);
    return h->connected ? h->call : 0;
}

// The platform's convention: family in the first two bytes, the address
// bytes from byte 8 on.
void put_addr(dsi_addr_t *out, int family, const uint8_t *bytes, size_t len) {
    memset(out, 0, sizeof *out);
    out->valid_addr = 1;
    out->addr.ss_family = static_cast<sa_family_t>(family);
    memcpy(reinterpret_cast<uint8_t *>(&out->addr) + 8, bytes, len);
}

}  // namespace

int dsi_init(int mode) {
    (void)mode;
    std::lock_guard<std::mutex> hold(g_init_lock);
    if (g_inited.load()) return DSI_ERROR;
    // Nothing works without the modem's data service: find it now.
    qmi_idl_service_object_type obj =
        wds_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, WDS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
    qmi_client_os_params os{};
    qmi_client_type c = nullptr;
    if (qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, wds_ind_cb, nullptr, &os, kFindServiceMs, &c) !=
        QMI_NO_ERR) {
        return DSI_ERROR;
    }
    if (qmi_client_register_error_cb(c, wds_error_cb, nullptr) != QMI_NO_ERR) {
        qmi_client_release(c);
        return DSI_ERROR;
    }
    {
        State &s = state();
        std::lock_guard<std::mutex> h(s.mu);
        s.client = c;
    }
    plat_thread("dsi-event", event_loop).detach();  // lives as long as the process
    g_inited.store(true);
    return DSI_SUCCESS;
}

dsi_hndl_t dsi_get_data_srvc_hndl(dsi_net_ev_cb cb, void *user_data) {
    if (!g_inited.load() || cb == nullptr) return nullptr;
    auto h = std::make_shared<Handle>();
    h->cb = cb;
    h->user_data = user_data;
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    h->id = s.next_id++;
    s.handles[h->id] = h;
    return to_hndl(h->id);
}

void dsi_rel_data_srvc_hndl(dsi_hndl_t hndl) {
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    s.handles.erase(to_id(hndl));
}

int dsi_set_data_call_param(dsi_hndl_t hndl, dsi_call_param_identifier_t identifier, dsi_call_param_value_t *info) {
    auto h = lookup(hndl);
    if (h == nullptr || info == nullptr) return DSI_ERROR;
    auto text = [&](size_t max, std::string *out, bool *set) {
        if (info->buf_val == nullptr || info->num_val < 0 || static_cast<size_t>(info->num_val) > max) return DSI_ERROR;
        *out = std::string(info->buf_val, strnlen(info->buf_val, static_cast<size_t>(info->num_val)));
        if (set != nullptr) *set = true;
        return DSI_SUCCESS;
    };
    std::lock_guard<std::mutex> hold(state().mu);
    switch (identifier) {
    case DSI_CALL_INFO_UMTS_PROFILE_IDX:
        if (info->num_val < 1 || info->num_val > 24) return DSI_ERROR;
        h->profile = info->num_val;
        return DSI_SUCCESS;
    case DSI_CALL_INFO_APN_NAME:
        return text(DSI_CALL_INFO_APN_MAX_LEN, &h->apn, nullptr);
    case DSI_CALL_INFO_USERNAME:
        return text(DSI_CALL_INFO_USERNAME_MAX_LEN, &h->user, &h->user_set);
    case DSI_CALL_INFO_PASSWORD:
        return text(DSI_CALL_INFO_PASSWORD_MAX_LEN, &h->pass, &h->pass_set);
    case DSI_CALL_INFO_AUTH_PREF:
        if (info->num_val < 0 || info->num_val > 3) return DSI_ERROR;
        h->auth = info->num_val;
        return DSI_SUCCESS;
    case DSI_CALL_INFO_IP_VERSION:
        if (info->num_val != DSI_IP_VERSION_4 && info->num_val != DSI_IP_VERSION_6 &&
            info->num_val != DSI_IP_VERSION_4_6) {
            return DSI_ERROR;
        }
        h->ip_version = info->num_val;
        return DSI_SUCCESS;
    case DSI_CALL_INFO_TECH_PREF:
        h->tech_pref = info->num_val;
        return DSI_SUCCESS;
    default:
        return DSI_ERROR;
    }
}

int dsi_start_data_call(dsi_hndl_t hndl) {
    auto h = lookup(hndl);
    if (h == nullptr) return DSI_ERROR;
    wds_start_network_interface_req_msg_v01 req{};
    {
        std::lock_guard<std::mutex> hold(state().mu);
        if (h->connected) return DSI_ERROR;
        req.profile_index_valid = 1;
        req.profile_index = static_cast<uint8_t>(h->profile);
        req.ip_family_pref = static_cast<uint8_t>(h->ip_version);
        req.tech_pref = static_cast<uint8_t>(h->tech_pref);
        if (h->auth >= 0) {
            req.authentication_preference_valid = 1;
            req.authentication_preference = static_cast<uint8_t>(h->auth);
        }
        req.apn_name_valid = h->apn.empty() ? 0 : 1;
        strncpy(req.apn_name, h->apn.c_str(), QMI_WDS_APN_NAME_MAX_V01);
        req.username_valid = h->user_set ? 1 : 0;
        strncpy(req.username, h->user.c_str(), QMI_WDS_USER_NAME_MAX_V01);
        req.password_valid = h->pass_set ? 1 : 0;
        strncpy(req.password, h->pass.c_str(), QMI_WDS_PASSWORD_MAX_V01);
    }
    qmi_client_type c = client();
    if (c == nullptr) return DSI_ERROR;
    wds_start_network_interface_resp_msg_v01 resp{};
    if (qmi_client_send_msg_sync(c, QMI_WDS_START_NETWORK_INTERFACE_REQ_V01, &req, sizeof req, &resp, sizeof resp,
                                 kRequestMs) != QMI_NO_ERR) {
        return DSI_ERROR;
    }
    // "No effect": the same call is under way already.
    const bool taken = resp.resp.result == QMI_RESULT_SUCCESS_V01 ||
                       (resp.resp.error == QMI_ERR_NO_EFFECT_V01 && resp.pkt_data_handle != 0);
    if (!taken) return DSI_ERROR;
    State &s = state();
    std::lock_guard<std::mutex> hold(s.mu);
    h->call = resp.pkt_data_handle;
    // The modem may have answered the call before we learnt its number.
    auto it = s.unclaimed.find(h->call);
    if (it != s.unclaimed.end()) {
        const uint8_t status = it->second;
        s.unclaimed.erase(it);
        apply_status_locked(s, h->call, status);
    }
    return DSI_SUCCESS;
}

int dsi_stop_data_call(dsi_hndl_t hndl) {
    auto h = lookup(hndl);
    if (h == nullptr) return DSI_ERROR;
    uint32_t call;
    {
        std::lock_guard<std::mutex> hold(state().mu);
        call = h->call;
    }
    // The end of the call comes as DSI_EVT_NET_NO_NET from the modem's indication.
    wds_stop_network_interface_resp_msg_v01 resp{};
    return call_request(call, QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01, &resp) ? DSI_SUCCESS : DSI_ERROR;
}

int dsi_get_device_name(dsi_hndl_t hndl, char *buf, int len) {
    if (buf == nullptr || len <= 0) return DSI_ERROR;
    wds_get_runtime_settings_resp_msg_v01 resp{};
    if (!call_request(connected_call(hndl), QMI_WDS_GET_RUNTIME_SETTINGS_REQ_V01, &resp)) return DSI_ERROR;
    const size_t n = strnlen(resp.iface_name, sizeof resp.iface_name);
    if (n + 1 > static_cast<size_t>(len)) return DSI_ERROR;
    memcpy(buf, resp.iface_name, n);
    buf[n] = '\0';
    return DSI_SUCCESS;
}

int dsi_get_ip_addr(dsi_hndl_t hndl, dsi_addr_info_t *info_ptr, int len) {
    if (info_ptr == nullptr || len <= 0) return DSI_ERROR;
    wds_get_runtime_settings_resp_msg_v01 r{};
    if (!call_request(connected_call(hndl), QMI_WDS_GET_RUNTIME_SETTINGS_REQ_V01, &r)) return DSI_ERROR;
    memset(info_ptr, 0, sizeof *info_ptr * static_cast<size_t>(len));
    int n = 0;
    if (r.ipv4_valid && n < len) {
        dsi_addr_info_t &a = info_ptr[n++];
        put_addr(&a.iface_addr_s, AF_INET, r.ipv4_address, 4);
        put_addr(&a.gtwy_addr_s, AF_INET, r.ipv4_gateway, 4);
        put_addr(&a.dnsp_addr_s, AF_INET, r.ipv4_primary_dns, 4);
        put_addr(&a.dnss_addr_s, AF_INET, r.ipv4_secondary_dns, 4);
        uint32_t mask;
        memcpy(&mask, r.ipv4_subnet_mask, 4);
        a.iface_mask = static_cast<unsigned>(__builtin_popcount(mask));
        a.gtwy_mask = a.iface_mask;
    }
    if (r.ipv6_valid && n < len) {
        dsi_addr_info_t &a = info_ptr[n++];
        put_addr(&a.iface_addr_s, AF_INET6, r.ipv6_address, 16);
        put_addr(&a.gtwy_addr_s, AF_INET6, r.ipv6_gateway, 16);
        put_addr(&a.dnsp_addr_s, AF_INET6, r.ipv6_primary_dns, 16);
        put_addr(&a.dnss_addr_s, AF_INET6, r.ipv6_secondary_dns, 16);
        a.iface_mask = r.ipv6_prefix_length;
        a.gtwy_mask = r.ipv6_prefix_length;
    }
    return n > 0 ? DSI_SUCCESS : DSI_ERROR;
}

dsi_data_bearer_tech_t dsi_get_current_data_bearer_tech(dsi_hndl_t hndl) {
    wds_get_data_bearer_technology_resp_msg_v01 r{};
    if (!call_request(connected_call(hndl), QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_REQ_V01, &r)) {
        return DSI_DATA_BEARER_TECH_UNKNOWN;
    }
    if (r.bearer_tech >= DSI_DATA_BEARER_TECH_MAX) return DSI_DATA_BEARER_TECH_UNKNOWN;
    return static_cast<dsi_data_bearer_tech_t>(r.bearer_tech);
}
