#include "cloud/orlin_handle.h"
#include "cloud/ota_verify.h"

#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "cloud/http_handle.h"
#include "cloud/mqtt_handle.h"
#include "cloud/uplink_buffer.h"
#include "core/iot_config.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "core/tavi_common.h"
#include "dfu/ctrl_boot.h"
#include "dfu/fw_image.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "telagent/iotsdk.h"
#include "vehicle/extra_info.h"
#include "vehicle/lock_link.h"
#include "vehicle/vehicle_state.h"


namespace {

struct cloud_buf_t {
    int32_t len;
    char topic[kCloudTopicLen];
    uint8_t data[kCloudDataLen];
};

// The pool: allocated once, a state per slot (0 free, 1 being filled, 2 ready)
// and an arrival number so the task runs requests in the order they came,
// whichever slot they landed in.
cloud_buf_t *cloudbuf_list[kCloudBufCount];
int cloudbuf_list_v[kCloudBufCount];
uint64_t cloudbuf_seq[kCloudBufCount];
uint64_t g_next_seq = 1;
// Never destroyed: the task waits on them for the life of the process, and
// an exit must not tear them down under it.
std::mutex &cloud_cmd_mutex = *new std::mutex;
std::condition_variable &cloud_recv_cond = *new std::condition_variable;
bool g_pending = false;  // a signal the task has not consumed yet
std::once_flag g_init_once;

// The one copy of the request body the handlers work on.
uint8_t body_buffer[kCloudDataLen];
std::mutex &body_get_mutex = *new std::mutex;

// The task's own copy of the request being run: the slot goes back to the pool
// as soon as it is taken, so 20 requests can wait behind a long download.
cloud_buf_t g_current;

constexpr const char *kCmdRespFmt = "zt/ebike/devices/%s/cmd/response/%s";
constexpr const char *kOtaRespFmt = "zt/ebike/devices/%s/ota/response/%s";
constexpr const char *kExtraRespFmt = "zt/ebike/devices/%s/extra_data/response/%s";

constexpr uint16_t kCmdBikeControl = 1;
constexpr uint16_t kCmdMotorLock = 2;
constexpr uint16_t kCmdLight = 3;
constexpr uint16_t kCmdSpeaker = 4;
constexpr uint16_t kCmdDiagnosis = 1001;
constexpr uint16_t kCmdReportInterval = 1002;
constexpr uint16_t kCmdSwitchServers = 1004;

constexpr size_t kCmdRespHead = 13;
constexpr size_t kExtraRespLen = 170;
constexpr size_t kOtaRespLen = 11;
// Largest frame whose text fits the shared 1024-character text buffer.
constexpr size_t kRespMax = kUplinkTextBuf / 2;
// A response that must go out before a reboot gets this long to be delivered.
constexpr int kDeliveryWaitMs = 5000;

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>(v >> 8);
}

bool url_char_ok(char c) { return c >= 32 && c <= 122 && c != '*'; }

// get_request_cmdValue: the body into body_buffer (cleared first).  Returns
// the number of bytes copied.  Caller holds body_get_mutex.
int get_request_cmdValue(const uint8_t *body, int len) {
    memset(body_buffer, 0, sizeof body_buffer);
    if (body == nullptr || len <= 0) return 0;
    if (len > static_cast<int>(sizeof body_buffer)) len = static_cast<int>(sizeof body_buffer);
    memcpy(body_buffer, body, static_cast<size_t>(len));
    return len;
}

// Publishes frame bytes [0, len) of `ub` on the response topic built from
// `fmt`.  1 when handed to the client.
int publish_response(UplinkBuffers &ub, const char *fmt, const char *id, int len) {
    printf("hex_len = %d\r\n", len);
    char imei[20] = {};
    if (get_imei_text(imei) < 10) {
        printf("IMEI get failed \r");
        return 0;
    }
    char topic[kCloudTopicLen];
    snprintf(topic, sizeof topic, fmt, imei, id);
    printf(" id: %s \r\n", id);
    printf(" %d /%s : pub topic:%s\n", __LINE__, __func__, topic);
    return ub.publish(topic, len);
}

