// Data calls: eight call records over the platform's data services, their
// modem profiles over WDS, and the status machine driven by the platform's
// events.
#include "lib/qs_common_api/wwan/qs_wwan.h"

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/wds/src/qs_qmi_wds.h"
#include "platform/dsi.h"
#include "platform/qmi_services_v01.h"

#define WWAN_LOG(level, ...) qs_ol_log((level), "wwan/qs_wwan", __func__, __LINE__, __VA_ARGS__)

namespace {

constexpr unsigned kWdsTimeoutMs = 6000;
constexpr int kProfiles = 8;

struct qs_qos_info_t {
    dsi_qos_id_type flow_id;
    dsi_qos_granted_info_type granted;
};

// One per profile.  The status and the handle are read on the platform's
// event thread while callers' threads change them, hence atomics; the labels
// and QoS data are kept under the record's mutex.
struct qs_dsi_call_info_t {
    std::atomic<dsi_hndl_t> handle{nullptr};
    char tech[16];
    char family[16];
    int profile;
    std::atomic<int> call_status{E_QS_WWAN_CALL_STATUS_IDLE};
    std::mutex mutex;
    // Bumped by every connected / no-network event, under the mutex.
    uint32_t events = 0;
    std::condition_variable cond;
    qs_qos_info_t qos_info;
};

// Never destroyed: the platform's event thread may still use the records
// while the process exits.
qs_dsi_call_info_t *const g_calls = new qs_dsi_call_info_t[kProfiles];
std::atomic<uint8_t> g_initialized{0};
std::atomic<uint16_t> g_profiles_prepared{0};
// Records and modem profiles are prepared by one caller at a time: two
// threads must not both take a handle for the same record.
std::mutex &g_prepare_lock = *new std::mutex;

std::mutex &g_handler_lock = *new std::mutex;
qs_call_status_cb_t g_handler{nullptr, nullptr};

struct EventName {
    int evt;
    const char *name;
};

const EventName kEventNames[] = {
    {DSI_EVT_INVALID, "DSI_EVT_INVALID"},
    {DSI_EVT_NET_IS_CONN, "DSI_EVT_NET_IS_CONN"},
    {DSI_EVT_NET_NO_NET, "DSI_EVT_NET_NO_NET"},
    {DSI_EVT_PHYSLINK_DOWN_STATE, "DSI_EVT_PHYSLINK_DOWN_STATE"},
    {DSI_EVT_PHYSLINK_UP_STATE, "DSI_EVT_PHYSLINK_UP_STATE"},
    {DSI_EVT_NET_RECONFIGURED, "DSI_EVT_NET_RECONFIGURED"},
    {DSI_EVT_QOS_STATUS_IND, "DSI_EVT_QOS_STATUS_IND"},
    {DSI_EVT_NET_NEWADDR, "DSI_EVT_NET_NEWADDR"},
    {DSI_EVT_NET_DELADDR, "DSI_EVT_NET_DELADDR"},
    {DSI_EVT_NET_MCAST_GROUP_ACTIVATED, "DSI_EVT_NET_MCAST_GROUP_ACTIVATED"},
    {DSI_EVT_NET_MCAST_GROUP_DEACTIVATED, "DSI_EVT_NET_MCAST_GROUP_DEACTIVATED"},
    {DSI_EVT_NET_MCAST_LIST_CHANGED, "DSI_EVT_NET_MCAST_LIST_CHANGED"},
    {DSI_NET_HANDOFF, "DSI_NET_HANDOFF"},
};

const char *event_name(int evt) {
    for (const EventName &e : kEventNames) {
        if (e.evt == evt) return e.name;
    }
    return nullptr;
}

bool profile_ok(int profileId) { return profileId >= 1 && profileId <= kProfiles; }

// Profile check and initialisation check shared by the operations.
bool check_profile(const char *func, int profileId) {
    if (!profile_ok(profileId)) {
        qs_ol_log(QS_OL_LOG_ERROR, "wwan/qs_wwan", func, __LINE__, "profileId is invalid, must between 1-8.");
        return false;
    }
    return true;
}

bool check_init(const char *func) {
    if (g_initialized.load() == 0) {
        qs_ol_log(QS_OL_LOG_ERROR, "wwan/qs_wwan", func, __LINE__, "need exec QS_WWAN_Initialize previous.");
        return false;
    }
    return true;
}

#define CHECK_PROFILE_AND_INIT(p)                                 \
    do {                                                          \
        if (!check_profile(__func__, (p))) return -1;             \
        if (!check_init(__func__)) return -1;                     \
    } while (0)

qmi_client_type wds_client() {
    if (qs_qmi_wds_client_init() != 0) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi wds init failed.");
        return nullptr;
    }
    return get_qmi_wds_svc_client();
}

