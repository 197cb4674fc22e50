// SIM card: ICCID and IMSI from their elementary files, card and PIN state,
// PIN requests, own number.
#include "lib/qs_common_api/sim/qs_sim.h"

#include <cstring>

#include "lib/qs_common_api/dev/qs_at.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/uim/src/qs_qmi_uim.h"
#include "platform/qmi_services_v01.h"

#define SIM_LOG(level, ...) qs_ol_log((level), "sim/qs_sim", __func__, __LINE__, __VA_ARGS__)

namespace {

constexpr unsigned kUimTimeoutMs = 6000;
const char kHex[] = "0123456789ABCDEF";

qmi_client_type uim() {
    if (qs_qmi_uim_client_init() != 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi uim init failed.");
        return nullptr;
    }
    return get_qmi_uim_svc_client();
}

int read_ef(uim_session_type_enum_v01 session, uint16_t file_id, const uint8_t *path, uint8_t path_len,
            uim_read_transparent_resp_msg_v01 *resp, int *qmi_rc) {
    qmi_client_type c = uim();
    if (c == nullptr) return -1;
    uim_read_transparent_req_msg_v01 req{};
    req.session_information.session_type = static_cast<uint8_t>(session);
    req.file_id.file_id = file_id;
    req.file_id.path_len = path_len;
    memcpy(req.file_id.path, path, path_len);
    *qmi_rc = qmi_client_send_msg_sync(c, QMI_UIM_READ_TRANSPARENT_REQ_V01, &req, sizeof req, resp, sizeof *resp,
                                       kUimTimeoutMs);
    return *qmi_rc == QMI_NO_ERR ? 0 : -1;
}

// Content bytes the answer really carries.
size_t content_len(const uim_read_transparent_resp_msg_v01 &r) {
    return r.content_len < sizeof r.content ? r.content_len : sizeof r.content;
}

int card_status(uim_get_card_status_resp_msg_v01 *r) {
    qmi_client_type c = uim();
    if (c == nullptr) return -1;
    const int rc =
        qmi_client_send_msg_sync(c, QMI_UIM_GET_CARD_STATUS_REQ_V01, nullptr, 0, r, sizeof *r, kUimTimeoutMs);
    if (rc != QMI_NO_ERR) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_card_status error: qmi_error is %d", rc);
        return -1;
    }
    if (r->resp.result != QMI_RESULT_SUCCESS_V01 || !r->card_status_valid) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_card_status_resp result=%d, error=%d", r->resp.result, r->resp.error);
        return -1;
    }
    return 0;
}

void session_primary(uim_session_information_type_v01 *s) {
    memset(s, 0, sizeof *s);
    s->session_type = UIM_SESSION_TYPE_PRIMARY_GW_V01;
}

// Copies a PIN into its request field; false when absent or too long.
bool put_pin(const char *pin, uint8_t *len, char (&field)[QMI_UIM_PIN_MAX_V01]) {
    if (pin == nullptr) return false;
    const size_t n = strnlen(pin, QMI_UIM_PIN_MAX_V01 + 1);
    if (n == 0 || n > QMI_UIM_PIN_MAX_V01) return false;
    memcpy(field, pin, n);
    *len = static_cast<uint8_t>(n);
    return true;
}

template <class Req>
int pin_request(const char *func, unsigned int msg_id, const Req &req) {
    qmi_client_type c = uim();
    if (c == nullptr) return -1;
    uim_pin_resp_msg_v01 resp{};
    const int rc = qmi_client_send_msg_sync(c, msg_id, const_cast<Req *>(&req), sizeof req, &resp, sizeof resp,
                                            kUimTimeoutMs);
    if (rc != QMI_NO_ERR) {
        qs_ol_log(QS_OL_LOG_ERROR, "sim/qs_sim", func, __LINE__, "qmi_uim_pin error: qmi_error is %d", rc);
        return -1;
    }
    if (resp.resp.result != QMI_RESULT_SUCCESS_V01) {
        qs_ol_log(QS_OL_LOG_ERROR, "sim/qs_sim", func, __LINE__, "qmi_uim_pin_resp result=%d, error=%d, left=%d/%d",
                  resp.resp.result, resp.resp.error, resp.retries_left_valid ? resp.verify_left : -1,
                  resp.retries_left_valid ? resp.unblock_left : -1);
        return -1;
    }
    return 0;
}

int pin_param_error(const char *func) {
    qs_ol_log(QS_OL_LOG_ERROR, "sim/qs_sim", func, __LINE__, "parameter error. pin is invalid.");
    return -1;
}

}  // namespace