// A reboot that follows a response waits (bounded) until the broker took it.
void reboot_after_response(void) {
    printf("ready to restart \r");
    fflush(stdout);
    mqtt_wait_delivered(kDeliveryWaitMs);
    reboot_system_now();
}

// ---- command table ------------------------------------------------------------

void iot_cmd_task_handle(const cmd_request_t &req, const char *id) {
    printf(" ## info->CmdId = %d \r\n", req.CmdId);
    switch (req.CmdId) {
    case kCmdBikeControl: printf(" ## BIKE_CONTROL \r"); break;
    case kCmdMotorLock: printf(" ## MOTOR_LOCK \r"); break;
    case kCmdLight: printf(" ## FLASH_LIGHT_CONTROL \r"); break;
    case kCmdSpeaker: printf(" ## SPEAKER_CONTROL \r"); return;
    case kCmdReportInterval: printf(" ## REPORT_INTERVAL \r"); break;
    case kCmdSwitchServers: printf(" ## SWITCH_SERVERS \r"); break;
    case kCmdDiagnosis: break;
    default: return;  // 0, the speaker and unknown ids: nothing, no response
    }

    std::lock_guard<std::mutex> body_lock(body_get_mutex);
    const int body_len = get_request_cmdValue(req.body, req.body_len);
    if (body_len == 0) {
        printf(" ## body_len = 0 \r");
        return;
    }
    printf("body_len = %d\r\n", body_len);

    uint16_t result = 0;
    const uint8_t *data = nullptr;
    int data_len = 2;
    uint8_t result_bytes[2];
    switch (req.CmdId) {
    case kCmdBikeControl: get_ctrl_ecu_info(body_buffer, &result); break;
    case kCmdMotorLock: get_ctrl_lock_info(body_buffer, &result); break;
    case kCmdLight: get_ctrl_light_info(body_buffer, &result); break;
    case kCmdReportInterval:
        set_mqtt_report_interval(body_buffer[0]);
        result = 1;
        break;
    case kCmdSwitchServers: result = static_cast<uint16_t>(handle_switch_servers(body_buffer, body_len)); break;
    case kCmdDiagnosis:
        // The echo is cut to what one response text can carry; the length
        // field says how much came back.
        data = body_buffer;
        data_len = body_len;
        if (data_len > static_cast<int>(kRespMax - kCmdRespHead)) {
            printf(" diagnosis echo cut: %d bytes, %d sent \r\n", data_len, static_cast<int>(kRespMax - kCmdRespHead));
            data_len = static_cast<int>(kRespMax - kCmdRespHead);
        }
        break;
    default: break;
    }
    if (data == nullptr) {
        put16(result_bytes, result);
        data = result_bytes;
        // The length follows the request's body: a one-byte body gets the
        // result's low byte alone; longer bodies keep both result bytes.
        if (body_len == 1 && req.CmdId != kCmdSwitchServers) data_len = 1;
    }

    int sent = 0;
    {
        UplinkBuffers ub;
        uint8_t *f = ub.frame();
        uplink_put_header(f, req.ident);
        f[8] = req.tag;
        put16(f + 9, req.CmdId);
        put16(f + 11, static_cast<uint16_t>(data_len));
        printf("dataValidLength = %d\r\n", data_len);
        memcpy(f + kCmdRespHead, data, static_cast<size_t>(data_len));
        sent = publish_response(ub, kCmdRespFmt, id, static_cast<int>(kCmdRespHead) + data_len);
    }
    if (req.CmdId == kCmdSwitchServers && result == 1) {
        if (sent != 1) printf(" response not handed to the client, restarting anyway \r\n");
        reboot_after_response();
    }
}

// ---- extra data -----------------------------------------------------------------