template <size_t N>
void copy_text(char (&dst)[N], const char *src, size_t max) {
    const size_t lim = max < N - 1 ? max : N - 1;
    const size_t n = strnlen(src, lim);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Reads the 3GPP profile.  0, or -1 after logging why.
int get_profile(int index, wds_get_profile_settings_resp_msg_v01 *resp) {
    qmi_client_type c = wds_client();
    if (c == nullptr) return -1;
    wds_get_profile_settings_req_msg_v01 req{};
    req.profile = {WDS_PROFILE_TYPE_3GPP_V01, static_cast<uint8_t>(index)};
    const int rc = qmi_client_send_msg_sync(c, QMI_WDS_GET_PROFILE_SETTINGS_REQ_V01, &req, sizeof req, resp,
                                            sizeof *resp, kWdsTimeoutMs);
    if (rc != QMI_NO_ERR) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_get_pro_info error: qmi_error is %d", rc);
        return -1;
    }
    if (resp->resp.result != QMI_RESULT_SUCCESS_V01) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_get_resp result=%d, qmi_wds_sw_resp error=%d\n", resp->resp.result,
                 resp->resp.error);
        return -1;
    }
    return 0;
}

// Writes the given settings into the 3GPP profile.  0 / -1.
int modify_profile(int index, const wds_profile_settings_type_v01 &settings) {
    qmi_client_type c = wds_client();
    if (c == nullptr) return -1;
    wds_modify_profile_settings_req_msg_v01 req{};
    req.profile = {WDS_PROFILE_TYPE_3GPP_V01, static_cast<uint8_t>(index)};
    req.settings = settings;
    wds_modify_profile_settings_resp_msg_v01 resp{};
    const int rc = qmi_client_send_msg_sync(c, QMI_WDS_MODIFY_PROFILE_SETTINGS_REQ_V01, &req, sizeof req, &resp,
                                            sizeof resp, kWdsTimeoutMs);
    if (rc != QMI_NO_ERR) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_mod_pro_info error: qmi_error is %d", rc);
        return -1;
    }
    if (resp.resp.result != QMI_RESULT_SUCCESS_V01) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_sw_resp result=%d, qmi_wds_sw_resp error=%d\n", resp.resp.result,
                 resp.resp.error);
        return -1;
    }
    return 0;
}

int delete_profile(int index) {
    qmi_client_type c = wds_client();
    if (c == nullptr) return -1;
    wds_delete_profile_req_msg_v01 req{};
    req.profile = {WDS_PROFILE_TYPE_3GPP_V01, static_cast<uint8_t>(index)};
    wds_delete_profile_resp_msg_v01 resp{};
    const int rc =
        qmi_client_send_msg_sync(c, QMI_WDS_DELETE_PROFILE_REQ_V01, &req, sizeof req, &resp, sizeof resp, kWdsTimeoutMs);
    return rc == QMI_NO_ERR && resp.resp.result == QMI_RESULT_SUCCESS_V01 ? 0 : -1;
}

int create_profile(int index) {
    qmi_client_type c = wds_client();
    if (c == nullptr) return -1;
    wds_create_profile_req_msg_v01 req{};
    req.profile_type = WDS_PROFILE_TYPE_3GPP_V01;
    req.settings.pdp_type_valid = 1;
    req.settings.pdp_type = WDS_PDP_TYPE_PDP_IPV4_V01;
    req.settings.pdp_context_number_valid = 1;
    req.settings.pdp_context_number = static_cast<uint8_t>(index);
    wds_create_profile_resp_msg_v01 resp{};
    const int rc =
        qmi_client_send_msg_sync(c, QMI_WDS_CREATE_PROFILE_REQ_V01, &req, sizeof req, &resp, sizeof resp, kWdsTimeoutMs);
    if (rc != QMI_NO_ERR) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_mod_pro_info error: qmi_error is %d", rc);
        return -1;
    }
    if (resp.resp.result != QMI_RESULT_SUCCESS_V01) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_sw_resp result=%d, qmi_wds_sw_resp error=%d\n", resp.resp.result,
                 resp.resp.error);
        return -1;
    }
    if (resp.extended_error_code_valid && resp.extended_error_code != 0) {
        WWAN_LOG(QS_OL_LOG_ERROR, "qmi_wds_mod_pro_info extended_error_code: extended_error_code is %d",
                 resp.extended_error_code);
        return -1;
    }
    return 0;
}