int QS_SIM_GetICCID(char *iccid, int len) {
    if (iccid == nullptr) {
        SIM_LOG(QS_OL_LOG_ERROR, "parameter error. iccid is null.");
        return -1;
    }
    if (len <= 0) return -1;
    iccid[0] = '\0';
    const uint8_t path[] = {0x3F, 0x00};
    uim_read_transparent_resp_msg_v01 r{};
    int rc = QMI_NO_ERR;
    if (read_ef(UIM_SESSION_TYPE_CARD_ON_SLOT_1_V01, 0x2FE2, path, sizeof path, &r, &rc) != 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_iccid error: qmi_error is %d", rc);
        return -1;
    }
    if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_iccid_resp result=%d, qmi_uim_iccid_resp error=%d\n", r.resp.result,
                r.resp.error);
        return -1;
    }
    if (!r.read_result_valid) {
        SIM_LOG(QS_OL_LOG_ERROR, "ICCID read failure read_result_valid = %d\n", r.read_result_valid);
        return -1;
    }
    // Low nibble first; an F nibble is the filler of a 19-digit ICCID, a 0xFF
    // byte the filler after it.
    const size_t room = static_cast<size_t>(len) - 1;
    size_t pos = 0;
    const size_t n = content_len(r);
    for (size_t i = 0; i < n && pos < room; ++i) {
        const uint8_t b = r.content[i];
        if (b == 0xFF) break;
        const uint8_t lo = b & 0x0F;
        const uint8_t hi = b >> 4;
        if (lo == 0x0F) break;
        iccid[pos++] = kHex[lo];
        if (pos >= room || hi == 0x0F) break;
        iccid[pos++] = kHex[hi];
    }
    iccid[pos] = '\0';
    return 0;
}

int QS_SIM_GetIMSI(char *imsi, int len) {
    if (imsi == nullptr) {
        SIM_LOG(QS_OL_LOG_ERROR, "parameter error. imsi is null.");
        return -1;
    }
    if (len <= 0) return -1;
    imsi[0] = '\0';
    const uint8_t path[] = {0x3F, 0x00, 0x7F, 0xFF};
    uim_read_transparent_resp_msg_v01 r{};
    int rc = QMI_NO_ERR;
    if (read_ef(UIM_SESSION_TYPE_PRIMARY_GW_V01, 0x6F07, path, sizeof path, &r, &rc) != 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_imsi error: qmi_error is %d", rc);
        return -1;
    }
    if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
        SIM_LOG(QS_OL_LOG_ERROR, "qmi_uim_imsi_resp result=%d, qmi_uim_imsi_resp error=%d\n", r.resp.result,
                r.resp.error);
        return -1;
    }
    if (!r.read_result_valid) {
        SIM_LOG(QS_OL_LOG_ERROR, "eap_proxy: IMSI read failure read_result_valid = %d\n", r.read_result_valid);
        return -1;
    }
    // Byte 0 is the length of what follows; nothing past it is IMSI.
    size_t n = content_len(r);
    if (n > 0 && static_cast<size_t>(r.content[0]) + 1 < n) n = static_cast<size_t>(r.content[0]) + 1;
    const size_t room = static_cast<size_t>(len) - 1;
    size_t pos = 0;
    for (size_t i = 1; i < n && pos < room; ++i) {
        const uint8_t b = r.content[i];
        if (b == 0xFF) break;
        const uint8_t lo = b & 0x0F;
        const uint8_t hi = b >> 4;
        if (i > 1) {  // the first byte's low nibble is the parity, not a digit
            if (lo == 0x0F) break;
            imsi[pos++] = kHex[lo];
            if (pos >= room) break;
        }
        if (hi == 0x0F) break;
        imsi[pos++] = kHex[hi];
    }
    imsi[pos] = '\0';
    return 0;
}

E_QS_SIM_STATES_T QS_SIM_GetState(void) {
    E_QS_SIM_STATES_T state = E_QS_SIM_STAT_UNKNOWN;
    uim_get_card_status_resp_msg_v01 r{};
    if (card_status(&r) == 0 && r.card_info_len > 0) {
        const uim_card_info_type_v01 &card = r.card_info[0];
        if (card.card_state == UIM_CARD_STATE_ABSENT_V01) {
            state = E_QS_SIM_STAT_NOT_INSERTED;
        } else if (card.card_state == UIM_CARD_STATE_ERROR_V01 &&
                   card.error_code == UIM_CARD_ERROR_CODE_SIM_BUSY_V01) {
            state = E_QS_SIM_STAT_BUSY;
        } else if (card.app_info_len > 0) {
            switch (card.app_info[0].pin1_state) {
            case UIM_PIN_STATE_ENABLED_NOT_VERIFIED_V01: state = E_QS_SIM_STAT_PIN_REQ; break;
            case UIM_PIN_STATE_ENABLED_VERIFIED_V01: state = E_QS_SIM_STAT_READY_PIN; break;
            case UIM_PIN_STATE_DISABLED_V01: state = E_QS_SIM_STAT_READY; break;
            case UIM_PIN_STATE_BLOCKED_V01: state = E_QS_SIM_STAT_PUK_REQ; break;
            case UIM_PIN_STATE_PERMANENTLY_BLOCKED_V01: state = E_QS_SIM_STAT_BLOCKED; break;
            default: break;
            }
        }
    }
    if (state != E_QS_SIM_STAT_UNKNOWN) return state;

    // The card service could not tell: ask the AT port.
    char reply[kQsAtReplySize] = {};
    if (qs_at_exchange("AT+CPIN?", reply, 1) != 0) {
        SIM_LOG(QS_OL_LOG_NOTICE, "sim status AT calibration failure.");
        return state;
    }
    if (strstr(reply, "+CME ERROR: SIM not inserted") != nullptr) return E_QS_SIM_STAT_NOT_INSERTED;
    if (strstr(reply, "+CME ERROR: SIM busy") != nullptr) return E_QS_SIM_STAT_BUSY;
    return state;
}