void post_iot_extra_message(const uint8_t ident[4], const char *id) {
    char iccid[32] = {};
    get_iccid(iccid);
    iccid[sizeof iccid - 1] = '\0';
    const size_t n = strlen(iccid);
    if (n <= 4) return;
    printf("## iccid %s \r\n", iccid);
    printf("## iccid_len %d \r\n", static_cast<int>(n));
    if (n == 19) {
        iccid[19] = '0';
        iccid[20] = '\0';
        printf("## iccid_20 %s \r\n", iccid);
    }

    uint8_t display[54], motor[106], gd[8], ble[15];
    memset(display, 0xFF, sizeof display);
    memset(motor, 0xFF, sizeof motor);
    memset(gd, 0xFF, sizeof gd);
    memset(ble, 0xFF, sizeof ble);
    if (get_BikeOnStatus() == 1) {
        get_extra_motor_info_t(motor);
        get_extra_display_info_t(display);
    } else {
        printf(" BikeOnStatus = POWER_OFF \r");
    }
    get_extra_gd_info_t(gd);
    get_extra_ble_info_t(ble);

    UplinkBuffers ub;
    uint8_t *f = ub.frame();
    uplink_put_header(f, ident);
    put16(f + 8, static_cast<uint16_t>(kExtraRespLen - 10));
    memcpy(f + 10, motor + 48, 4);   // motor software version
    memcpy(f + 14, motor + 52, 4);   // motor boot version
    pack_iccid(iccid, f + 18);
    memcpy(f + 28, motor + 24, 24);  // motor serial number
    memcpy(f + 52, "KBox40", 6);
    memcpy(f + 58, display + 0, 4);
    memcpy(f + 62, display + 4, 20);
    memcpy(f + 82, display + 24, 30);
    memcpy(f + 112, motor + 56, 20);
    memcpy(f + 132, motor + 76, 30);
    memcpy(f + 162, gd + 0, 4);
    memcpy(f + 166, ble + 5, 4);
    publish_response(ub, kExtraRespFmt, id, static_cast<int>(kExtraRespLen));
}

// ---- OTA ------------------------------------------------------------------------------

// A detached signature: one try, a few bytes.
int fetch_signature(const char *url, const char *save_path) {
    char host[64] = {};
    char path[256] = {};
    uint16_t port = 0;
    unsigned char digest[16];
    if (strlen(url) >= 256 || get_url_info(url, host, &port, path) != 1) return 0;
    return http_get_bounded(host, port, path, save_path, digest, 1, 4096);
}

// Downloads `url` to `save_path` in up to `attempts` tries.  Each try goes to
// "<save_path>.part", moved into place only when whole, so the file a
// controller update reads is the old one or a complete new one, and no part
// of a failed download is left behind.  A body above max_body bytes (what the
// target's reader takes) is refused before it is written.  1 on success.
int ota_download(const char *url, const char *save_path, int attempts, int64_t max_body) {
    const std::string tmp = std::string(save_path) + ".part";
    const std::string tmp_path = plat_path(tmp);
    for (int i = 0; i < attempts; ++i) {
        char imei[20] = {};
        char host[64] = {};
        char path[256] = {};
        uint16_t port = 0;
        if (get_imei_text(imei) < 10 || get_url_info(url, host, &port, path) != 1) continue;
        printf("port: %d\r\n", port);
        printf("hostip: %s\r\n", host);
        printf("querybuf: %s\r\n", path);
        unsigned char digest[16];
        if (http_get_limited(host, port, path, tmp.c_str(), digest, max_body) == 1) {
            // Nothing downloaded is used before its signature is checked (when
            // the operator's key is provisioned); a bad one is not fetched again.
            if (ota_verify_signature(url, tmp.c_str(), fetch_signature) != 1) return 0;
            if (rename(tmp_path.c_str(), plat_path(save_path).c_str()) == 0) return 1;
            printf(" rename %s failed: %s \r\n", tmp.c_str(), strerror(errno));
        }
        remove(tmp_path.c_str());
        printf("## http_get failed \r");
        plat_sleep_s(1);
    }
    remove(tmp_path.c_str());
    return 0;
}

