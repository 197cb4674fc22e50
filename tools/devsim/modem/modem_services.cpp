#include "modem/modem_services.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace {

// Profiles a modem holds (indices 1..kProfileMax).
constexpr int kProfileMax = 16;
// EF contents longer than a transparent read can carry are cut there.
constexpr size_t kEfMax = QMI_UIM_CONTENT_TRANSPARENT_MAX_V01;

template <class T>
std::string bytes_of(const T &v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}

// A request of another size is another message (or a broken one).
template <class T>
bool request_of(const std::string &req, T *out) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (req.size() != sizeof(T)) return false;
    memcpy(out, req.data(), sizeof(T));
    return true;
}

qmi_response_type_v01 ok() { return {QMI_RESULT_SUCCESS_V01, QMI_ERR_NONE_V01}; }
qmi_response_type_v01 fail(uint16_t e) { return {QMI_RESULT_FAILURE_V01, e}; }
constexpr uint16_t kErrMalformed = 0x0001;

bool parse_long(const std::string &s, long lo, long hi, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool all_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::string trim(std::string s) {
    while (!s.empty() && isspace(static_cast<unsigned char>(s.front()))) s.erase(0, 1);
    while (!s.empty() && isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = s.find(sep, i);
        if (j == std::string::npos) j = s.size();
        out.push_back(trim(s.substr(i, j - i)));
        i = j + 1;
    }
    return out;
}

// "98 10 FF" or "9810ff" -> bytes; false on anything else.
bool parse_hex(const std::string &text, std::string *out) {
    std::string digits;
    for (char c : text) {
        if (isspace(static_cast<unsigned char>(c))) continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.size() % 2 != 0 || digits.size() / 2 > kEfMax) return false;
    out->clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        out->push_back(static_cast<char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return true;
}

std::string hex_of(const std::string &s) {
    static const char *kHex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }
    return out.empty() ? "-" : out;
}

std::string unhex(const std::string &s) {
    std::string out;
    if (s == "-" || !parse_hex(s, &out)) return "";
    return out;
}

// A text field of a request: up to its terminator or the end of the array.
template <size_t N>
std::string field(const char (&a)[N]) {
    return std::string(a, strnlen(a, N));
}

template <size_t N>
void put(char (&a)[N], const std::string &s) {
    const size_t n = s.size() < N - 1 ? s.size() : N - 1;
    memcpy(a, s.data(), n);
    a[n] = '\0';
}

bool card_absent(const ModemData &d) { return d.cpin == "NOT INSERTED"; }

bool contains(const std::string &hay, const char *needle) { return hay.find(needle) != std::string::npos; }

// ---- DMS ------------------------------------------------------------------

std::string dms_serials(ModemState &st, const std::string &) {
    const ModemData d = st.snapshot();
    dms_get_device_serial_numbers_resp_msg_v01 r{};
    r.resp = ok();
    r.esn_valid = d.esn.empty() ? 0 : 1;
    put(r.esn, d.esn);
    r.imei_valid = d.imei.empty() ? 0 : 1;
    put(r.imei, d.imei);
    r.meid_valid = d.meid.empty() ? 0 : 1;
    put(r.meid, d.meid);
    return bytes_of(r);
}

std::string dms_sw_version(ModemState &st, const std::string &) {
    const ModemData d = st.snapshot();
    dms_get_sw_version_resp_msg_v01 r{};
    r.resp = ok();
    put(r.sw_version, d.fw);
    return bytes_of(r);
}

// ---- UIM ------------------------------------------------------------------

uint8_t pin1_state(const ModemData &d) {
    if (d.cpin == "READY") return d.pin_enabled ? UIM_PIN_STATE_ENABLED_VERIFIED_V01 : UIM_PIN_STATE_DISABLED_V01;
    if (d.cpin == "SIM PIN") return UIM_PIN_STATE_ENABLED_NOT_VERIFIED_V01;
    if (d.cpin == "SIM PUK") return UIM_PIN_STATE_BLOCKED_V01;
    if (d.cpin == "BLOCKED") return UIM_PIN_STATE_PERMANENTLY_BLOCKED_V01;
    return UIM_PIN_STATE_UNKNOWN_V01;
}

std::string uim_card_status(ModemState &st, const std::string &) {
    const ModemData d = st.snapshot();
    uim_get_card_status_resp_msg_v01 r{};
    r.resp = ok();
    r.card_status_valid = 1;
    r.card_info_len = 1;
    uim_card_info_type_v01 &c = r.card_info[0];
    if (card_absent(d)) {
        c.card_state = UIM_CARD_STATE_ABSENT_V01;
    } else if (d.cpin == "BUSY") {
        c.card_state = UIM_CARD_STATE_ERROR_V01;
        c.error_code = UIM_CARD_ERROR_CODE_SIM_BUSY_V01;
    } else {
        c.card_state = UIM_CARD_STATE_PRESENT_V01;
        c.app_info_len = 1;
        c.app_info[0].app_type = 4;  // USIM
        c.app_info[0].app_state = d.cpin == "READY" ? 7 : 2;
        c.app_info[0].pin1_state = pin1_state(d);
        c.app_info[0].pin1_retries = static_cast<uint8_t>(d.pin_retries);
        c.app_info[0].puk1_retries = static_cast<uint8_t>(d.puk_retries);
    }
    return bytes_of(r);
}

std::string uim_read_transparent(ModemState &st, const std::string &req) {
    uim_read_transparent_req_msg_v01 q{};
    uim_read_transparent_resp_msg_v01 r{};
    if (!request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    const ModemData d = st.snapshot();
    if (card_absent(d) || d.cpin == "BUSY") {
        r.resp = fail(QMI_ERR_SIM_NOT_INITIALIZED_V01);
        return bytes_of(r);
    }
    const uint8_t mf[] = {0x3F, 0x00};
    const uint8_t usim[] = {0x3F, 0x00, 0x7F, 0xFF};
    const std::string path(reinterpret_cast<const char *>(q.file_id.path),
                           q.file_id.path_len <= QMI_UIM_PATH_MAX_V01 ? q.file_id.path_len : 0);
    const std::string *ef = nullptr;
    if (q.file_id.file_id == 0x2FE2 && path == std::string(reinterpret_cast<const char *>(mf), sizeof mf)) {
        ef = &d.ef_iccid;
    } else if (q.file_id.file_id == 0x6F07 && path == std::string(reinterpret_cast<const char *>(usim), sizeof usim)) {
        // The IMSI sits behind the PIN.
        if (d.cpin != "READY") {
            r.resp = fail(QMI_ERR_DEVICE_NOT_READY_V01);
            return bytes_of(r);
        }
        ef = &d.ef_imsi;
    }
    r.card_result_valid = 1;
    if (ef == nullptr) {  // no such file
        r.resp = fail(0x0040);
        r.sw1 = 0x6A;
        r.sw2 = 0x82;
        return bytes_of(r);
    }
    r.resp = ok();
    r.sw1 = 0x90;
    if (*ef == "none") return bytes_of(r);  // the card answered, but with no contents
    r.read_result_valid = 1;
    const size_t off = q.offset < ef->size() ? q.offset : ef->size();
    size_t n = ef->size() - off;
    if (q.length != 0 && q.length < n) n = q.length;
    if (n > sizeof r.content) n = sizeof r.content;
    memcpy(r.content, ef->data() + off, n);
    r.content_len = static_cast<uint16_t>(n);
    return bytes_of(r);
}

bool pin_ok(const std::string &p) { return p.size() >= 4 && p.size() <= 8 && all_digits(p); }

template <size_t N>
std::string pin_of(uint8_t len, const char (&a)[N]) {
    return std::string(a, len <= N ? len : 0);
}

// Checks PIN1 against the card; a wrong one costs an attempt, the last one
// blocks the PIN.  QMI error, or 0.
uint16_t check_pin(ModemData &m, const std::string &pin) {
    if (m.cpin == "SIM PUK" || m.cpin == "BLOCKED") return QMI_ERR_PIN_BLOCKED_V01;
    if (pin == m.pin) {
        m.pin_retries = 3;
        return 0;
    }
    if (m.pin_retries > 0) --m.pin_retries;
    if (m.pin_retries == 0) m.cpin = "SIM PUK";
    return QMI_ERR_INCORRECT_PIN_V01;
}

std::string pin_answer(const ModemData &m, uint16_t err) {
    uim_pin_resp_msg_v01 r{};
    r.resp = err == 0 ? ok() : fail(err);
    r.retries_left_valid = 1;
    r.verify_left = static_cast<uint8_t>(m.pin_retries);
    r.unblock_left = static_cast<uint8_t>(m.puk_retries);
    return bytes_of(r);
}

std::string uim_pin_request(ModemState &st, uint16_t msg_id, const std::string &req) {
    return st.update([&](ModemData &m) -> std::string {
        if (card_absent(m) || m.cpin == "BUSY") return pin_answer(m, QMI_ERR_SIM_NOT_INITIALIZED_V01);
        if (msg_id == QMI_UIM_VERIFY_PIN_REQ_V01) {
            uim_verify_pin_req_msg_v01 q{};
            if (!request_of(req, &q)) return pin_answer(m, kErrMalformed);
            if (!m.pin_enabled && m.cpin == "READY") return pin_answer(m, QMI_ERR_NO_EFFECT_V01);
            const uint16_t e = check_pin(m, pin_of(q.verify_pin.pin_value_len, q.verify_pin.pin_value));
            if (e == 0) m.cpin = "READY";
            return pin_answer(m, e);
        }
        if (msg_id == QMI_UIM_SET_PIN_PROTECTION_REQ_V01) {
            uim_set_pin_protection_req_msg_v01 q{};
            if (!request_of(req, &q)) return pin_answer(m, kErrMalformed);
            const bool on = q.protection != 0;
            if (on == m.pin_enabled) return pin_answer(m, QMI_ERR_NO_EFFECT_V01);
            const uint16_t e = check_pin(m, pin_of(q.pin_value_len, q.pin_value));
            if (e == 0) {
                m.pin_enabled = on;
                m.cpin = "READY";
            }
            return pin_answer(m, e);
        }
        if (msg_id == QMI_UIM_UNBLOCK_PIN_REQ_V01) {
            uim_unblock_pin_req_msg_v01 q{};
            if (!request_of(req, &q)) return pin_answer(m, kErrMalformed);
            if (m.cpin == "BLOCKED") return pin_answer(m, QMI_ERR_PIN_PERM_BLOCKED_V01);
            if (m.cpin != "SIM PUK") return pin_answer(m, QMI_ERR_NO_EFFECT_V01);
            const std::string np = pin_of(q.new_pin_value_len, q.new_pin_value);
            if (!pin_ok(np)) return pin_answer(m, kErrMalformed);
            if (pin_of(q.puk_value_len, q.puk_value) != m.puk) {
                if (m.puk_retries > 0) --m.puk_retries;
                if (m.puk_retries == 0) m.cpin = "BLOCKED";
                return pin_answer(m, QMI_ERR_INCORRECT_PIN_V01);
            }
            m.pin = np;
            m.pin_retries = 3;
            m.puk_retries = 10;
            m.cpin = "READY";
            return pin_answer(m, 0);
        }
        uim_change_pin_req_msg_v01 q{};
        if (!request_of(req, &q)) return pin_answer(m, kErrMalformed);
        if (!m.pin_enabled) return pin_answer(m, QMI_ERR_NO_EFFECT_V01);
        const std::string np = pin_of(q.new_pin_value_len, q.new_pin_value);
        if (!pin_ok(np)) return pin_answer(m, kErrMalformed);
        const uint16_t e = check_pin(m, pin_of(q.old_pin_value_len, q.old_pin_value));
        if (e == 0) {
            m.pin = np;
            m.cpin = "READY";
        }
        return pin_answer(m, e);
    });
}

// ---- NAS ------------------------------------------------------------------

std::string nas_sys_info(ModemState &st, const std::string &) {
    const ModemData d = st.snapshot();
    nas_get_sys_info_resp_msg_v01 r{};
    r.resp = ok();
    const int reg = modem_reg_state(d);
    uint8_t status = NAS_SYS_SRV_STATUS_NO_SRV_V01;
    if (reg == 1) status = NAS_SYS_SRV_STATUS_SRV_V01;
    if (reg == 3) status = NAS_SYS_SRV_STATUS_LIMITED_V01;  // emergency calls only
    nas_sys_srv_info_type_v01 *dom = nullptr;
    switch (modem_sys_mode(d)) {
    case 2: dom = &r.cdma; break;
    case 3: dom = &r.gsm; break;
    case 4: dom = &r.hdr; break;
    case 5: dom = &r.wcdma; break;
    case 9: dom = &r.lte; break;
    case 11: dom = &r.tdscdma; break;
    default: break;
    }
    if (dom != nullptr && d.cfun == 1) {
        *dom = {1, status, 1, static_cast<uint8_t>(d.roaming ? 1 : 0)};
    }
    return bytes_of(r);
}

uint8_t radio_if_of(int mode) {
    switch (mode) {
    case 3: return NAS_RADIO_IF_GSM_V01;
    case 5: return NAS_RADIO_IF_UMTS_V01;
    case 9: return NAS_RADIO_IF_LTE_V01;
    case 2: return 0x01;
    case 4: return 0x02;
    case 11: return 0x09;
    default: return NAS_RADIO_IF_NO_SVC_V01;
    }
}

std::string nas_signal(ModemState &st, const std::string &req) {
    nas_get_signal_strength_req_msg_v01 q{};
    nas_get_signal_strength_resp_msg_v01 r{};
    if (!req.empty() && !request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    const ModemData d = st.snapshot();
    r.resp = ok();
    const int mode = modem_sys_mode(d);
    // Without a serving cell there is only the noise floor.
    r.sig_strength = static_cast<int8_t>(modem_reg_state(d) == 1 ? d.rssi : -125);
    r.radio_if = radio_if_of(mode);
    r.error_rate_valid = 1;
    r.error_rate = static_cast<uint16_t>(d.ber);
    if (q.request_mask_valid && (q.request_mask & QMI_NAS_REQUEST_SIG_INFO_RSRP_MASK_V01) && mode == 9 &&
        modem_reg_state(d) == 1) {
        r.rsrp_valid = 1;
        r.rsrp = static_cast<int16_t>(d.rsrp);
    }
    return bytes_of(r);
}

void plmn_bytes(const ModemData &d, uint8_t out[3]) {
    auto digit = [](const std::string &s, size_t i) -> uint8_t {
        return i < s.size() ? static_cast<uint8_t>(s[i] - '0') : 0x0F;
    };
    out[0] = static_cast<uint8_t>(digit(d.mcc, 1) << 4 | digit(d.mcc, 0));
    out[1] = static_cast<uint8_t>(digit(d.mnc, 2) << 4 | digit(d.mcc, 2));
    out[2] = static_cast<uint8_t>(digit(d.mnc, 1) << 4 | digit(d.mnc, 0));
}

std::string nas_cell_location(ModemState &st, const std::string &) {
    const ModemData d = st.snapshot();
    nas_get_cell_location_info_resp_msg_v01 r{};
    r.resp = ok();
    if (modem_reg_state(d) == 1 && modem_sys_mode(d) == 9 && d.lte_cell) {
        r.lte_intra_valid = 1;
        nas_lte_intra_freq_type_v01 &c = r.lte_intra;
        plmn_bytes(d, c.plmn);
        c.tac = static_cast<uint16_t>(d.tac);
        c.global_cell_id = d.cell_global_id;
        c.earfcn = static_cast<uint16_t>(d.earfcn);
        c.serving_cell_id = static_cast<uint16_t>(d.pci);
        for (const auto &n : d.neighbours) {
            if (c.cells_len >= NAS_LTE_NGBR_CELLS_MAX_V01) break;
            nas_lte_ngbr_cell_type_v01 &x = c.cells[c.cells_len++];
            x.pci = static_cast<uint16_t>(n.first);
            x.rsrp = static_cast<int16_t>(n.second);
            x.rsrq = -10;
            x.rssi = static_cast<int16_t>(n.second + 25);
        }
    }
    return bytes_of(r);
}

// ---- WDS ------------------------------------------------------------------

wds_profile_settings_type_v01 settings_of(const WdsProfile &p) {
    wds_profile_settings_type_v01 s{};
    s.pdp_context_number_valid = 1;
    s.pdp_context_number = static_cast<uint8_t>(p.ctx);
    s.pdp_type_valid = 1;
    s.pdp_type = static_cast<uint8_t>(p.pdp_type);
    s.apn_name_valid = 1;
    put(s.apn_name, p.apn);
    s.username_valid = 1;
    put(s.username, p.user);
    s.password_valid = 1;
    put(s.password, p.pass);
    s.authentication_preference_valid = 1;
    s.authentication_preference = static_cast<uint8_t>(p.auth);
    return s;
}

void apply_settings(WdsProfile &p, const wds_profile_settings_type_v01 &s) {
    if (s.pdp_context_number_valid) p.ctx = s.pdp_context_number;
    if (s.pdp_type_valid && (s.pdp_type == 0 || s.pdp_type == 2 || s.pdp_type == 3)) p.pdp_type = s.pdp_type;
    if (s.apn_name_valid) p.apn = field(s.apn_name);
    if (s.username_valid) p.user = field(s.username);
    if (s.password_valid) p.pass = field(s.password);
    if (s.authentication_preference_valid) p.auth = s.authentication_preference & 0x03;
}

template <class R>
std::string profile_error(R r, uint16_t eec) {
    r.resp = fail(QMI_ERR_EXTENDED_INTERNAL_V01);
    r.extended_error_code_valid = 1;
    r.extended_error_code = eec;
    return bytes_of(r);
}

bool locked(const ModemData &d, int index) { return d.locked_profiles.count(index) != 0; }

std::string wds_profile_request(ModemState &st, uint16_t msg_id, const std::string &req) {
    return st.update([&](ModemData &m) -> std::string {
        switch (msg_id) {
        case QMI_WDS_GET_PROFILE_SETTINGS_REQ_V01: {
            wds_get_profile_settings_req_msg_v01 q{};
            wds_get_profile_settings_resp_msg_v01 r{};
            if (!request_of(req, &q) || q.profile.profile_type != WDS_PROFILE_TYPE_3GPP_V01) {
                r.resp = fail(kErrMalformed);
                return bytes_of(r);
            }
            auto it = m.profiles.find(q.profile.profile_index);
            if (it == m.profiles.end()) return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_ERR_INVAL_PROFILE_NUM_V01);
            r.resp = ok();
            r.settings = settings_of(it->second);
            return bytes_of(r);
        }
        case QMI_WDS_MODIFY_PROFILE_SETTINGS_REQ_V01: {
            wds_modify_profile_settings_req_msg_v01 q{};
            wds_modify_profile_settings_resp_msg_v01 r{};
            if (!request_of(req, &q) || q.profile.profile_type != WDS_PROFILE_TYPE_3GPP_V01) {
                r.resp = fail(kErrMalformed);
                return bytes_of(r);
            }
            auto it = m.profiles.find(q.profile.profile_index);
            if (it == m.profiles.end()) return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_ERR_INVAL_PROFILE_NUM_V01);
            if (locked(m, it->first)) return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_FAIL_V01);
            apply_settings(it->second, q.settings);
            r.resp = ok();
            return bytes_of(r);
        }
        case QMI_WDS_CREATE_PROFILE_REQ_V01: {
            wds_create_profile_req_msg_v01 q{};
            wds_create_profile_resp_msg_v01 r{};
            if (!request_of(req, &q) || q.profile_type != WDS_PROFILE_TYPE_3GPP_V01) {
                r.resp = fail(kErrMalformed);
                return bytes_of(r);
            }
            int index = 1;
            while (index <= kProfileMax && m.profiles.count(index) != 0) ++index;
            if (index > kProfileMax) return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_ERR_OUT_OF_PROFILES_V01);
            WdsProfile p;
            p.ctx = index;
            apply_settings(p, q.settings);
            m.profiles[index] = p;
            r.resp = ok();
            r.profile = {WDS_PROFILE_TYPE_3GPP_V01, static_cast<uint8_t>(index)};
            return bytes_of(r);
        }
        default: {  // delete
            wds_delete_profile_req_msg_v01 q{};
            wds_delete_profile_resp_msg_v01 r{};
            if (!request_of(req, &q) || q.profile.profile_type != WDS_PROFILE_TYPE_3GPP_V01) {
                r.resp = fail(kErrMalformed);
                return bytes_of(r);
            }
            const int index = q.profile.profile_index;
            if (m.profiles.count(index) == 0) {
                return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_ERR_INVAL_PROFILE_NUM_V01);
            }
            bool in_use = locked(m, index);
            for (const DataCall &c : m.calls) in_use = in_use || c.profile == index;
            if (in_use) return profile_error(r, WDS_EEC_DS_PROFILE_REG_RESULT_FAIL_V01);
            m.profiles.erase(index);
            r.resp = ok();
            return bytes_of(r);
        }
        }
    });
}