// Makes sure profiles 1..8 exist with their own context numbers.  Under
// g_prepare_lock.
int prepare_profiles() {
    if (g_profiles_prepared.load() != 0) return 0;
    for (int index = 1; index <= kProfiles; ++index) {
        wds_get_profile_settings_resp_msg_v01 resp{};
        if (get_profile(index, &resp) == 0) {
            if (resp.settings.pdp_context_number == index) continue;
            // Someone renumbered the context: the profile is not ours any more.
            if (delete_profile(index) != 0) {
                WWAN_LOG(QS_OL_LOG_ERROR, "delete profile:%d failed.", index);
                return -1;
            }
        }
        if (create_profile(index) != 0) {
            WWAN_LOG(QS_OL_LOG_ERROR, "create profile:%d failed.", index);
            return -1;
        }
    }
    g_profiles_prepared.store(1);
    return 0;
}

uint32_t events_seen(qs_dsi_call_info_t &rec) {
    std::lock_guard<std::mutex> lk(rec.mutex);
    return rec.events;
}

// The platform may report the call's outcome before its start (or stop)
// returns: that event wins over the status the operation would set.
void set_status_unless_evented(qs_dsi_call_info_t &rec, uint32_t seen, E_QS_WWAN_CALL_STATUS_T status) {
    std::lock_guard<std::mutex> lk(rec.mutex);
    if (rec.events == seen) rec.call_status.store(status);
}

void set_param_num(dsi_hndl_t h, dsi_call_param_identifier_t id, int value) {
    dsi_call_param_value_t v{nullptr, value};
    dsi_set_data_call_param(h, id, &v);
}

void event_cb(dsi_hndl_t hndl, void *user_data, dsi_net_evt_t evt, dsi_evt_payload_t *payload_ptr);

// Gives the record its data-service handle on first use.  0 / -1.
int prepare_record(int profileId) {
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    if (rec.handle.load() != nullptr) return 0;
    std::lock_guard<std::mutex> hold(g_prepare_lock);
    if (rec.handle.load() != nullptr) return 0;
    if (prepare_profiles() != 0) return -1;
    dsi_hndl_t h = dsi_get_data_srvc_hndl(event_cb, &rec);
    if (h == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "get data srvc hndl failed.");
        return -1;
    }
    rec.call_status.store(E_QS_WWAN_CALL_STATUS_IDLE);
    {
        std::lock_guard<std::mutex> lk(rec.mutex);
        copy_text(rec.tech, "AUTOMATIC", sizeof rec.tech);
        copy_text(rec.family, "IP", sizeof rec.family);
        rec.profile = profileId;
    }
    set_param_num(h, DSI_CALL_INFO_TECH_PREF, 0);
    set_param_num(h, DSI_CALL_INFO_IP_VERSION, DSI_IP_VERSION_4);
    set_param_num(h, DSI_CALL_INFO_UMTS_PROFILE_IDX, profileId);
    // Published last: the event thread matches records by their handle.
    rec.handle.store(h);
    return 0;
}

bool prepare_or_log(const char *func, int profileId) {
    if (prepare_record(profileId) == 0) return true;
    qs_ol_log(QS_OL_LOG_ERROR, "wwan/qs_wwan", func, __LINE__, "dsi_srvc_hndl_init failed.");
    return false;
}