// Largest file each controller's HEX reader takes.
int64_t hex_cap(FwTarget t) { return static_cast<int64_t>(fw_target_info(t).max_file); }

// Self-update: the new library is renamed into place only once it is whole,
// never over the running one.
int ota_self_update(const char *url) {
    char current[65] = {};
    if (get_so_libiot(current, sizeof current) <= 0) printf("get_so_libiot()=0  \r");
    const char *target = self_update_target(get_lib_load_telagent_name_type());
    printf("%s \r", strstr(target, "Ex") != nullptr ? "savefile is libTelAgentEx.so" : "savefile is libTelAgent.so");
    if (ota_download(url, target, 5, kHttpMaxBody) != 1) return 0;
    if (set_so_libiot(target) != 1) {
        printf(" libiot.ini not written \r\n");
        return 0;
    }
    return 1;
}

void iot_ota_task_handle(const ota_request_t &req, const char *id) {
    const char *name = nullptr;
    switch (req.target) {
    case 1: name = " ## OTA_MC \r"; break;
    case 3: name = " ## OTA_Display \r"; break;
    case 6: name = " ## OTA_HOSTCORE \r"; break;
    case 7: printf(" ## OTA_BLE \r"); return;
    case 8: name = " ## OTA_GD32 \r"; break;
    default: return;
    }
    set_ota_mode(1);
    printf("%s", name);
    printf("IoTVersion =%x \r\n", static_cast<unsigned>(req.version[0] | req.version[1] << 8 | req.version[2] << 16 |
                                                       static_cast<unsigned>(req.version[3]) << 24));
    printf("TargetAddress =%d \r\n", req.target);
    printf("dataValidLength =%d \r\n", req.body_len);

    char url[256] = {};
    {
        std::lock_guard<std::mutex> body_lock(body_get_mutex);
        const int n = get_request_cmdValue(req.body, req.body_len);
        if (n == 0) {
            printf(" ## body_len = 0 \r");
            set_ota_mode(0);
            return;
        }
        ReverseTab(body_buffer, n);
        // A URL longer than 255 characters is not usable; every attempt fails.
        if (n < static_cast<int>(sizeof url)) memcpy(url, body_buffer, static_cast<size_t>(n));
        else printf(" url too long: %d \r\n", n);
    }
    printf("url_Info = %s \r\n", url);

    int status = 0;
    switch (req.target) {
    case 1: {
        printf("mcu_id[0] = %d \r\n", req.mcu_id);
        const char *file = req.mcu_id == 1 ? "/iot/conf/HM52.hex" : "/iot/conf/KD11.hex";
        const int ok = ota_download(url, file, 3, hex_cap(req.mcu_id == 1 ? FW_HM52 : FW_KD11));
        printf("## ready_to_upgrade \r");
        if (ok == 1) {
            status = handle_ota_motor_task(req.mcu_id);
            printf("ota_motor_end = %d \r\n", status);
        }
        break;
    }
    case 3: {
        const int ok = ota_download(url, "/iot/conf/LP77_CAN.hex", 3, hex_cap(FW_DISPLAY));
        printf("## ready_to_upgrade \r");
        if (ok == 1) {
            status = handle_ota_diaplay_task();
            printf("ota_display_end = %d \r\n", status);
        }
        break;
    }
    case 8:
        if (ota_download(url, "/iot/conf/GD32.hex", 3, hex_cap(FW_GD32)) == 1) {
            printf("## ready_to_upgrade \r");
            status = handle_ota_gd_task();
            printf("ota_gd_end = %d \r\n", status);
        }
        break;
    case 6: status = ota_self_update(url); break;
    default: break;
    }

    int sent = 0;
    {
        UplinkBuffers ub;
        uint8_t *f = ub.frame();
        memcpy(f, kUplinkMagic, 4);
        memcpy(f + 4, req.ident, 4);
        f[8] = req.target;
        f[9] = static_cast<uint8_t>(status);
        f[10] = 0;
        sent = publish_response(ub, kOtaRespFmt, id, static_cast<int>(kOtaRespLen));
    }
    set_ota_mode(0);
    if (req.target == 6 && status == 1) {
        if (sent != 1) printf(" response not handed to the client, restarting anyway \r\n");
        set_systerm_backup(1);
        reboot_after_response();
    }
}