DataCall *find_call(ModemData &m, uint32_t id, uint32_t owner) {
    for (DataCall &c : m.calls) {
        if (c.id == id && c.owner == owner) return &c;
    }
    return nullptr;
}

std::string wds_start(ModemState &st, const std::string &req, uint32_t owner) {
    wds_start_network_interface_req_msg_v01 q{};
    wds_start_network_interface_resp_msg_v01 r{};
    if (!request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    return st.update([&](ModemData &m) -> std::string {
        const int profile = q.profile_index_valid ? q.profile_index : 1;
        int family = q.ip_family_pref;
        if (family != 6 && family != 10) family = 4;
        if (m.call_refuse == 1) {
            r.resp = fail(QMI_ERR_CALL_FAILED_V01);
            r.call_end_reason_valid = 1;
            r.call_end_reason = WDS_CALL_END_REASON_REJECTED_V01;
            return bytes_of(r);
        }
        if (m.profiles.count(profile) == 0) {
            r.resp = fail(QMI_ERR_EXTENDED_INTERNAL_V01);
            return bytes_of(r);
        }
        // The same call asked for again: it is under way already.
        for (const DataCall &c : m.calls) {
            if (c.owner == owner && c.profile == profile && c.family == family) {
                r.resp = fail(QMI_ERR_NO_EFFECT_V01);
                r.pkt_data_handle = c.id;
                return bytes_of(r);
            }
        }
        DataCall c;
        c.id = m.next_call_id++;
        c.owner = owner;
        c.profile = profile;
        c.family = family;
        c.due_ms = modem_now_ms() + m.call_delay_ms;
        m.calls.push_back(c);
        r.resp = ok();
        r.pkt_data_handle = c.id;
        return bytes_of(r);
    });
}

std::string wds_stop(ModemState &st, const std::string &req, uint32_t owner) {
    wds_call_handle_req_msg_v01 q{};
    wds_stop_network_interface_resp_msg_v01 r{};
    if (!request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    return st.update([&](ModemData &m) -> std::string {
        if (find_call(m, q.pkt_data_handle, owner) == nullptr) {
            r.resp = fail(QMI_ERR_OUT_OF_CALL_V01);
            return bytes_of(r);
        }
        std::erase_if(m.calls, [&](const DataCall &c) { return c.id == q.pkt_data_handle; });
        m.end_reason = WDS_CALL_END_REASON_CLIENT_END_V01;
        r.resp = ok();
        return bytes_of(r);
    });
}

bool ip4(const std::string &text, uint8_t out[4]) { return inet_pton(AF_INET, text.c_str(), out) == 1; }
bool ip6(const std::string &text, uint8_t out[16]) { return inet_pton(AF_INET6, text.c_str(), out) == 1; }

std::string wds_runtime(ModemState &st, const std::string &req, uint32_t owner) {
    wds_call_handle_req_msg_v01 q{};
    wds_get_runtime_settings_resp_msg_v01 r{};
    if (!request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    ModemData d = st.snapshot();
    const DataCall *c = find_call(d, q.pkt_data_handle, owner);
    if (c == nullptr || !c->connected) {
        r.resp = fail(QMI_ERR_OUT_OF_CALL_V01);
        return bytes_of(r);
    }
    if (d.runtime_refuse == 1) {
        r.resp = fail(QMI_ERR_INTERNAL_V01);
        return bytes_of(r);
    }
    r.resp = ok();
    put(r.iface_name, d.iface);
    if (c->family == 4 || c->family == 10) {
        r.ipv4_valid = ip4(d.ipv4, r.ipv4_address) && ip4(d.gw4, r.ipv4_gateway) ? 1 : 0;
        const uint8_t mask[4] = {255, 255, 255, 252};
        memcpy(r.ipv4_subnet_mask, mask, 4);
        ip4(d.dns4_1, r.ipv4_primary_dns);
        ip4(d.dns4_2, r.ipv4_secondary_dns);
    }
    if (c->family == 6 || c->family == 10) {
        r.ipv6_valid = ip6(d.ipv6, r.ipv6_address) && ip6(d.gw6, r.ipv6_gateway) ? 1 : 0;
        r.ipv6_prefix_length = 64;
        ip6(d.dns6_1, r.ipv6_primary_dns);
        ip6(d.dns6_2, r.ipv6_secondary_dns);
    }
    return bytes_of(r);
}

std::string wds_bearer(ModemState &st, const std::string &req, uint32_t owner) {
    wds_call_handle_req_msg_v01 q{};
    wds_get_data_bearer_technology_resp_msg_v01 r{};
    if (!request_of(req, &q)) {
        r.resp = fail(kErrMalformed);
        return bytes_of(r);
    }
    ModemData d = st.snapshot();
    const DataCall *c = find_call(d, q.pkt_data_handle, owner);
    if (c == nullptr || !c->connected) {
        r.resp = fail(QMI_ERR_OUT_OF_CALL_V01);
        return bytes_of(r);
    }
    r.resp = ok();
    r.bearer_tech = static_cast<uint8_t>(modem_bearer_tech(d));
    return bytes_of(r);
}

// "1:1,2:2,3:7" or "1,2,3" -> profiles (each index's context number, default
// the index).
bool parse_profiles(const std::string &v, std::map<int, WdsProfile> *out) {
    out->clear();
    if (trim(v).empty()) return true;
    for (const std::string &item : split(v, ',')) {
        const size_t colon = item.find(':');
        long idx;
        long ctx;
        if (!parse_long(item.substr(0, colon), 1, kProfileMax, &idx)) return false;
        ctx = idx;
        if (colon != std::string::npos && !parse_long(item.substr(colon + 1), 0, 255, &ctx)) return false;
        WdsProfile p;
        p.ctx = static_cast<int>(ctx);
        p.apn = "internet";
        (*out)[static_cast<int>(idx)] = p;
    }
    return true;
}

}  // namespace

int64_t modem_now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string modem_iccid_ef(const std::string &digits) {
    std::string out;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const uint8_t lo = static_cast<uint8_t>(digits[i] - '0');
        const uint8_t hi = i + 1 < digits.size() ? static_cast<uint8_t>(digits[i + 1] - '0') : 0x0F;
        out.push_back(static_cast<char>(hi << 4 | lo));
    }
    return out;
}

std::string modem_imsi_ef(const std::string &digits) {
    if (digits.empty()) return std::string();
    // First byte: parity nibble (9 odd, 1 even count) and the first digit.
    std::string body;
    const uint8_t parity = digits.size() % 2 == 1 ? 0x09 : 0x01;
    body.push_back(static_cast<char>((digits[0] - '0') << 4 | parity));
    for (size_t i = 1; i < digits.size(); i += 2) {
        const uint8_t lo = static_cast<uint8_t>(digits[i] - '0');
        const uint8_t hi = i + 1 < digits.size() ? static_cast<uint8_t>(digits[i + 1] - '0') : 0x0F;
        body.push_back(static_cast<char>(hi << 4 | lo));
    }
    return std::string(1, static_cast<char>(body.size())) + body;
}

int modem_sys_mode(const ModemData &d) {
    const std::string &p = d.psrat;
    if (d.cfun != 1 || p.empty() || contains(p, "NONE")) return -1;
    if (contains(p, "LTE")) return 9;
    if (contains(p, "TDSCDMA")) return 11;
    if (contains(p, "WCDMA") || contains(p, "HSDPA") || contains(p, "HSUPA") || contains(p, "HSPA")) return 5;
    if (contains(p, "EVDO") || contains(p, "EHRPD")) return 4;
    if (contains(p, "CDMA")) return 2;
    if (contains(p, "GSM") || contains(p, "GPRS") || contains(p, "EDGE")) return 3;
    return -1;
}

int modem_bearer_tech(const ModemData &d) {
    if (d.bearer >= 0) return d.bearer;
    const std::string &p = d.psrat;
    if (contains(p, "LTE")) return 14;
    if (contains(p, "HSPA+")) return 15;
    if (contains(p, "HSDPA")) return 11;
    if (contains(p, "HSUPA")) return 12;
    if (contains(p, "TDSCDMA")) return 19;
    if (contains(p, "WCDMA")) return 9;
    if (contains(p, "EHRPD")) return 5;
    if (contains(p, "EVDO")) return 2;
    if (contains(p, "CDMA")) return 1;
    if (contains(p, "EDGE")) return 13;
    if (contains(p, "GPRS")) return 10;
    if (contains(p, "GSM")) return 20;
    return 0;
}

bool modem_services_persistent_key(const std::string &key) {
    return key == "profiles" || key.rfind("profile.", 0) == 0;
}

int modem_services_configure(ModemData &d, const std::string &key, const std::string &value) {
    long v;
    struct TextKey {
        const char *name;
        std::string ModemData::*field;
    };
    static constexpr TextKey kTexts[] = {
        {"imei", &ModemData::imei}, {"esn", &ModemData::esn},
        {"meid", &ModemData::meid}, {"fw", &ModemData::fw},
        {"operator", &ModemData::operator_name}, {"iface", &ModemData::iface},
    };
    for (const TextKey &k : kTexts) {
        if (key == k.name) {
            d.*k.field = value;
            return 1;
        }
    }
    // Addresses are taken only in their family's text form.
    struct AddrKey {
        const char *name;
        std::string ModemData::*field;
        int family;
    };
    static constexpr AddrKey kAddrs[] = {
        {"ipv4", &ModemData::ipv4, AF_INET},     {"gw4", &ModemData::gw4, AF_INET},
        {"dns4_1", &ModemData::dns4_1, AF_INET}, {"dns4_2", &ModemData::dns4_2, AF_INET},
        {"ipv6", &ModemData::ipv6, AF_INET6},    {"gw6", &ModemData::gw6, AF_INET6},
        {"dns6_1", &ModemData::dns6_1, AF_INET6}, {"dns6_2", &ModemData::dns6_2, AF_INET6},
    };
    for (const AddrKey &k : kAddrs) {
        if (key != k.name) continue;
        uint8_t buf[16];
        if (inet_pton(k.family, value.c_str(), buf) != 1) return 0;
        d.*k.field = value;
        return 1;
    }
    if (key == "iccid" || key == "imsi") {
        if (!all_digits(value) || value.size() > 20) return 0;
        if (key == "iccid") {
            d.ef_iccid = modem_iccid_ef(value);
        } else {
            d.ef_imsi = modem_imsi_ef(value);
        }
        return 1;
    }
    if (key == "ef_iccid" || key == "ef_imsi") {
        std::string bytes;
        if (value == "none") {
            bytes = value;
        } else if (!parse_hex(value, &bytes)) {
            return 0;
        }
        (key == "ef_iccid" ? d.ef_iccid : d.ef_imsi) = bytes;
        return 1;
    }
    if (key == "pin" || key == "puk") {
        if (!pin_ok(value)) return 0;
        (key == "pin" ? d.pin : d.puk) = value;
        return 1;
    }
    struct IntKey {
        const char *name;
        int *target;
        long lo, hi;
    };
    const IntKey ints[] = {
        {"pin_retries", &d.pin_retries, 0, 3},   {"puk_retries", &d.puk_retries, 0, 10},
        {"rssi", &d.rssi, -128, 0},              {"ber", &d.ber, 0, 65535},
        {"rsrp", &d.rsrp, -200, 0},              {"pci", &d.pci, 0, 503},
        {"tac", &d.tac, 0, 65535},               {"earfcn", &d.earfcn, 0, 65535},
        {"call_refuse", &d.call_refuse, 0, 2},   {"bearer", &d.bearer, -1, 21},
        {"cmee", &d.cmee, 1, 2},                 {"runtime_refuse", &d.runtime_refuse, 0, 1},
    };
    for (const IntKey &k : ints) {
        if (key == k.name) {
            if (!parse_long(value, k.lo, k.hi, &v)) return 0;
            *k.target = static_cast<int>(v);
            return 1;
        }
    }
    struct FlagKey {
        const char *name;
        bool ModemData::*field;
    };
    static constexpr FlagKey kFlags[] = {
        {"pin_enabled", &ModemData::pin_enabled}, {"lte_cell", &ModemData::lte_cell}, {"roaming", &ModemData::roaming},
    };
    for (const FlagKey &k : kFlags) {
        if (key != k.name) continue;
        if (value != "0" && value != "1") return 0;
        d.*k.field = value == "1";
        return 1;
    }
    if (key == "cell_id") {
        if (!parse_long(value, 0, 0x0FFFFFFF, &v)) return 0;
        d.cell_global_id = static_cast<uint32_t>(v);
        return 1;
    }
    if (key == "call_delay_ms") {
        if (!parse_long(value, 0, 600000, &v)) return 0;
        d.call_delay_ms = static_cast<unsigned>(v);
        return 1;
    }
    // "register 0..4": the network's answer; 5 is registered while roaming.
    if (key == "register" || key == "reg") {
        if (!parse_long(value, 0, 5, &v)) return 0;
        d.reg = v == 5 ? 1 : static_cast<int>(v);
        d.roaming = v == 5;
        return 1;
    }
    if (key == "plmn" || key == "mcc" || key == "mnc") {
        std::string mcc = d.mcc;
        std::string mnc = d.mnc;
        if (key == "plmn") {  // "460-01" or "310-260"
            const size_t dash = value.find('-');
            if (dash == std::string::npos) return 0;
            mcc = value.substr(0, dash);
            mnc = value.substr(dash + 1);
        } else {
            (key == "mcc" ? mcc : mnc) = value;
        }
        if (mcc.size() != 3 || !all_digits(mcc) || mnc.size() < 2 || mnc.size() > 3 || !all_digits(mnc)) return 0;
        d.mcc = mcc;
        d.mnc = mnc;
        return 1;
    }
    if (key == "neighbours") {  // "pci:rsrp,pci:rsrp"; empty for none
        std::vector<std::pair<int, int>> out;
        if (!trim(value).empty()) {
            for (const std::string &item : split(value, ',')) {
                const size_t colon = item.find(':');
                long pci;
                long rsrp;
                if (colon == std::string::npos || !parse_long(item.substr(0, colon), 0, 503, &pci) ||
                    !parse_long(item.substr(colon + 1), -200, 0, &rsrp)) {
                    return 0;
                }
                out.push_back({static_cast<int>(pci), static_cast<int>(rsrp)});
            }
        }
        d.neighbours = out;
        return 1;
    }
    if (key == "qos") {  // "<status> <flow id>": a QoS change on every connected call
        const std::vector<std::string> f = split(trim(value), ' ');
        long status;
        long flow;
        if (f.size() != 2 || !parse_long(f[0], 0, 255, &status) || !parse_long(f[1], 0, 0xFFFFFFFFL, &flow)) return 0;
        d.qos_status = static_cast<int>(status);
        d.qos_flow = static_cast<uint32_t>(flow);
        ++d.qos_seq;
        return 1;
    }
    if (key == "drop_call") {  // the network ends every call
        if (!trim(value).empty()) return 0;
        d.calls.clear();
        d.end_reason = WDS_CALL_END_REASON_NETWORK_END_V01;
        return 1;
    }
    if (key == "profiles") return parse_profiles(value, &d.profiles) ? 1 : 0;
    if (key == "profile_locked") {
        std::set<int> out;
        if (!trim(value).empty()) {
            for (const std::string &item : split(value, ',')) {
                if (!parse_long(item, 1, kProfileMax, &v)) return 0;
                out.insert(static_cast<int>(v));
            }
        }
        d.locked_profiles = out;
        return 1;
    }
    // "profile.N <ctx>": someone changed the profile's context number; "none"
    // removes the profile.
    if (key.rfind("profile.", 0) == 0) {
        long idx;
        if (!parse_long(key.substr(8), 1, kProfileMax, &idx)) return 0;
        if (value == "none") {
            d.profiles.erase(static_cast<int>(idx));
            return 1;
        }
        if (!parse_long(value, 0, 255, &v)) return 0;
        WdsProfile &p = d.profiles[static_cast<int>(idx)];
        p.ctx = static_cast<int>(v);
        return 1;
    }
    return -1;
}

std::string modem_profiles_store_text(const ModemData &d) {
    std::string out;
    for (const auto &kv : d.profiles) {
        const WdsProfile &p = kv.second;
        out += "profile " + std::to_string(kv.first) + " " + std::to_string(p.ctx) + " " + std::to_string(p.pdp_type) +
               " " + std::to_string(p.auth) + " " + hex_of(p.apn) + " " + hex_of(p.user) + " " + hex_of(p.pass) + "\n";
    }
    return out;
}

void modem_profile_store_parse(const std::string &index, const std::string &rest, ModemData *d) {
    long idx;
    if (!parse_long(index, 1, kProfileMax, &idx)) return;
    const std::vector<std::string> f = split(rest, ' ');
    if (f.size() != 6) return;
    long ctx;
    long pdp;
    long auth;
    if (!parse_long(f[0], 0, 255, &ctx) || !parse_long(f[1], 0, 3, &pdp) || !parse_long(f[2], 0, 3, &auth)) return;
    WdsProfile p;
    p.ctx = static_cast<int>(ctx);
    p.pdp_type = static_cast<int>(pdp);
    p.auth = static_cast<int>(auth);
    p.apn = unhex(f[3]);
    p.user = unhex(f[4]);
    p.pass = unhex(f[5]);
    d->profiles[static_cast<int>(idx)] = p;
}

int64_t modem_calls_next_due(const ModemData &d) {
    int64_t due = -1;
    for (const DataCall &c : d.calls) {
        if (!c.connected && (due < 0 || c.due_ms < due)) due = c.due_ms;
    }
    return due;
}

void modem_calls_step(ModemData &d, int64_t now_ms) {
    const bool reg = modem_registered(d);
    std::vector<DataCall> keep;
    for (DataCall &c : d.calls) {
        if (c.connected || c.due_ms > now_ms) {
            keep.push_back(c);
        } else if (d.call_refuse == 2) {
            d.end_reason = WDS_CALL_END_REASON_REJECTED_V01;
        } else if (!reg) {
            d.end_reason = WDS_CALL_END_REASON_NO_SRV_V01;
        } else {
            c.connected = true;
            keep.push_back(c);
        }
    }
    d.calls = keep;
}

void modem_calls_end_owner(ModemState &st, uint32_t owner) {
    st.update([&](ModemData &m) {
        std::erase_if(m.calls, [&](const DataCall &c) { return c.owner == owner; });
        m.end_reason = WDS_CALL_END_REASON_CLIENT_END_V01;
    });
}

nas_serving_system_extra_v01 modem_serving_extra(const ModemData &d) {
    nas_serving_system_extra_v01 x{};
    const bool reg = modem_reg_state(d) == 1;
    x.roaming_indicator_valid = reg ? 1 : 0;
    x.roaming_indicator = d.roaming ? NAS_ROAMING_IND_ON_V01 : NAS_ROAMING_IND_OFF_V01;
    if (reg) {
        x.current_plmn_valid = 1;
        x.current_plmn.mobile_country_code = static_cast<uint16_t>(atoi(d.mcc.c_str()));
        x.current_plmn.mobile_network_code = static_cast<uint16_t>(atoi(d.mnc.c_str()));
        put(x.current_plmn.network_description, d.operator_name);
        x.mnc_includes_pcs_digit_valid = 1;
        x.mnc_includes_pcs_digit = d.mnc.size() == 3 ? 1 : 0;
    }
    return x;
}

std::string modem_pkt_srvc_ind(const ModemEvent &e) {
    wds_pkt_srvc_status_ind_msg_v01 ind{};
    ind.pkt_data_handle = e.call;
    ind.connection_status = e.up ? WDS_CONNECTION_STATUS_CONNECTED_V01 : WDS_CONNECTION_STATUS_DISCONNECTED_V01;
    if (!e.up) {
        ind.call_end_reason_valid = 1;
        ind.call_end_reason = static_cast<uint16_t>(e.reason);
    }
    ind.ip_family = static_cast<uint8_t>(e.family);
    return bytes_of(ind);
}

std::string modem_qos_ind(const ModemEvent &e) {
    wds_qos_status_ind_msg_v01 ind{};
    ind.pkt_data_handle = e.call;
    ind.flow_id = e.flow;
    ind.status = static_cast<uint8_t>(e.reason);
    return bytes_of(ind);
}

bool modem_services_answer(ModemState &st, uint8_t service, uint16_t msg_id, const std::string &req, uint32_t owner,
                           std::string *resp) {
    switch (service) {
    case QMI_DMS_SERVICE_ID_V01:
        if (msg_id == QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01) *resp = dms_serials(st, req);
        else if (msg_id == QMI_DMS_GET_SW_VERSION_REQ_V01) *resp = dms_sw_version(st, req);
        else return false;
        return true;
    case QMI_UIM_SERVICE_ID_V01:
        if (msg_id == QMI_UIM_GET_CARD_STATUS_REQ_V01) *resp = uim_card_status(st, req);
        else if (msg_id == QMI_UIM_READ_TRANSPARENT_REQ_V01) *resp = uim_read_transparent(st, req);
        else if (msg_id == QMI_UIM_VERIFY_PIN_REQ_V01 || msg_id == QMI_UIM_SET_PIN_PROTECTION_REQ_V01 ||
                 msg_id == QMI_UIM_UNBLOCK_PIN_REQ_V01 || msg_id == QMI_UIM_CHANGE_PIN_REQ_V01)
            *resp = uim_pin_request(st, msg_id, req);
        else return false;
        return true;
    case QMI_NAS_SERVICE_ID_V01:
        if (msg_id == QMI_NAS_GET_SYS_INFO_REQ_MSG_V01) *resp = nas_sys_info(st, req);
        else if (msg_id == QMI_NAS_GET_SIGNAL_STRENGTH_REQ_MSG_V01) *resp = nas_signal(st, req);
        else if (msg_id == QMI_NAS_GET_CELL_LOCATION_INFO_REQ_MSG_V01) *resp = nas_cell_location(st, req);
        else return false;
        return true;
    case QMI_WDS_SERVICE_ID_V01:
        switch (msg_id) {
        case QMI_WDS_GET_PROFILE_SETTINGS_REQ_V01:
        case QMI_WDS_MODIFY_PROFILE_SETTINGS_REQ_V01:
        case QMI_WDS_CREATE_PROFILE_REQ_V01:
        case QMI_WDS_DELETE_PROFILE_REQ_V01:
            *resp = wds_profile_request(st, msg_id, req);
            return true;
        case QMI_WDS_START_NETWORK_INTERFACE_REQ_V01: *resp = wds_start(st, req, owner); return true;
        case QMI_WDS_STOP_NETWORK_INTERFACE_REQ_V01: *resp = wds_stop(st, req, owner); return true;
        case QMI_WDS_GET_RUNTIME_SETTINGS_REQ_V01: *resp = wds_runtime(st, req, owner); return true;
        case QMI_WDS_GET_DATA_BEARER_TECHNOLOGY_REQ_V01: *resp = wds_bearer(st, req, owner); return true;
        default: return false;
        }
    default:
        return false;
    }
}
