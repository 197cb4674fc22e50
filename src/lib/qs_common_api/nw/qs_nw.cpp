// Network queries over NAS and "AT+PSRAT", and registration changes passed on
// to one handler.
#include "lib/qs_common_api/nw/qs_nw.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "lib/qs_common_api/dev/qs_at.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"
#include "platform/qmi_services_v01.h"

#define NW_LOG(level, ...) qs_ol_log((level), "nw/qs_nw", __func__, __LINE__, __VA_ARGS__)

namespace {

constexpr unsigned kNasTimeoutMs = 6000;

// Index = cell_service_enum_type; names as the modem writes them.
const char kCellServiceNames[CELL_SERVICE_MAX][16] = {
    "NONE", "GSM",     "GPRS",    "EDGE", "WCDMA",     "HSDPA", "HSUPA", "HSPA+",
    "TDSCDMA", "FDD LTE", "TDD LTE", "FDD LTE", "CDMA", "CDMA&EVDO", "EVDO", "EHRPD",
};

std::atomic<qs_nw_reg_state_handler_t> g_reg_handler{nullptr};
std::atomic<int> g_last_reg_state{-1};

qmi_client_type nas() {
    if (qs_qmi_nas_client_init() != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi nas init failed.");
        return nullptr;
    }
    return get_qmi_nas_svc_client();
}

// System mode and roaming of the first technology in full service.
int get_sys_mode(int *mode, int *roaming) {
    qmi_client_type c = nas();
    if (c == nullptr) return -1;
    nas_get_sys_info_resp_msg_v01 r{};
    const int rc = qmi_client_send_msg_sync(c, QMI_NAS_GET_SYS_INFO_REQ_MSG_V01, nullptr, 0, &r, sizeof r, kNasTimeoutMs);
    if (rc != QMI_NO_ERR) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas_get_netstatus error: qmi_error is %d\n", rc);
        return -1;
    }
    if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas_netstatus_resp result=%d, qmi_nas_netstatus_resp error=%d\n", r.resp.result,
               r.resp.error);
        return -1;
    }
    const struct {
        const nas_sys_srv_info_type_v01 *info;
        int mode;
    } order[] = {
        {&r.wcdma, SYS_SYS_MODE_WCDMA}, {&r.gsm, SYS_SYS_MODE_GSM}, {&r.tdscdma, SYS_SYS_MODE_TDS},
        {&r.lte, SYS_SYS_MODE_LTE},     {&r.cdma, SYS_SYS_MODE_CDMA}, {&r.hdr, SYS_SYS_MODE_HDR},
    };
    *mode = SYS_SYS_MODE_NONE;
    *roaming = 0;
    for (const auto &o : order) {
        if (o.info->srv_status_valid && o.info->srv_status == NAS_SYS_SRV_STATUS_SRV_V01) {
            *mode = o.mode;
            *roaming = o.info->roam_status_valid ? o.info->roam_status : 0;
            break;
        }
    }
    return 0;
}

// Cell service from "AT+PSRAT".  The longest table name found in the answer
// wins (ties: table order), so "CDMA&EVDO" is not taken for "CDMA".
int get_cell_service(int *service) {
    char reply[kQsAtReplySize] = {};
    if (qs_at_exchange("AT+PSRAT", reply, 1) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    *service = CELL_SERVICE_NONE;
    if (strstr(reply, "ERROR") != nullptr) return 0;
    size_t best = 0;
    for (int i = 0; i < CELL_SERVICE_MAX; ++i) {
        const size_t n = strlen(kCellServiceNames[i]);
        if (n > best && strstr(reply, kCellServiceNames[i]) != nullptr) {
            best = n;
            *service = i;
        }
    }
    return 0;
}

int get_serving_system(nas_get_serving_system_resp_msg_v01 *r) {
    qmi_client_type c = nas();
    if (c == nullptr) return -1;
    const int rc = qmi_client_send_msg_sync(c, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nullptr, 0, r, sizeof *r,
                                            kNasTimeoutMs);
    if (rc != QMI_NO_ERR) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas SERVING_SYSTEM error: qmi_error is %d\n", rc);
        return -1;
    }
    if (r->resp.result != QMI_RESULT_SUCCESS_V01) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas SERVING_SYSTEM resp result=%d, qmi_nas_netstatus_resp error=%d\n",
               r->resp.result, r->resp.error);
        return -1;
    }
    return 0;
}

E_QS_WWAN_NET_REG_STATE_T reg_state_of(uint8_t nas_state) {
    if (nas_state >= NAS_REGISTERED_V01 && nas_state <= NAS_REGISTRATION_UNKNOWN_V01) {
        return static_cast<E_QS_WWAN_NET_REG_STATE_T>(nas_state);
    }
    return E_QS_WWAN_REG_NOT_REGISTERED;
}