// ---- task ------------------------------------------------------------------------------

// Takes the oldest ready request into g_current and frees its slot.  False
// when none is ready.
bool take_oldest_ready(void) {
    std::lock_guard<std::mutex> lk(cloud_cmd_mutex);
    int best = -1;
    for (int i = 0; i < kCloudBufCount; ++i) {
        if (cloudbuf_list[i] == nullptr || cloudbuf_list_v[i] != 2) continue;
        if (best < 0 || cloudbuf_seq[i] < cloudbuf_seq[best]) best = i;
    }
    if (best < 0) return false;
    printf(" cloud_recv_info_t_get: %x \n", best);
    memcpy(&g_current, cloudbuf_list[best], sizeof g_current);
    cloudbuf_list_v[best] = 0;
    printf("free_new_cloudbuf: %d,%x\r\n", best, 0);
    return true;
}

void run_current(void) {
    g_current.topic[kCloudTopicLen - 1] = '\0';
    printf(" topic: %s \r\n", g_current.topic);
    int len = g_current.len;
    if (len < 0 || len > static_cast<int>(kCloudDataLen)) len = 0;
    dhex("--->>> data <<<---", g_current.data, len);

    char id[kRequestIdMax + 1] = {};
    const char *why = nullptr;
    const cloud_kind_t kind = cloud_topic_parse(g_current.topic, id, &why);
    if (kind == CLOUD_NONE) {
        if (why != nullptr) printf("%s \r", why);
        return;
    }
    switch (kind) {
    case CLOUD_EXTRA_DATA:
        printf(" ## extra_data \r");
        if (len < 8) {
            printf(" request malformed: %d bytes \r\n", len);
            return;
        }
        post_iot_extra_message(g_current.data + 4, id);
        break;
    case CLOUD_CMD: {
        printf(" ## cmd \r");
        cmd_request_t req;
        if (parse_cmd_request(g_current.data, len, &req) != 1) {
            if (len == 0) printf(" ## body_len = 0 \r");
            else printf(" request malformed: %d bytes \r\n", len);
            return;
        }
        iot_cmd_task_handle(req, id);
        break;
    }
    case CLOUD_OTA: {
        printf(" ## ota \r");
        ota_request_t req;
        if (parse_ota_request(g_current.data, len, &req) != 1) {
            if (len == 0) printf(" ## body_len = 0 \r");
            else printf(" request malformed: %d bytes \r\n", len);
            return;
        }
        iot_ota_task_handle(req, id);
        break;
    }
    default: break;  // adv: received and discarded
    }
}

}  // namespace

// ---- receive handler -------------------------------------------------------------

