#include "sensor/sensor_handle.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/sys_utils.h"
#include "core/tavi_common.h"
#include "platform/plat_clock.h"
#include "platform/plat_node.h"
#include "telagent/logging.h"
#include "platform/plat_thread.h"

namespace {

constexpr int kNoDevice = 255;
constexpr int kProbeDevices = 4;  // the driver registers its devices among input0..input3
constexpr const char *kInputNode = "/sys/devices/virtual/input/input%d/%s";
constexpr const char *kCodecPower = "/sys/bus/i2c/drivers/bmi160/codec_power";
constexpr int kLnaGpio = 4;
constexpr int kCanGpio = 7;

constexpr float kAccDefault = 16384.0f;
// The driver's range tables count per degree per second; we keep counts per
// radian per second with the factor the firmware has always used (360/6.283).
constexpr float kGyroDefault = 938.7618f;
constexpr float kPi = 3.1415927410125732f;
constexpr float kDt = 0.1f;
constexpr int kDiscardReads = 9;   // the chip's first samples after enabling are unsettled
constexpr float kMoveDeg = 3.0f;
constexpr float kTiltDeg = 45.0f;
constexpr uint8_t kAlarmTilt = 0x01;
constexpr uint8_t kAlarmMovedLocked = 0x02;

std::atomic<int> bmi160_accel_fid{kNoDevice};
std::atomic<int> bmi160_gyro_fid{kNoDevice};
std::atomic<float> gsensor_acc_value{kAccDefault};
std::atomic<float> gsensor_gyro_value{kGyroDefault};
std::atomic<int> mdm_gsensor_enable{0};
std::atomic<int> m_iot_sensor_type{0};
std::atomic<int> m_gsensor_level{3};
std::atomic<int> g_param1{10}, g_param2{60};
std::atomic<int> g_lna_status{0};
std::atomic<bool> g_thread_started{false};

// Motion thread state.  The filters and windows belong to that thread alone;
// what others may look at is atomic.
Kalman_t KalmanX = kalman_initial();
Kalman_t KalmanY = kalman_initial();
struct OffsetWindow {
    std::array<float, 5> slot{};
    uint8_t count = 0;
};
OffsetWindow g_pitch_win, g_roll_win;
int g_reads = 0;
bool g_pitch_seeded = false, g_roll_seeded = false;
std::atomic<float> pitch_raw{0.0f}, roll_raw{0.0f}, g_kpitch{0.0f}, g_kroll{0.0f};

// Set here, cleared by the GNSS loop.
std::atomic<uint8_t> BikeMoveStatus{0};
// Set here, read and cleared by the telemetry report.
std::atomic<uint8_t> alarm_info{0};
// Alarm bits the host has been told about; the motion thread's own record.
std::atomic<uint8_t> g_alarm_told{0};
std::atomic<sensor_event_cb_t> g_event_cb{nullptr};
// The motor lock state lives in the vehicle link, above this module.
std::atomic<int (*)(void)> g_lock_status{nullptr};

// Reads a sysfs text node into buf, always terminated, whatever the helper's
// idea of the last byte is.  Bytes read, or -1.
template <size_t N>
int read_node_text(const char *path, std::array<char, N> &buf) {
    static_assert(N >= 4);
    int n = get_file_buf(path, buf.data(), static_cast<int>(N - 1));
    if (n < 0) {
        buf[0] = '\0';
        return -1;
    }
    if (n > static_cast<int>(N - 1)) n = static_cast<int>(N - 1);
    buf[static_cast<size_t>(n)] = '\0';
    return n;
}

bool node_path(int fid, const char *node, char *out, size_t cap) {
    if (fid < 0 || fid >= kNoDevice) return false;
    int n = snprintf(out, cap, kInputNode, fid, node);
    return n > 0 && static_cast<size_t>(n) < cap;
}

int write_node(int fid, const char *node, const char *text) {
    char path[128];
    if (!node_path(fid, node, path, sizeof path)) return 0;
    return set_file_buf(path, "%s", text) != 0 ? 1 : 0;
}

// Bytes read from a node of device fid, or -1.
template <size_t N>
int read_node(int fid, const char *node, std::array<char, N> &buf) {
    char path[128];
    if (!node_path(fid, node, path, sizeof path)) {
        buf[0] = '\0';
        return -1;
    }
    return read_node_text(path, buf);
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// One decimal integer within int32 starting at *p (leading blanks skipped);
// advances *p past it.
bool take_int(const char **p, int *out) {
    const char *s = *p;
    while (is_blank(*s)) ++s;
    if (*s != '-' && *s != '+' && (*s < '0' || *s > '9')) return false;
    errno = 0;
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (end == s || errno == ERANGE || v < INT_MIN || v > INT_MAX) return false;
    *out = static_cast<int>(v);
    *p = end;
    return true;
}

bool only_blanks(const char *p) {
    while (*p != '\0') {
        if (!is_blank(*p)) return false;
        ++p;
    }
    return true;
}

// Reading record from a value node.  Longer texts than the node ever holds
// are refused rather than cut into plausible numbers.
enum class ReadResult { ok, short_read, bad_text };
ReadResult read_counts(int fid, const char *node, float scale, iot_sensor_data_t *out) {
    // The value nodes are read ten times a second: each reading thread keeps
    // them open and re-reads them from the start.
    // The path is built when the device number changes, not on every pass.
    struct Kept {
        PlatNode node;
        int fid = -1;
        char path[128] = {};
    };
    static thread_local Kept acc_node, gyro_node;
    Kept &kept = strcmp(node, "gyro_value") == 0 ? gyro_node : acc_node;
    if (kept.fid != fid) {
        kept.fid = node_path(fid, node, kept.path, sizeof kept.path) ? fid : -1;
    }
    std::array<char, 48> buf{};
    int n = kept.fid >= 0 ? kept.node.read(kept.path, buf.data(), buf.size()) : -1;
    if (n < 2) return ReadResult::short_read;
    int c[3];
    if (n > 32 || sensor_parse_counts(buf.data(), c) != 1) return ReadResult::bad_text;
    out->x = static_cast<float>(c[0]) / scale;
    out->y = static_cast<float>(c[1]) / scale;
    out->z = static_cast<float>(c[2]) / scale;
    return ReadResult::ok;
}

int set_checked(const char *func, int line, int fid, const char *node, int value, int lo, int hi) {
    if (value < lo || value > hi) {
        tavi_log(LOG_ERROR, "%d/%s failed.\n", line, func);
        return -1;
    }
    char text[16];
    snprintf(text, sizeof text, "%d", value);
    if (write_node(fid, node, text) != 1) {
        tavi_log(LOG_ERROR, "%d/%s set_file_buf [%d][%s] failed.\n", line, func, fid, text);
        return 0;
    }
    return 1;
}

int get_checked(const char *func, int line, int fid, const char *node, int *out) {
    if (out == nullptr) return 0;
    std::array<char, 66> buf{};
    int v = 0;
    if (read_node(fid, node, buf) < 1 || sensor_parse_int(buf.data(), &v) != 1) {
        tavi_log(LOG_ERROR, "%d/%s get_file_buf [%d] failed.\n", line, func, fid);
        return 0;
    }
    *out = v;
    return 1;
}

void tell_host(const char *value) {
    sensor_event_cb_t cb = g_event_cb.load();
    if (cb != nullptr) cb("gsensor", value);
}

// The host hears of each alarm bit once when it rises, and "normal" once the
// telemetry report has taken and cleared the byte.  Telling it on every sample
// above the threshold would flood it ten times a second while a locked bike is
// pushed away; telling it only when the report clears would be up to a whole
// reporting interval late for a theft.
void raise_alarm(uint8_t bit) {
    alarm_info.fetch_or(bit);
    uint8_t told = g_alarm_told.load();
    if ((told & bit) == 0) {
        g_alarm_told.store(static_cast<uint8_t>(told | bit));
        tell_host(bit == kAlarmMovedLocked ? "motion" : "fall");
    }
}

void tell_if_cleared() {
    if (g_alarm_told.load() != 0 && alarm_info.load() == 0) {
        g_alarm_told.store(0);
        tell_host("normal");
    }
}

float window_step(OffsetWindow *w, float angle) {
    if (w->count <= 4) {
        w->slot[w->count] = angle;
        ++w->count;
        return 0.0f;
    }
    w->count = 0;
    return my_fabs(w->slot[4] - w->slot[0]);
}

bool in_service() {
    if (get_factory_mode() != 0) return false;
    return get_workingMode() == 1 || get_TestMode() == 1;
}

}  // namespace

// ---- settings ---------------------------------------------------------------

int set_mdm_measure_gsensor_para_cmd(int level) {
    m_gsensor_level = level;
    return 1;
}

int get_mdm_measure_gsensor_para(int *level) {
    if (level == nullptr) return 0;
    *level = m_gsensor_level;
    return 1;
}

int iot_set_measure_gsensor(int level, int param1, int param2) {
    if (level < 0 || level > 9) return 0;
    set_mdm_measure_gsensor_para_cmd(level);
    g_param1 = param1;
    g_param2 = param2;
    return 1;
}

int iot_get_measure_gsensor(int *level, int *param1, int *param2) {
    if (level == nullptr && param1 == nullptr && param2 == nullptr) return 0;
    if (level) *level = m_gsensor_level;
    if (param1) *param1 = g_param1;
    if (param2) *param2 = g_param2;
    return 1;
}

// ---- parsing ------------------------------------------------------------------

int sensor_parse_counts(const char *text, int out[3]) {
    if (text == nullptr || out == nullptr) return 0;
    const char *p = text;
    int v[3];
    for (int i = 0; i < 3; ++i) {
        // The numbers must be separated: "12-3" is not two of them.
        if (i > 0 && !is_blank(*p)) return 0;
        if (!take_int(&p, &v[i])) return 0;
    }
    if (!only_blanks(p)) return 0;
    out[0] = v[0];
    out[1] = v[1];
    out[2] = v[2];
    return 1;
}

int sensor_parse_int(const char *text, int *out) {
    if (text == nullptr || out == nullptr) return 0;
    const char *p = text;
    int v = 0;
    if (!take_int(&p, &v) || !only_blanks(p)) return 0;
    *out = v;
    return 1;
}

int sensor_parse_temp(const char *text, float *out) {
    if (text == nullptr || out == nullptr) return 0;
    const char *p = text;
    while (is_blank(*p)) ++p;
    if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return 0;
    p += 2;
    unsigned v = 0;
    int digits = 0;
    for (; (*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F'); ++p) {
        if (++digits > 4) return 0;  // the register is 16 bits wide
        const char c = *p;
        v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    if (digits == 0 || !only_blanks(p)) return 0;
    if (v == 0x8000) {
        *out = 0.0f;  // the chip has no temperature yet
        return 1;
    }
    // Two's complement, 1/512 K per count around 23 degrees.
    const int s = v < 0x8000 ? static_cast<int>(v) : static_cast<int>(v) - 0x10000;
    *out = 23.0f + static_cast<float>(s) / 512.0f;
    return 1;
}

// ---- sensor access --------------------------------------------------------------

float gsensor_scale_of_range(int range) {
    switch (range) {
        case 1: return 8192.0f;
        case 2: return 4096.0f;
        case 3: return 2048.0f;
        default: return kAccDefault;
    }
}

float gyroscope_scale_of_range(int range) {
    switch (range) {
        case 1: return 32.768f * 360.0f / 6.283f;
        case 2: return 65.536f * 360.0f / 6.283f;
        case 3: return 131.072f * 360.0f / 6.283f;
        case 4: return 262.144f * 360.0f / 6.283f;
        default: return kGyroDefault;
    }
}

int get_bmi160_accel_fid(void) { return bmi160_accel_fid; }
int get_bmi160_gyro_fid(void) { return bmi160_gyro_fid; }
int get_mdm_gsensor_enable(void) { return mdm_gsensor_enable; }
int get_iot_sensor_type(void) { return m_iot_sensor_type; }
float get_gsensor_acc_value(void) { return gsensor_acc_value; }
float get_gsensor_gyro_value(void) { return gsensor_gyro_value; }

void iot_set_mcu_locked_mdm(int locked) { m_iot_sensor_type = locked != 0 ? 1 : 0; }

void fw_sensor_enable(void) {
    // Off and on again: the driver only starts sampling on a fresh 0 -> 1.
    const int a = bmi160_accel_fid, g = bmi160_gyro_fid;
    write_node(a, "enable", "1");
    write_node(a, "enable", "0");
    write_node(a, "enable", "1");
    write_node(g, "gyro_enable", "1");
    write_node(g, "gyro_enable", "0");
    write_node(g, "gyro_enable", "1");
    set_file_buf(kCodecPower, "%s", "1");
}

void fw_sensor_disable(void) {
    write_node(bmi160_accel_fid, "enable", "0");
    write_node(bmi160_gyro_fid, "gyro_enable", "0");
    set_file_buf(kCodecPower, "%s", "0");
}

int sensor_mdm_probe(void) {
    bmi160_accel_fid = kNoDevice;
    bmi160_gyro_fid = kNoDevice;
    for (int n = 0; n < kProbeDevices; ++n) {
        char path[128];
        snprintf(path, sizeof path, kInputNode, n, "name");
        std::array<char, 66> name{};
        if (read_node_text(path, name) < 1) {
            printf("## get_file_buf < 1 \r");
            continue;
        }
        const char *t = name.data();
        if (strstr(t, "icm42607_accel") != nullptr || strstr(t, "mi220_accel") != nullptr) {
            printf("##1 != NULL \r");
            bmi160_accel_fid = n;
        } else if (strstr(t, "icm42607_gyro") != nullptr || strstr(t, "mi220_gyro") != nullptr) {
            printf("##2 != NULL \r");
            bmi160_gyro_fid = n;
        }
    }
    const int a = bmi160_accel_fid, g = bmi160_gyro_fid;
    mlog(LOG_ERROR, "%d/%s --bmi160_accel_fid:%d;bmi160_gyro_fid:%d.\n", __LINE__, __func__, a, g);
    printf("%d/%s --bmi160_accel_fid:%d;bmi160_gyro_fid:%d.\n", __LINE__, __func__, a, g);
    if (a == kNoDevice) {
        printf("## bmi160_accel_fid == 0xff \r");
        return 0;
    }
    if (g == kNoDevice) {
        printf("## bmi160_gyro_fid == 0xff \r");
        return 0;
    }
    mdm_gsensor_enable = 1;
    fw_sensor_enable();
    int range = 0;
    gsensor_get_measure_range(&range);
    printf("%d/%s  -------- nRange:%d -----\n", __LINE__, __func__, range);
    gyroscope_get_measure_range(&range);
    return 1;
}

int sensor_mdm_init(void) {
    if (sensor_mdm_probe() != 1) return 0;
    m_iot_sensor_type = 1;
    // Once per process: a second start-up must not add a second filter thread.
    if (!g_thread_started.exchange(true)) plat_thread("motion", sensor_handle_loop, nullptr).detach();
    return 1;
}

int fw_gsensor_get_info(iot_sensor_data_t *out) {
    if (out == nullptr) return 0;
    switch (read_counts(bmi160_accel_fid, "acc_value", gsensor_acc_value, out)) {
        case ReadResult::ok: return 1;
        case ReadResult::short_read: printf("## rtn < 2 \r"); return 0;
        case ReadResult::bad_text: printf("## rtn != 3 \r"); return 0;
    }
    return 0;
}

int fw_gsensor_source_info(iot_sensor_data_t *out) {
    if (out == nullptr) return 0;
    return read_counts(bmi160_accel_fid, "acc_value", gsensor_acc_value, out) == ReadResult::ok ? 1 : 0;
}

int fw_gyroscope_get_info(iot_sensor_data_t *out) {
    if (out == nullptr) return 0;
    return read_counts(bmi160_gyro_fid, "gyro_value", gsensor_gyro_value, out) == ReadResult::ok ? 1 : 0;
}

int get_mdm_gyroscope_info(iot_sensor_data_t *out) { return fw_gyroscope_get_info(out); }

int fw_gyroscope_source_info(iot_sensor_data_t *out) {
    tavi_log(LOG_TRACE, "%d/%s\n", __LINE__, __func__);
    return fw_gyroscope_get_info(out);
}

int get_mdm_measure_gsensor_info(iot_sensor_data_t *out) {
    if (out == nullptr) return 0;
    if (fw_gsensor_get_info(out) == 1) return 1;
    printf("## get gsensor failed \r");
    *out = iot_sensor_data_t{};  // exactly the record: three floats, nothing past it
    return 0;
}

int fw_gsensor_set_threshold(int value) {
    return set_checked(__func__, __LINE__, bmi160_accel_fid, "anymot_threshold", value, 1, 255);
}

int fw_gsensor_set_duration(int value) {
    return set_checked(__func__, __LINE__, bmi160_accel_fid, "anymot_duration", value, 0, 3);
}

int fw_gsensor_set_sampled_frequency(int value) {
    return set_checked(__func__, __LINE__, bmi160_accel_fid, "acc_odr", value, 5, 12);
}

int fw_gsensor_set_measure_range(int value) {
    int r = set_checked(__func__, __LINE__, bmi160_accel_fid, "acc_range", value, 0, 3);
    if (r == 1) gsensor_acc_value = gsensor_scale_of_range(value);
    return r;
}

int fw_gyroscope_set_measure_range(int value) {
    tavi_log(LOG_DEBUG, "%d/%s --- nRange:%d ---.\n", __LINE__, __func__, value);
    int r = set_checked(__func__, __LINE__, bmi160_gyro_fid, "gyro_range", value, 0, 4);
    if (r == 1) gsensor_gyro_value = gyroscope_scale_of_range(value);
    return r;
}

int fw_gyroscope_set_sampled_frequency(int value) {
    return set_checked(__func__, __LINE__, bmi160_gyro_fid, "gyro_odr", value, 5, 12);
}

int fw_gsensor_get_sampled_frequency(int *out) {
    return get_checked(__func__, __LINE__, bmi160_accel_fid, "acc_odr", out);
}

int gsensor_get_measure_range(int *out) {
    if (get_checked(__func__, __LINE__, bmi160_accel_fid, "acc_range", out) != 1) return 0;
    gsensor_acc_value = gsensor_scale_of_range(*out);
    return 1;
}

int fw_gyroscope_get_sampled_frequency(int *out) {
    return get_checked(__func__, __LINE__, bmi160_gyro_fid, "gyro_odr", out);
}

int gyroscope_get_measure_range(int *out) {
    if (get_checked(__func__, __LINE__, bmi160_gyro_fid, "gyro_range", out) != 1) return 0;
    gsensor_gyro_value = gyroscope_scale_of_range(*out);
    return 1;
}

int qs_gsensor_get_temp_info(float *out) {
    if (out == nullptr) return 0;
    std::array<char, 66> buf{};
    if (read_node(bmi160_accel_fid, "temperature", buf) < 1) return 0;
    return sensor_parse_temp(buf.data(), out);
}

int hostcore_get_gsensor_info(iot_sensor_data_t *out) { return get_mdm_measure_gsensor_info(out); }

int hostcore_get_gyroscope_info(iot_sensor_data_t *out) {
    if (out == nullptr) return 0;
    if (get_mdm_gyroscope_info(out) == 1) return 1;
    *out = iot_sensor_data_t{};
    return 0;
}

// ---- GPIO lines ---------------------------------------------------------------------

int fw_lna_enable(void) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", kLnaGpio);
    g_lna_status = 1;
    return set_file_buf(path, "%s", "1") != 0 ? 1 : 0;
}

int fw_lna_disable(void) {
    char path[64];
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", kLnaGpio);
    g_lna_status = 0;
    return set_file_buf(path, "%s", "0") != 0 ? 1 : 0;
}

int get_lna_status(void) { return g_lna_status; }

int init_lna_gpio(void) {
    char path[64];
    int ok = set_file_buf("/sys/class/gpio/export", "%d", kLnaGpio) != 0;
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/direction", kLnaGpio);
    ok &= set_file_buf(path, "%s", "out") != 0;
    ok &= fw_lna_enable();
    return ok ? 1 : 0;
}

int init_lte_gpio(void) {
    int ok = set_file_buf("/sys/bus/platform/drivers/mdm9607-asoc-tomtom/audio_pa_mode", "%d", 4) != 0;
    ok &= set_file_buf("/sys/bus/platform/drivers/ledctrl/gps_led", "%d", 1) != 0;
    return ok ? 1 : 0;
}

int init_can_gpio(void) {
    char path[64];
    int ok = set_file_buf("/sys/class/gpio/export", "%d", kCanGpio) != 0;
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/direction", kCanGpio);
    ok &= set_file_buf(path, "%s", "out") != 0;
    snprintf(path, sizeof path, "/sys/class/gpio/gpio%d/value", kCanGpio);
    ok &= set_file_buf(path, "%s", "1") != 0;
    return ok ? 1 : 0;
}

// ---- filters ------------------------------------------------------------------------

Kalman_t kalman_initial(void) {
    Kalman_t k{};
    k.Q_angle = 0.05f;
    k.Q_bias = 0.0003f;
    k.R_measure = 0.01f;
    return k;
}

float Kalman_getAngle(Kalman_t *k, float newAngle, float newRate, float dt) {
    const float rate = newRate - k->bias;
    k->angle += dt * rate;

    k->P[0][0] += dt * (dt * k->P[1][1] - k->P[0][1] - k->P[1][0] + k->Q_angle);
    k->P[0][1] -= dt * k->P[1][1];
    k->P[1][0] -= dt * k->P[1][1];
    k->P[1][1] += k->Q_bias * dt;

    const float S = k->P[0][0] + k->R_measure;
    const float K0 = k->P[0][0] / S;
    const float K1 = k->P[1][0] / S;

    const float y = newAngle - k->angle;
    k->angle += K0 * y;
    k->bias += K1 * y;

    const float P00 = k->P[0][0];
    const float P01 = k->P[0][1];
    k->P[0][0] -= K0 * P00;
    k->P[0][1] -= K0 * P01;
    k->P[1][0] -= K1 * P00;
    k->P[1][1] -= K1 * P01;
    return k->angle;
}

float my_fabs(float v) { return v < 0.0f ? -v : v; }

float get_pitch_offset(float angle) { return window_step(&g_pitch_win, angle); }

float get_roll_offset(float angle) { return window_step(&g_roll_win, angle); }

float get_pitch_raw(void) { return pitch_raw; }
float get_roll_raw(void) { return roll_raw; }
float get_kalman_pitch(void) { return g_kpitch; }
float get_kalman_roll(void) { return g_kroll; }

// ---- motion thread ---------------------------------------------------------------------

int sensor_handle_sample(const iot_sensor_data_t *acc, const iot_sensor_data_t *gyro) {
    tell_if_cleared();
    if (acc == nullptr || gyro == nullptr) return SENSOR_STEP_BAD_SAMPLE;
    const float pr = atanf(acc->x / acc->z) * 180.0f / kPi;
    const float rr = -atanf(acc->y / acc->z) * 180.0f / kPi;
    // A chip that was just reset reads 0 0 0: 0/0 has no angle, and one NaN
    // in the filter state would end detection for the life of the process.
    if (!std::isfinite(pr) || !std::isfinite(gyro->x)) return SENSOR_STEP_BAD_SAMPLE;
    pitch_raw = pr;
    // The filters start from the first angle they are given, not from 0: a bike
    // parked on a slope or on its stand would otherwise swing from 0 to its
    // real attitude in the first window and report a movement (and, locked, a
    // theft alarm) after every start.
    if (!g_pitch_seeded) {
        KalmanY.angle = pr;
        g_pitch_seeded = true;
    }
    const float pitch = Kalman_getAngle(&KalmanY, pr, gyro->x, kDt);
    g_kpitch = pitch;
    const float po = get_pitch_offset(pitch);

    // Roll is only shown.  A bike on its side with y = 0 has no roll (0/0);
    // that sample is left out of the roll filter rather than poisoning it.
    float ro = 0.0f;
    if (std::isfinite(rr) && std::isfinite(gyro->y)) {
        roll_raw = rr;
        if (!g_roll_seeded) {
            KalmanX.angle = rr;
            g_roll_seeded = true;
        }
        const float roll = Kalman_getAngle(&KalmanX, rr, gyro->y, kDt);
        g_kroll = roll;
        ro = get_roll_offset(roll);
    }

    if (po > kMoveDeg) {
        BikeMoveStatus = 1;
        auto locked = g_lock_status.load();
        if (locked != nullptr && locked() == 1) raise_alarm(kAlarmMovedLocked);
        printf("  angle_offset > 3,  = %.2f %.2f \r\n", static_cast<double>(po), static_cast<double>(ro));
    }
    if (po > kTiltDeg) {
        raise_alarm(kAlarmTilt);
        printf("  angle_offset > 60,   = %.2f %.2f \r\n", static_cast<double>(po), static_cast<double>(ro));
    }
    return SENSOR_STEP_FILTERED;
}

int sensor_handle_step(void) {
    tell_if_cleared();
    if (!in_service()) {
        plat_sleep_s(1);
        return SENSOR_STEP_GATED;
    }
    plat_sleep_ms(100);
    iot_sensor_data_t acc{}, gyro{};
    if (fw_gsensor_get_info(&acc) != 1) return SENSOR_STEP_NO_READING;
    if (g_reads < kDiscardReads) {
        ++g_reads;
        return SENSOR_STEP_DISCARDED;
    }
    if (fw_gyroscope_get_info(&gyro) != 1) return SENSOR_STEP_NO_READING;
    return sensor_handle_sample(&acc, &gyro);
}

void *sensor_handle_loop(void *) {
    // Let the links and the configuration settle before the first sample.
    plat_sleep_s(10);
    for (;;) sensor_handle_step();
    return nullptr;
}

uint8_t get_ebike_move_status(void) { return BikeMoveStatus; }

void set_ebike_move_status(uint8_t status) { BikeMoveStatus = status; }

uint8_t get_alarm_info_t(void) { return alarm_info; }

void clear_alarm_info_t(void) { alarm_info = 0; }

uint8_t take_alarm_info_t(void) { return alarm_info.exchange(0); }

void set_alarm_info_t(uint8_t bits) { alarm_info.fetch_or(bits); }

void set_sensor_event_cb(sensor_event_cb_t cb) { g_event_cb = cb; }

void set_sensor_lock_status_cb(int (*locked)(void)) { g_lock_status = locked; }
