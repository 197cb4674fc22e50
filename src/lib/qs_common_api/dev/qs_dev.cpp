// Device identity: DMS serial numbers and software version (kept once
// known), model, manufacturer and hardware version over AT.
#include "lib/qs_common_api/dev/qs_dev.h"

#include <cstring>
#include <mutex>

#include "lib/qs_common_api/dev/qs_at.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/dms/src/qs_qmi_dms.h"
#include "platform/qmi_services_v01.h"

#define DEV_LOG(level, ...) qs_ol_log((level), "dev/qs_dev", __func__, __LINE__, __VA_ARGS__)

namespace {

constexpr unsigned kDmsTimeoutMs = 10000;
constexpr size_t kValueMax = 33;

// Answers of the modem that do not change while it runs.
struct DeviceInfo {
    char sw_version[kValueMax];
    bool sw_cached;
    char esn[kValueMax];
    char imei[kValueMax];
    char meid[kValueMax];
    bool serials_cached;  // only once all three are known
};

std::mutex g_info_lock;
DeviceInfo g_info{};

// Copies at most `max` characters of src, cut to the destination.
template <size_t N>
void keep(char (&dst)[N], const char *src, size_t max) {
    const size_t len = strnlen(src, max);
    const size_t n = len < N - 1 ? len : N - 1;
    memcpy(dst, src, n);
    dst[n] = '\0';
}

// Clears the caller's buffer and copies the value, cut to its length (a value
// that fills it is not terminated).
void hand_out(char *buf, int len, const char *value) {
    if (len <= 0) return;
    const size_t room = static_cast<size_t>(len);
    memset(buf, 0, room);
    const size_t n = strnlen(value, kValueMax);
    memcpy(buf, value, n < room ? n : room);
}

qmi_client_type dms() {
    if (qs_qmi_dms_client_init() != 0) {
        DEV_LOG(QS_OL_LOG_ERROR, "[DMS]qmi_dms_init failed.");
        return nullptr;
    }
    return get_qmi_dms_svc_client();
}

// Under g_info_lock.
int load_serials_locked() {
    if (g_info.serials_cached) return 0;
    qmi_client_type c = dms();
    if (c == nullptr) return -1;
    dms_get_device_serial_numbers_resp_msg_v01 r{};
    const int rc = qmi_client_send_msg_sync(c, QMI_DMS_GET_DEVICE_SERIAL_NUMBERS_REQ_V01, nullptr, 0, &r, sizeof r,
                                            kDmsTimeoutMs);
    if (rc != QMI_NO_ERR) {
        DEV_LOG(QS_OL_LOG_ERROR, "[DMS]qmi get serial numbers error:%d", rc);
        return -1;
    }
    if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
        DEV_LOG(QS_OL_LOG_ERROR, "[DMS]qmi get serial numbers result=%d, error=%d", r.resp.result, r.resp.error);
        return -1;
    }
    keep(g_info.esn, r.esn_valid ? r.esn : "", sizeof r.esn);
    keep(g_info.imei, r.imei_valid ? r.imei : "", sizeof r.imei);
    keep(g_info.meid, r.meid_valid ? r.meid : "", sizeof r.meid);
    g_info.serials_cached = g_info.esn[0] != '\0' && g_info.imei[0] != '\0' && g_info.meid[0] != '\0';
    return 0;
}

enum Serial { kImei, kMeid, kEsn };

int get_serial(Serial which, char *buf, int len) {
    std::lock_guard<std::mutex> hold(g_info_lock);
    if (load_serials_locked() != 0) return -1;
    hand_out(buf, len, which == kImei ? g_info.imei : which == kMeid ? g_info.meid : g_info.esn);
    return 0;
}

// "AT<cmd>" and the text after `prefix` up to the line end.
int at_value(const char *cmd, const char *prefix, char *buf, int len) {
    char reply[kQsAtReplySize] = {};
    if (qs_at_exchange(cmd, reply, 0) != 0) {
        DEV_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    const char *p = strstr(reply, prefix);
    if (p == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "at response error.");
        return -1;
    }
    p += strlen(prefix);
    const char *end = strstr(p, "\r\n");
    const size_t n = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (len <= 0) return 0;
    const size_t room = static_cast<size_t>(len);
    memset(buf, 0, room);
    memcpy(buf, p, n < room ? n : room);
    return 0;
}

}  // namespace

int QS_DEV_GetImei(char *imei, int len) {
    if (imei == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:imei is null.");
        return -1;
    }
    return get_serial(kImei, imei, len);
}

int QS_DEV_GetMeid(char *meid, int len) {
    if (meid == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:meid is null.");
        return -1;
    }
    return get_serial(kMeid, meid, len);
}

int QS_DEV_GetEsn(char *esn, int len) {
    if (esn == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:esn is null.");
        return -1;
    }
    return get_serial(kEsn, esn, len);
}

int QS_DEV_GetFirmwareVersion(char *version, int len) {
    if (version == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:version is null.");
        return -1;
    }
    std::lock_guard<std::mutex> hold(g_info_lock);
    if (!g_info.sw_cached) {
        qmi_client_type c = dms();
        if (c == nullptr) return -1;
        dms_get_sw_version_resp_msg_v01 r{};
        const int rc =
            qmi_client_send_msg_sync(c, QMI_DMS_GET_SW_VERSION_REQ_V01, nullptr, 0, &r, sizeof r, kDmsTimeoutMs);
        if (rc != QMI_NO_ERR) {
            DEV_LOG(QS_OL_LOG_ERROR, "[DMS]qmi get sw_version error:%d", rc);
            return -1;
        }
        if (r.resp.result != QMI_RESULT_SUCCESS_V01) {
            DEV_LOG(QS_OL_LOG_ERROR, "[DMS]qmi get sw_version result=%d, error=%d", r.resp.result, r.resp.error);
            return -1;
        }
        keep(g_info.sw_version, r.sw_version, sizeof r.sw_version);
        g_info.sw_cached = true;
    }
    hand_out(version, len, g_info.sw_version);
    return 0;
}

int QS_DEV_GetDeviceModel(char *model, int len) {
    if (model == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:model is null.");
        return -1;
    }
    return at_value("AT+CGMM", "+CGMM: ", model, len);
}

int QS_DEV_GetManufacturer(char *manufacturer, int len) {
    if (manufacturer == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:manufacturer is null.");
        return -1;
    }
    return at_value("AT+CGMI", "+CGMI: ", manufacturer, len);
}

int QS_DEV_GetHardwareVersion(char *hwversion, int len) {
    if (hwversion == nullptr) {
        DEV_LOG(QS_OL_LOG_ERROR, "parameter error:hwversion is null.");
        return -1;
    }
    return at_value("AT+SFHW", "+SFHW: ", hwversion, len);
}