int dev_yun_recv_handler(const char *topic, const char *payload, int len) {
    if (topic == nullptr || payload == nullptr) return 0;
    int slot = -1;
    {
        std::lock_guard<std::mutex> lk(cloud_cmd_mutex);
        for (int i = 0; i < kCloudBufCount; ++i) {
            if (cloudbuf_list[i] != nullptr && cloudbuf_list_v[i] == 0) {
                slot = i;
                cloudbuf_list_v[i] = 1;
                break;
            }
        }
    }
    if (slot < 0) {
        printf(" cloud get new buf failed ");
        return 0;
    }
    cloud_buf_t *b = cloudbuf_list[slot];
    printf("get_new_cloudbuf: %d,%x,%x\r\n", slot, 1, len);
    memset(b->topic, 0, sizeof b->topic);
    memset(b->data, 0, sizeof b->data);
    snprintf(b->topic, sizeof b->topic, "%s", topic);
    b->len = 0;
    if (len > 0 && len <= kCloudPayloadMax) {
        b->len = at_chars_to_hex(payload, b->data, len, static_cast<int>(sizeof b->data));
    }
    {
        std::lock_guard<std::mutex> lk(cloud_cmd_mutex);
        cloudbuf_seq[slot] = g_next_seq++;
        cloudbuf_list_v[slot] = 2;
        g_pending = true;
        printf("push_cloudbuf_to_handle: %d,%x \r\n", slot, 2);
    }
    cloud_recv_cond.notify_one();
    return 1;
}

int handle_cloud_recv_task(void) {
    int n = 0;
    while (take_oldest_ready()) {
        run_current();
        ++n;
    }
    return n;
}

void *handle_cloud_recv_loop(void *) {
    plat_set_thread_name("tel-cloudreq");
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(cloud_cmd_mutex);
            cloud_recv_cond.wait_for(lk, std::chrono::seconds(10), [] { return g_pending; });
            g_pending = false;
        }
        handle_cloud_recv_task();
    }
    return nullptr;
}

int init_orlin_pool(void) {
    std::lock_guard<std::mutex> lk(cloud_cmd_mutex);
    for (int i = 0; i < kCloudBufCount; ++i) {
        if (cloudbuf_list[i] != nullptr) continue;
        cloudbuf_list[i] = static_cast<cloud_buf_t *>(calloc(1, sizeof(cloud_buf_t)));
        cloudbuf_list_v[i] = 0;
    }
    return 1;
}

int init_orlin_handle(void) {
    std::call_once(g_init_once, [] {
        init_orlin_pool();
        pthread_t t;
        if (pthread_create(&t, nullptr, handle_cloud_recv_loop, nullptr) == 0) {
            pthread_detach(t);
        } else {
            printf("%d/%s cloud request task not started\n", __LINE__, __func__);
        }
    });
    return 1;
}

int cloud_free_buffers(void) {
    std::lock_guard<std::mutex> lk(cloud_cmd_mutex);
    int n = 0;
    for (int i = 0; i < kCloudBufCount; ++i)
        if (cloudbuf_list[i] != nullptr && cloudbuf_list_v[i] == 0) ++n;
    return n;
}

// ---- parsing -------------------------------------------------------------------------

cloud_kind_t cloud_topic_parse(const char *topic, char id[kRequestIdMax + 1], const char **why) {
    if (why != nullptr) *why = nullptr;
    if (id != nullptr) id[0] = '\0';
    if (topic == nullptr || id == nullptr) return CLOUD_NONE;
    // Levels are compared whole: ".../<kind>/request/<id>", so an id that
    // happens to contain "cmd" or "ota" does not change where the request goes.
    const char *last = strrchr(topic, '/');
    const char *req = nullptr;
    if (last != nullptr && last - topic >= 8 && strncmp(last - 8, "/request", 8) == 0) req = last - 8;
    if (req == nullptr) {
        if (why != nullptr) *why = "!pos";
        return CLOUD_NONE;
    }
    const char *rest = last + 1;
    size_t idlen = strlen(rest);
    if (idlen == 0) {
        if (why != nullptr) *why = "!ret";
        return CLOUD_NONE;
    }
    // Backends with UUID-style ids send 36 characters: the request still runs,
    // answered under the id cut to what the box keeps.
    if (idlen > kRequestIdMax) {
        printf(" request id cut to %d characters \r\n", static_cast<int>(kRequestIdMax));
        idlen = kRequestIdMax;
    }
    for (size_t i = 0; i < idlen; ++i) {
        const unsigned char c = static_cast<unsigned char>(rest[i]);
        if (c <= ' ' || c == '+' || c == '#' || c > 126) {
            if (why != nullptr) *why = "!ret";
            return CLOUD_NONE;
        }
    }
    const char *kind_end = req;
    const char *kind_start = kind_end;
    while (kind_start > topic && kind_start[-1] != '/') --kind_start;
    const std::string kind(kind_start, static_cast<size_t>(kind_end - kind_start));
    memcpy(id, rest, idlen);
    id[idlen] = '\0';
    if (kind == "extra_data") return CLOUD_EXTRA_DATA;
    if (kind == "cmd") return CLOUD_CMD;
    if (kind == "ota") return CLOUD_OTA;
    if (kind == "adv") return CLOUD_ADV;
    return CLOUD_NONE;
}