void event_cb(dsi_hndl_t hndl, void *user_data, dsi_net_evt_t evt, dsi_evt_payload_t *payload_ptr) {
    auto *rec = static_cast<qs_dsi_call_info_t *>(user_data);
    const int e = static_cast<int>(evt);
    if (e < 1 || e > 19 || rec == nullptr) return;

    char suffix[64] = "";
    if (e == DSI_EVT_NET_IS_CONN || e == DSI_EVT_NET_NO_NET) {
        std::lock_guard<std::mutex> lk(rec->mutex);
        rec->call_status.store(e == DSI_EVT_NET_IS_CONN ? E_QS_WWAN_CALL_STATUS_CONNECTED : E_QS_WWAN_CALL_STATUS_IDLE);
        ++rec->events;
        rec->cond.notify_all();
    } else if (e == DSI_EVT_QOS_STATUS_IND && payload_ptr != nullptr) {
        const dsi_qos_info_type &q = payload_ptr->qos_info;
        std::lock_guard<std::mutex> lk(rec->mutex);
        switch (q.status_evt) {
        case DSI_QOS_ACTIVATED_EV:
            rec->qos_info.flow_id = q.flow_id;
            snprintf(suffix, sizeof suffix, " ACTIVATED - QOS Flow ID [0x%lx]",
                     static_cast<unsigned long>(rec->qos_info.flow_id));
            break;
        case DSI_QOS_SUSPENDED_EV:
            snprintf(suffix, sizeof suffix, " SUSPENDED - QOS Flow ID [0x%lx]",
                     static_cast<unsigned long>(rec->qos_info.flow_id));
            break;
        case DSI_QOS_GONE_EV:
            rec->qos_info.flow_id = 0;
            snprintf(suffix, sizeof suffix, " RELEASED");
            break;
        case DSI_QOS_MODIFY_ACCEPTED_EV:
        case DSI_QOS_MODIFY_REJECTED_EV:
        case DSI_QOS_INFO_CODE_UPDATED_EV:
        case DSI_QOS_FLOW_ENABLED_EV:
        case DSI_QOS_FLOW_DISABLED_EV:
            break;
        default:
            WWAN_LOG(QS_OL_LOG_DEBUG, "Received unsupported event [%d]", static_cast<int>(q.status_evt));
            return;
        }
    }
    if (e == DSI_EVT_NET_PARTIAL_CONN || e == DSI_EVT_NET_NEWMTU || e >= 14) return;

    const char *name = event_name(e);
    if (name != nullptr) {
        printf("<<< callback received event [%s]%s\r\n", name, suffix);
        fflush(stdout);
    }

    if (e != DSI_EVT_NET_IS_CONN && e != DSI_EVT_NET_NO_NET) return;
    qs_call_status_cb_t handler;
    {
        std::lock_guard<std::mutex> lk(g_handler_lock);
        handler = g_handler;
    }
    if (handler.callback == nullptr) return;
    for (int i = 0; i < kProfiles; ++i) {
        if (g_calls[i].handle.load() == hndl) {
            handler.callback(i + 1, static_cast<E_QS_WWAN_CALL_STATUS_T>(g_calls[i].call_status.load()),
                             handler.contextPtr);
            return;
        }
    }
    WWAN_LOG(QS_OL_LOG_WARNING, "profileIdx not match.");
}

}  // namespace

int QS_WWAN_Initialize(void) {
    std::lock_guard<std::mutex> hold(g_prepare_lock);
    if (g_initialized.load() != 0) {
        WWAN_LOG(QS_OL_LOG_ERROR, "QS_WWAN_Initialize has been initialized!");
        return -1;
    }
    // Records are zeroed here; their mutexes and condition variables are
    // ready from construction.
    for (int i = 0; i < kProfiles; ++i) {
        qs_dsi_call_info_t &rec = g_calls[i];
        std::lock_guard<std::mutex> lk(rec.mutex);
        rec.handle.store(nullptr);
        memset(rec.tech, 0, sizeof rec.tech);
        memset(rec.family, 0, sizeof rec.family);
        rec.profile = 0;
        rec.call_status.store(E_QS_WWAN_CALL_STATUS_IDLE);
        rec.events = 0;
        memset(&rec.qos_info, 0, sizeof rec.qos_info);
    }
    const int rc = dsi_init(DSI_MODE_GENERAL);
    if (rc != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_init failed, result:%d.", rc);
        return -1;
    }
    g_initialized.store(1);
    return 0;
}

int QS_WWAN_AddConnStateEventHandler(qs_call_status_cb_fn callback, void *contextPtr) {
    std::lock_guard<std::mutex> hold(g_handler_lock);
    g_handler = {callback, contextPtr};
    return 0;
}

int QS_WWAN_GetAPN(int profileId, char *apn, int apnLen, char *userName, int userLen, char *password, int pwdLen) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (apn == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "parameter is invalid, apn is null.");
        return -1;
    }
    if (userName == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "parameter is invalid, userName is null.");
        return -1;
    }
    if (password == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "parameter is invalid, password is null.");
        return -1;
    }
    if (!prepare_or_log(__func__, profileId)) return -1;
    wds_get_profile_settings_resp_msg_v01 resp{};
    if (get_profile(profileId, &resp) != 0) return -1;
    // Cut to each buffer; a value that fills it is not terminated.
    auto put = [](char *dst, int len, const char *src, size_t max) {
        if (len <= 0) return;
        const size_t n = strnlen(src, max);
        const size_t room = static_cast<size_t>(len);
        memcpy(dst, src, n < room ? n : room);
        if (n < room) dst[n] = '\0';
    };
    put(apn, apnLen, resp.settings.apn_name, sizeof resp.settings.apn_name);
    put(userName, userLen, resp.settings.username, sizeof resp.settings.username);
    put(password, pwdLen, resp.settings.password, sizeof resp.settings.password);
    return 0;
}