int QS_SIM_VerifyPIN(const char *pin) {
    uim_verify_pin_req_msg_v01 req{};
    session_primary(&req.session_information);
    req.verify_pin.pin_id = UIM_PIN_ID_PIN_1_V01;
    if (!put_pin(pin, &req.verify_pin.pin_value_len, req.verify_pin.pin_value)) return pin_param_error(__func__);
    return pin_request(__func__, QMI_UIM_VERIFY_PIN_REQ_V01, req);
}

int QS_SIM_ChangePIN(const char *oldPin, const char *newPin) {
    uim_change_pin_req_msg_v01 req{};
    session_primary(&req.session_information);
    req.pin_id = UIM_PIN_ID_PIN_1_V01;
    if (!put_pin(oldPin, &req.old_pin_value_len, req.old_pin_value) ||
        !put_pin(newPin, &req.new_pin_value_len, req.new_pin_value)) {
        return pin_param_error(__func__);
    }
    return pin_request(__func__, QMI_UIM_CHANGE_PIN_REQ_V01, req);
}

static int set_protection(const char *func, const char *pin, uint8_t on) {
    uim_set_pin_protection_req_msg_v01 req{};
    session_primary(&req.session_information);
    req.pin_id = UIM_PIN_ID_PIN_1_V01;
    req.protection = on;
    if (!put_pin(pin, &req.pin_value_len, req.pin_value)) return pin_param_error(func);
    return pin_request(func, QMI_UIM_SET_PIN_PROTECTION_REQ_V01, req);
}

int QS_SIM_Unlock(const char *pin) { return set_protection(__func__, pin, 0); }

int QS_SIM_Lock(const char *pin) { return set_protection(__func__, pin, 1); }

int QS_SIM_Unblock(const char *puk, const char *newPin) {
    uim_unblock_pin_req_msg_v01 req{};
    session_primary(&req.session_information);
    req.pin_id = UIM_PIN_ID_PIN_1_V01;
    if (!put_pin(puk, &req.puk_value_len, req.puk_value) ||
        !put_pin(newPin, &req.new_pin_value_len, req.new_pin_value)) {
        return pin_param_error(__func__);
    }
    return pin_request(__func__, QMI_UIM_UNBLOCK_PIN_REQ_V01, req);
}

static int tries(bool puk) {
    uim_get_card_status_resp_msg_v01 r{};
    if (card_status(&r) != 0) return -1;
    if (r.card_info_len == 0 || r.card_info[0].card_state != UIM_CARD_STATE_PRESENT_V01 ||
        r.card_info[0].app_info_len == 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "no card application.");
        return -1;
    }
    const uim_app_info_type_v01 &app = r.card_info[0].app_info[0];
    return puk ? app.puk1_retries : app.pin1_retries;
}

int QS_SIM_GetPINTriesCnt(void) { return tries(false); }

int QS_SIM_GetPUKTriesCnt(void) { return tries(true); }

int QS_SIM_GetNumber(char *number, int len) {
    if (number == nullptr || len <= 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "parameter error. number is null.");
        return -1;
    }
    number[0] = '\0';
    char reply[kQsAtReplySize] = {};
    if (qs_at_exchange("AT+CNUM", reply, 0) != 0) {
        SIM_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    // +CNUM: [<alpha>],"<number>",<type>
    const char *p = strstr(reply, "+CNUM:");
    if (p == nullptr) {
        SIM_LOG(QS_OL_LOG_ERROR, "no number stored.");
        return -1;
    }
    p = strchr(p, ',');
    if (p == nullptr || p[1] != '"') {
        SIM_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    p += 2;
    const char *end = strchr(p, '"');
    if (end == nullptr) {
        SIM_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    size_t n = static_cast<size_t>(end - p);
    if (n > static_cast<size_t>(len) - 1) n = static_cast<size_t>(len) - 1;
    memcpy(number, p, n);
    number[n] = '\0';
    return 0;
}