int parse_cmd_request(const uint8_t *f, int len, cmd_request_t *out) {
    if (f == nullptr || out == nullptr || len < static_cast<int>(kCmdRespHead) || len > static_cast<int>(kCloudDataLen))
        return 0;
    const uint16_t body_len = le16(f + 11);
    // The length must match what arrived and fit the body buffer.
    if (static_cast<int>(kCmdRespHead) + body_len > len || body_len > kCloudDataLen) return 0;
    memcpy(out->ident, f + 4, 4);
    out->tag = f[8];
    out->CmdId = le16(f + 9);
    out->body_len = body_len;
    out->body = f + kCmdRespHead;
    return 1;
}

int parse_ota_request(const uint8_t *f, int len, ota_request_t *out) {
    if (f == nullptr || out == nullptr || len < 11 || len > static_cast<int>(kCloudDataLen)) return 0;
    const uint16_t body_len = le16(f + 9);
    if (11 + body_len > len || body_len > kCloudDataLen) return 0;
    memcpy(out->version, f, 4);
    memcpy(out->ident, f + 4, 4);
    out->target = f[8];
    out->body_len = body_len;
    out->body = f + 11;
    out->has_mcu_id = 11 + body_len < len;
    // Without the byte the controller id stays 0: the KD11 controller.
    out->mcu_id = out->has_mcu_id ? f[11 + body_len] : 0;
    return 1;
}

// ---- helpers -------------------------------------------------------------------------

void ReverseTab(uint8_t *buf, int len) {
    if (buf == nullptr || len < 2) return;
    for (int i = 0, j = len - 1; i < j; ++i, --j) {
        const uint8_t t = buf[i];
        buf[i] = buf[j];
        buf[j] = t;
    }
}

int get_url_info(const char *url, char *host, uint16_t *port, char *path) {
    if (url == nullptr || host == nullptr || port == nullptr || path == nullptr) return 0;
    host[0] = '\0';
    path[0] = '\0';
    const char *p = strstr(url, "https://");
    const bool https = p != nullptr;
    if (https) {
        p += 8;
    } else if ((p = strstr(url, "http://")) != nullptr) {
        p += 7;
    } else {
        printf("Invalid url\r");
        return 0;
    }
    // The URL ends at the first blank.
    size_t end = 0;
    while (p[end] != '\0' && p[end] != ' ' && p[end] != '\r' && p[end] != '\n' && p[end] != '\t') ++end;
    const std::string u(p, end);
    const size_t slash = u.find('/');
    if (slash == std::string::npos) {
        printf("pos =0\r");
        return 0;
    }
    std::string h;
    long portv = 80;
    if (https) {
        h = u.substr(0, slash);
        printf("query: %s\r\n", u.c_str() + slash);
    } else {
        // An explicit port is required in this form.
        const size_t colon = u.find(':');
        if (colon == std::string::npos || colon > slash) {
            printf("!ret \r");
            return 0;
        }
        h = u.substr(0, colon);
        const std::string ps = u.substr(colon + 1, slash - colon - 1);
        if (ps.empty() || ps.size() > 5 || ps.find_first_not_of("0123456789") != std::string::npos) {
            printf("!ret \r");
            return 0;
        }
        portv = strtol(ps.c_str(), nullptr, 10);
        printf("url_link: %s\r\n", u.c_str());
    }
    if (h.empty() || h.size() > 63 || portv < 1 || portv > 65535) {
        printf("!ret \r");
        return 0;
    }
    for (char c : h) {
        if (!url_char_ok(c)) {
            printf("!ret \r");
            return 0;
        }
    }
    const std::string q = u.substr(slash);
    if (q.size() > 255) {
        printf("!ret \r");
        return 0;
    }
    memcpy(host, h.c_str(), h.size() + 1);
    memcpy(path, q.c_str(), q.size() + 1);
    *port = static_cast<uint16_t>(portv);
    if (!https) printf("querybuf: %s\r\n", path);
    return 1;
}