int get_signal(int mode, int *rssi, int *ber) {
    qmi_client_type c = nas();
    if (c == nullptr) return -1;
    nas_get_signal_strength_req_msg_v01 req{1, QMI_NAS_REQUEST_SIG_INFO_RSRP_MASK_V01};
    nas_get_signal_strength_resp_msg_v01 r{};
    const int rc = qmi_client_send_msg_sync(c, QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01, &req, sizeof req, &r,
                                            sizeof r, kNasTimeoutMs);
    if (rc != QMI_NO_ERR) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas GET_SIGNAL error: qmi_error is %d\n", rc);
        return -1;
    }
    if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas GET_SIGNAL resp result=%d, qmi_nas_netstatus_resp error=%d\n", r.resp.result,
               r.resp.error);
        return -1;
    }
    *rssi = mode == SYS_SYS_MODE_LTE && r.rsrp_valid ? r.rsrp : r.sig_strength;
    *ber = r.error_rate_valid ? r.error_rate : 0;
    return 0;
}

E_QS_NW_RADIO_ACCESS_TYPE_T rat_of(int service) {
    switch (service) {
    case CELL_SERVICE_GSM:
    case CELL_SERVICE_CDMA:
        return E_QS_NW_RAT_GSM;
    case CELL_SERVICE_GPRS:
    case CELL_SERVICE_EDGE:
        return E_QS_NW_RAT_GSMW_EGPRS;
    case CELL_SERVICE_WCDMA:
    case CELL_SERVICE_TDSCDMA:
    case CELL_SERVICE_CDMA_EVDO:
    case CELL_SERVICE_EVDO:
    case CELL_SERVICE_EHRPD:
        return E_QS_NW_RAT_UTRAN;
    case CELL_SERVICE_HSDPA:
        return E_QS_NW_RAT_UTRANW_HSDPA;
    case CELL_SERVICE_HSUPA:
        return E_QS_NW_RAT_UTRANW_HSUPA;
    case CELL_SERVICE_HSPA_PLUS:
        return E_QS_NW_RAT_UTRANW_HSDPA_AND_HSUPA;
    case CELL_SERVICE_FDD_LTE:
    case CELL_SERVICE_TDD_LTE:
    case CELL_SERVICE_FDD_LTE_2:
        return E_QS_NW_RAT_E_UTRAN;
    default:
        return E_QS_NW_RAT_NO_SVC;
    }
}

// 3GPP TS 24.008 PLMN bytes -> MCC (3 digits) and MNC (2 or 3 digits).
void plmn_text(const uint8_t plmn[3], qs_cellinfo_s_type *out) {
    const char *hex = "0123456789ABCDEF";
    char text[7];
    size_t n = 0;
    text[n++] = hex[plmn[0] & 0x0F];
    text[n++] = hex[plmn[0] >> 4];
    text[n++] = hex[plmn[1] & 0x0F];
    text[n++] = hex[plmn[2] & 0x0F];
    text[n++] = hex[plmn[2] >> 4];
    if ((plmn[1] >> 4) != 0x0F) text[n++] = hex[plmn[1] >> 4];
    text[n] = '\0';
    memcpy(out->mcc, text, 3);
    out->mcc[3] = '\0';
    const size_t m = n - 3;
    memcpy(out->mnc, text + 3, m);
    out->mnc[m] = '\0';
}

int get_cell_location(nas_get_cell_location_info_resp_msg_v01 *r) {
    qmi_client_type c = nas();
    if (c == nullptr) return -1;
    const int rc = qmi_client_send_msg_sync(c, QMI_NAS_GET_CELL_LOCATION_INFO_REQ_MSG_V01, nullptr, 0, r, sizeof *r,
                                            kNasTimeoutMs);
    if (rc != QMI_NO_ERR) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas_get_cellinfo error: qmi_error is %d\n", rc);
        return -1;
    }
    if (r->resp.result != QMI_RESULT_SUCCESS_V01) {
        NW_LOG(QS_OL_LOG_ERROR, "qmi_nas_get_cellinfo result=%d, qmi_nas_netstatus_resp error=%d\n", r->resp.result,
               r->resp.error);
        return -1;
    }
    return 0;
}

// Serving-system indications, on the NAS client's thread: only a change of
// the registration state reaches the handler.
void on_serving_system(const nas_serving_system_type_v01 *ss) {
    if (ss == nullptr) return;
    const int state = ss->registration_state;
    if (g_last_reg_state.exchange(state) == state) return;
    const qs_nw_reg_state_handler_t handler = g_reg_handler.load();
    if (handler != nullptr) handler(static_cast<E_QS_WWAN_NET_REG_STATE_T>(state));
}

}  // namespace