int QS_WWAN_SetAPN(int profileId, const char *apn, const char *userName, const char *password) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (apn == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "parameter is invalid, apn is null.");
        return -1;
    }
    if (userName != nullptr && password == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "parameter is invalid, password is null.");
        return -1;
    }
    if (!prepare_or_log(__func__, profileId)) return -1;
    const dsi_hndl_t h = g_calls[profileId - 1].handle.load();

    auto set_text = [&](dsi_call_param_identifier_t id, const char *text) {
        dsi_call_param_value_t v{const_cast<char *>(text), static_cast<int>(strlen(text))};
        return dsi_set_data_call_param(h, id, &v);
    };
    if (set_text(DSI_CALL_INFO_APN_NAME, apn) != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "set apn failed.");
        return -1;
    }
    if (userName != nullptr && set_text(DSI_CALL_INFO_USERNAME, userName) != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "set userName failed.");
        return -1;
    }
    if (password != nullptr && set_text(DSI_CALL_INFO_PASSWORD, password) != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "set password failed.");
        return -1;
    }

    wds_profile_settings_type_v01 s{};
    s.apn_name_valid = 1;
    copy_text(s.apn_name, apn, QMI_WDS_APN_NAME_MAX_V01);
    if (userName != nullptr) {
        s.username_valid = 1;
        copy_text(s.username, userName, QMI_WDS_USER_NAME_MAX_V01);
        s.password_valid = 1;
        copy_text(s.password, password, QMI_WDS_PASSWORD_MAX_V01);
    }
    return modify_profile(profileId, s);
}

int QS_WWAN_SetIPVersion(int profileId, E_QS_WWAN_IP_VERSION_T ip_version) {
    CHECK_PROFILE_AND_INIT(profileId);
    const char *label;
    uint8_t pdp;
    switch (ip_version) {
    case E_QS_IP_VERSION_4:
        label = "IP";
        pdp = WDS_PDP_TYPE_PDP_IPV4_V01;
        break;
    case E_QS_VERSION_6:
        label = "IPV6";
        pdp = WDS_PDP_TYPE_PDP_IPV6_V01;
        break;
    case E_QS_IP_VERSION_4_6:
        label = "IPV4V6";
        pdp = WDS_PDP_TYPE_PDP_IPV4V6_V01;
        break;
    default:
        WWAN_LOG(QS_OL_LOG_ERROR, "ip_version:%d is invalid.", static_cast<int>(ip_version));
        return -1;
    }
    if (!prepare_or_log(__func__, profileId)) return -1;
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    {
        std::lock_guard<std::mutex> lk(rec.mutex);
        copy_text(rec.family, label, sizeof rec.family);
    }
    dsi_call_param_value_t v{nullptr, static_cast<int>(ip_version)};
    const int rc = dsi_set_data_call_param(rec.handle.load(), DSI_CALL_INFO_IP_VERSION, &v);
    if (rc != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_set_data_call_param failed, ip_version:%d result:%d.",
                 static_cast<int>(ip_version), rc);
        return -1;
    }
    wds_profile_settings_type_v01 s{};
    s.pdp_type_valid = 1;
    s.pdp_type = pdp;
    return modify_profile(profileId, s);
}

int QS_WWAN_SetAuthPref(int profileId, E_QS_WWAN_AUTH_PREF_T auth) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (static_cast<int>(auth) < 0 || static_cast<int>(auth) > 3) {
        WWAN_LOG(QS_OL_LOG_ERROR, "auth :%d is invalid.", static_cast<int>(auth));
        return -1;
    }
    if (!prepare_or_log(__func__, profileId)) return -1;
    dsi_call_param_value_t v{nullptr, static_cast<int>(auth)};
    const int rc = dsi_set_data_call_param(g_calls[profileId - 1].handle.load(), DSI_CALL_INFO_AUTH_PREF, &v);
    if (rc != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_set_data_call_param failed, auth:%d result:%d.", static_cast<int>(auth), rc);
        return -1;
    }
    return 0;
}