int handle_switch_servers(uint8_t *body, int len) {
    if (body == nullptr || len <= 0) return 0;
    if (len > static_cast<int>(kCloudDataLen)) len = static_cast<int>(kCloudDataLen);
    ReverseTab(body, len);
    const std::string text(reinterpret_cast<const char *>(body), static_cast<size_t>(len));
    // handle_mqtt_info: host:port or host:port,user,password
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || colon > 63) return 0;
    const std::string host = text.substr(0, colon);
    for (char c : host)
        if (!url_char_ok(c)) return 0;
    const size_t c1 = text.find(',', colon + 1);
    const std::string port_s = text.substr(colon + 1, c1 == std::string::npos ? std::string::npos : c1 - colon - 1);
    if (port_s.empty() || port_s.size() > 5 || port_s.find_first_not_of("0123456789") != std::string::npos) return 0;
    const long port = strtol(port_s.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) return 0;
    std::string user, pass;
    bool has_user = false, has_pass = false;
    if (c1 != std::string::npos) {
        const size_t c2 = text.find(',', c1 + 1);
        if (c2 != std::string::npos) {
            has_user = true;
            user = text.substr(c1 + 1, c2 - c1 - 1);
            // A third comma leaves the password as it is.
            if (text.find(',', c2 + 1) == std::string::npos) {
                has_pass = true;
                pass = text.substr(c2 + 1);
            }
        }
    }
    // Everything is checked before anything is stored: a half-applied broker
    // record would take the box to a server that does not exist.
    if (user.size() > 31 || pass.size() > 31 || user.find('\0') != std::string::npos ||
        pass.find('\0') != std::string::npos)
        return 0;
    // One write for the whole record: a failure leaves the previous one whole.
    const broker_switch_t sw{host.c_str(), static_cast<int>(port), has_user ? user.c_str() : nullptr,
                             has_pass ? pass.c_str() : nullptr, false};
    if (apply_broker_record(&sw) != 1) return 0;
    printf("mqtt_conf.hostip = %s \r\n", host.c_str());
    if (c1 != std::string::npos) printf("mqtt_conf.port: %d\r\n", static_cast<int>(port));
    else printf("port: %d\r\n", static_cast<int>(port));
    if (has_user) printf("mqtt_conf.user_name = %s \r\n", user.c_str());
    if (has_pass) printf("mqtt_conf.user_pass = %s \r\n", pass.c_str());
    return 1;
}

void pack_iccid(const char *iccid, uint8_t out[10]) {
    char digits[20];
    memset(digits, '0', sizeof digits);
    if (iccid != nullptr) {
        for (size_t i = 0; i < sizeof digits && iccid[i] != '\0'; ++i) digits[i] = iccid[i];
    }
    auto nib = [](char c) -> uint8_t {
        if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
        if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
        return 0;
    };
    for (int i = 0; i < 10; ++i) out[i] = static_cast<uint8_t>(nib(digits[2 * i]) << 4 | nib(digits[2 * i + 1]));
}

const char *self_update_target(int load_type) {
    return load_type == 2 ? "/iot/lib/libTelAgent.so" : "/iot/lib/libTelAgentEx.so";
}