int QS_NW_GetRegState(E_QS_NW_RADIO_ACCESS_TYPE_T *rat, E_QS_WWAN_NET_REG_STATE_T *state, int *rssi, int *ber) {
    if (rat == nullptr || state == nullptr || rssi == nullptr || ber == nullptr) {
        NW_LOG(QS_OL_LOG_ERROR, "param error.");
        return -1;
    }
    int mode = SYS_SYS_MODE_NONE;
    int sys_roaming = 0;
    if (get_sys_mode(&mode, &sys_roaming) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "get sys_mode error.");
        return -1;
    }
    int service = CELL_SERVICE_NONE;
    if (get_cell_service(&service) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "get cell_service error.");
        return -1;
    }
    nas_get_serving_system_resp_msg_v01 ss{};
    if (get_serving_system(&ss) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "get reg_state error.");
        return -1;
    }
    int sig = 0;
    int err = 0;
    if (get_signal(mode, &sig, &err) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "get signal_strength error.");
        return -1;
    }
    E_QS_WWAN_NET_REG_STATE_T reg = reg_state_of(ss.serving_system.registration_state);
    if (ss.serving_system.extra.roaming_indicator_valid && ss.serving_system.extra.roaming_indicator == NAS_ROAMING_IND_ON_V01) {
        reg = E_QS_WWAN_REG_ROAMING;
    }
    *rat = rat_of(service);
    *state = reg;
    *rssi = sig;
    *ber = err;
    return 0;
}

int QS_NW_GetNetworkNameMccMnc(char *name, int nameLen, char *mcc, int mccLen, char *mnc, int mncLen) {
    if (name == nullptr || mcc == nullptr || mnc == nullptr || nameLen <= 0 || mccLen <= 0 || mncLen <= 0) {
        NW_LOG(QS_OL_LOG_ERROR, "param error.");
        return -1;
    }
    nas_get_serving_system_resp_msg_v01 ss{};
    if (get_serving_system(&ss) != 0) return -1;
    if (!ss.serving_system.extra.current_plmn_valid) {
        NW_LOG(QS_OL_LOG_ERROR, "no current plmn.");
        return -1;
    }
    const nas_plmn_type_v01 &p = ss.serving_system.extra.current_plmn;
    const bool three = ss.serving_system.extra.mnc_includes_pcs_digit_valid && ss.serving_system.extra.mnc_includes_pcs_digit;
    snprintf(mcc, static_cast<size_t>(mccLen), "%d", p.mobile_country_code);
    snprintf(mnc, static_cast<size_t>(mncLen), three ? "%03d" : "%02d", p.mobile_network_code);
    snprintf(name, static_cast<size_t>(nameLen), "%.*s", static_cast<int>(sizeof p.network_description),
             p.network_description);
    return 0;
}

int QS_NW_GetCurrCellInfo(qs_cellinfo_s_type *cell_info) {
    if (cell_info == nullptr) {
        NW_LOG(QS_OL_LOG_ERROR, "param error, cell_info is null.");
        return -1;
    }
    nas_get_cell_location_info_resp_msg_v01 r{};
    if (get_cell_location(&r) != 0) return -1;
    if (!r.lte_intra_valid) return 0;  // not on LTE: the caller keeps what it had
    qs_cellinfo_s_type out = *cell_info;
    plmn_text(r.lte_intra.plmn, &out);
    out.lac_id = r.lte_intra.tac;
    out.cell_id = r.lte_intra.serving_cell_id;
    int rsrp = 0;
    int ber = 0;
    if (get_signal(SYS_SYS_MODE_LTE, &rsrp, &ber) == 0) out.csq_rssi = rsrp;
    *cell_info = out;
    return 0;
}

int QS_NW_GetNgbrCellInfo(qs_cellinfo_s_type *cells, int *count) {
    if (cells == nullptr || count == nullptr || *count < 0) {
        NW_LOG(QS_OL_LOG_ERROR, "param error.");
        return -1;
    }
    nas_get_cell_location_info_resp_msg_v01 r{};
    if (get_cell_location(&r) != 0) return -1;
    const int room = *count;
    *count = 0;
    if (!r.lte_intra_valid) return 0;
    const int listed = r.lte_intra.cells_len < NAS_LTE_NGBR_CELLS_MAX_V01 ? r.lte_intra.cells_len
                                                                          : NAS_LTE_NGBR_CELLS_MAX_V01;
    for (int i = 0; i < listed && *count < room; ++i) {
        qs_cellinfo_s_type &c = cells[(*count)++];
        memset(&c, 0, sizeof c);
        plmn_text(r.lte_intra.plmn, &c);
        c.lac_id = r.lte_intra.tac;
        c.cell_id = r.lte_intra.cells[i].pci;
        c.csq_rssi = r.lte_intra.cells[i].rsrp;
    }
    return 0;
}

int QS_NW_AddRegStateEventHandler(qs_nw_reg_state_handler_t handler) {
    nas_get_serving_system_resp_msg_v01 ss{};
    if (get_serving_system(&ss) != 0) {
        NW_LOG(QS_OL_LOG_ERROR, "get reg_state error.");
        return -1;
    }
    g_reg_handler.store(handler);
    qs_qmi_nas_set_serving_system_handler(on_serving_system);
    return 0;
}