int QS_WWAN_StartDataCall(int profileId) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (!prepare_or_log(__func__, profileId)) return -1;
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    if (rec.call_status.load() == E_QS_WWAN_CALL_STATUS_CONNECTED) {
        WWAN_LOG(QS_OL_LOG_ERROR, "profileId:%d has been connected.", profileId);
        return -1;
    }
    const uint32_t seen = events_seen(rec);
    const int rc = dsi_start_data_call(rec.handle.load());
    if (rc != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_start_data_call failed.result:%d", rc);
        return -1;
    }
    set_status_unless_evented(rec, seen, E_QS_WWAN_CALL_STATUS_CONNECTING);
    return 0;
}

int QS_WWAN_StopDataCall(int profileId) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (!prepare_or_log(__func__, profileId)) return -1;
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    const uint32_t seen = events_seen(rec);
    if (dsi_stop_data_call(rec.handle.load()) != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_stop_data_call failed.");
        return -1;
    }
    set_status_unless_evented(rec, seen, E_QS_WWAN_CALL_STATUS_DISCONNECTING);
    return 0;
}

int QS_WWAN_GetDataState(int profileId, E_QS_WWAN_CALL_STATUS_T *status) {
    if (!check_profile(__func__, profileId)) return -1;
    if (status == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "status is null.");
        return -1;
    }
    *status = static_cast<E_QS_WWAN_CALL_STATUS_T>(g_calls[profileId - 1].call_status.load());
    return 0;
}

int QS_WWAN_GetDeviceName(int profileId, char *buf, int len) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (buf == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "buf is null.");
        return -1;
    }
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    if (rec.call_status.load() != E_QS_WWAN_CALL_STATUS_CONNECTED) {
        WWAN_LOG(QS_OL_LOG_ERROR, "get deviceNamefailed, APN:%d not connected.", profileId);
        return -1;
    }
    return dsi_get_device_name(rec.handle.load(), buf, len);
}

int QS_WWAN_GetIPAddr(int profileId, QS_wwan_ip_addr_t *info_ptr) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (info_ptr == nullptr) {
        WWAN_LOG(QS_OL_LOG_ERROR, "info_ptr is null.");
        return -1;
    }
    info_ptr->v4_valid = 0;
    info_ptr->v6_valid = 0;
    qs_dsi_call_info_t &rec = g_calls[profileId - 1];
    if (rec.call_status.load() != E_QS_WWAN_CALL_STATUS_CONNECTED) {
        WWAN_LOG(QS_OL_LOG_ERROR, "get ip addr failed, APN:%d not connected.", profileId);
        return -1;
    }
    bool dual;
    {
        std::lock_guard<std::mutex> lk(rec.mutex);
        dual = strcmp(rec.family, "IPV4V6") == 0;
    }
    dsi_addr_info_t addrs[2];
    memset(addrs, 0, sizeof addrs);
    const int count = dual ? 2 : 1;
    if (dsi_get_ip_addr(rec.handle.load(), addrs, count) != DSI_SUCCESS) {
        WWAN_LOG(QS_OL_LOG_ERROR, "dsi_get_ip_addr error.");
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        const dsi_addr_info_t &a = addrs[i];
        QS_wwan_ip_info_t *dst = nullptr;
        if (a.iface_addr_s.addr.ss_family == AF_INET) {
            dst = &info_ptr->v4;
            info_ptr->v4_valid = 1;
        } else if (a.iface_addr_s.addr.ss_family == AF_INET6) {
            dst = &info_ptr->v6;
            info_ptr->v6_valid = 1;
        }
        if (dst == nullptr) continue;
        memcpy(&dst->iface_addr_s, &a.iface_addr_s.addr, sizeof dst->iface_addr_s);
        memcpy(&dst->gtwy_addr_s, &a.gtwy_addr_s.addr, sizeof dst->gtwy_addr_s);
        memcpy(&dst->dnsp_addr_s, &a.dnsp_addr_s.addr, sizeof dst->dnsp_addr_s);
        memcpy(&dst->dnss_addr_s, &a.dnss_addr_s.addr, sizeof dst->dnss_addr_s);
    }
    return 0;
}

int QS_WWAN_GetCurrentData_BearerTech(int profileId) {
    CHECK_PROFILE_AND_INIT(profileId);
    if (!prepare_or_log(__func__, profileId)) return -1;
    return static_cast<int>(dsi_get_current_data_bearer_tech(g_calls[profileId - 1].handle.load()));
}
