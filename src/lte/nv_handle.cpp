// Modem provisioning checks over the AT channel.
#include "lte/nv_handle.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/iot_config.h"
#include "core/logging.h"
#include "core/sys_utils.h"
#include "lte/at_channel.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"

namespace {

// Reply buffers keep a few bytes beyond the capacity handed to exec_at, so a
// reply cut at the capacity is still terminated.
constexpr int kReplyCap = 512;
constexpr int kListCap = 688;
using Reply = std::array<char, kReplyCap + 4>;
using ListReply = std::array<char, kListCap + 4>;

constexpr int kAttempts = 4;
constexpr int kFixTries = 3;
constexpr size_t kNvMinLen = 16;
constexpr size_t kEfsMinLen = 6;
constexpr int kCidMax = 99;

constexpr const char *kUeUsage = "/nv/item_files/modem/mmode/ue_usage_setting";
constexpr const char *kImsEnable = "/nv/item_files/ims/IMS_enable";

std::atomic<bool> g_started{false};

template <size_t N>
int at(const char *cmd, std::array<char, N> &r, int cap) {
    r.fill('\0');
    return exec_at(cmd, r.data(), cap);
}

int at(const char *cmd, Reply &r) { return at(cmd, r, kReplyCap); }

// One single-value check: read, and when wrong, write and read back.
struct Single {
    const char *name;
    const char *read_cmd;
    const char *good;
    const char *fix_cmd;
    size_t min_len;
    const char *ok_first;  // "%d/%s ..." formats
    const char *ok_after;
    const char *reset;     // "%d/%s ... %d ."
    int after_fix;
};

int run_single(const Single &c, int line) {
    Reply r;
    int n = at(c.read_cmd, r);
    if (n < 2) {
        printf("%d/%s failed\n", line, c.name);
        return 0;
    }
    if (strlen(r.data()) < c.min_len) {
        printf("%d/%s[%s]\n", line, c.name, r.data());
        return 0;
    }
    if (strstr(r.data(), c.good) != nullptr) {
        printf(c.ok_first, line, c.name);
        return 2;
    }
    printf("set NV %s [%s]\n", c.name, r.data());
    for (int i = 0; i < kFixTries; ++i) {
        Reply w;
        at(c.fix_cmd, w);
        plat_sleep_s(3);
        n = at(c.read_cmd, r);
        if (n < 2) {
            printf("%d/%s failed\n", line, c.name);
            plat_sleep_s(2);
            continue;
        }
        if (strlen(r.data()) < c.min_len) {
            printf("%d/%s[%s]\n", line, c.name, r.data());
            plat_sleep_s(2);
            continue;
        }
        if (strstr(r.data(), c.good) != nullptr) {
            printf(c.ok_after, line, c.name);
            break;
        }
        printf(c.reset, line, c.name, i);
    }
    printf("set NV %s \n", c.name);
    return c.after_fix;
}

// Text safe inside a quoted AT argument: no quote or line end can start a
// second command.
bool at_text_ok(const char *s, size_t max) {
    if (s == nullptr || *s == '\0' || strlen(s) > max) return false;
    for (const char *p = s; *p; ++p) {
        if (*p == '"' || *p == '\r' || *p == '\n' || static_cast<unsigned char>(*p) < 0x20) return false;
    }
    return true;
}

// Read / write / read-back with the given commands and good texts.
int check_common(const char *fn, const char *what, const char *read_cmd, const char *write_cmd, const char *good,
                 const char *good_again) {
    Reply r;
    if (at(read_cmd, r) >= 2 && strstr(r.data(), good) != nullptr) {
        printf("%d/%s  ok .\n", __LINE__, fn);
        return 2;
    }
    for (int i = 0; i < kFixTries; ++i) {
        plat_sleep_s(1);
        Reply w;
        at(write_cmd, w);
        if (at(read_cmd, r) >= 2 && strstr(r.data(), good_again) != nullptr) {
            printf("%d/%s  ok .\n", __LINE__, fn);
            return 1;
        }
    }
    printf("set NV %s failed.\n", what);
    return 0;
}

// A factory flag of NV 50003..50005: the first character of the value, or 0
// when three reads brought none.
char read_factory_flag(const char *cmd) {
    for (int i = 0; i < 3; ++i) {
        plat_sleep_s(1);
        Reply r;
        if (at(cmd, r) < 2) continue;
        // With the modem's echo in front this is the character at position 26;
        // finding the value by its prefix keeps it right without the echo too.
        const char *v = strstr(r.data(), "VRW:\"");
        if (v != nullptr && v[5] != '\0' && v[5] != '"') return v[5];
    }
    return 0;
}

// ---- fix-up reboots in a row, per setting ---------------------------------

struct FixCount {
    const char *name;
    int count;
};

// The settings whose fix-up reboots the box.
std::array<FixCount, 4> g_counts = {{{"cgdcont", 0}, {"ps", 0}, {"data_qos", 0}, {"ims", 0}}};

void load_counts() {
    char buf[256] = {};
    read_file2buf(NV_FIX_REBOOTS_PATH, buf, sizeof buf - 1);
    for (FixCount &c : g_counts) {
        c.count = 0;
        // "<name> <count>" lines; anything unreadable counts as 0.
        const size_t len = strlen(c.name);
        for (const char *p = buf; p != nullptr && *p != '\0';) {
            if (strncmp(p, c.name, len) == 0 && p[len] == ' ') {
                const long v = strtol(p + len + 1, nullptr, 10);
                c.count = v < 0 ? 0 : (v > 1000 ? 1000 : static_cast<int>(v));
                break;
            }
            p = strchr(p, '\n');
            if (p != nullptr) ++p;
        }
    }
}

void save_counts() {
    char buf[256];
    size_t o = 0;
    for (const FixCount &c : g_counts) {
        o += static_cast<size_t>(snprintf(buf + o, sizeof buf - o, "%s %d\n", c.name, c.count));
    }
    rewrite_buf2file(NV_FIX_REBOOTS_PATH, buf);
}

FixCount &count_of(const char *name) {
    for (FixCount &c : g_counts) {
        if (strcmp(c.name, name) == 0) return c;
    }
    return g_counts[0];
}

// A fix-up of `name` wants a reboot: true when it may have one (and counts
// it), false after kNvFixRebootMax in a row, logged once per run.
bool reboot_allowed(const char *name) {
    FixCount &c = count_of(name);
    if (c.count >= kNvFixRebootMax) {
        mlog(LOG_ERROR, "%d/%s NV %s still wrong after %d reboots, no reboot for it.\n", __LINE__, __func__, name,
             c.count);
        printf("%d/%s NV %s still wrong after %d reboots, no reboot for it.\n", __LINE__, __func__, name, c.count);
        return false;
    }
    ++c.count;
    return true;
}

}  // namespace

// ---- the checks -------------------------------------------------------------

int cgdcont_duplicate(const char *reply) {
    if (reply == nullptr) return 0;
    // Every listed id, not only a run from 1: a duplicate behind a gap in the
    // numbering is a duplicate all the same.
    std::array<bool, kCidMax + 1> seen{};
    static const char kTag[] = "+CGDCONT: ";
    const size_t tag_len = sizeof kTag - 1;
    for (const char *p = strstr(reply, kTag); p != nullptr; p = strstr(p + tag_len, kTag)) {
        const char *d = p + tag_len;
        // At most three digits and no leading zero: the modem writes ids
        // plainly, anything else is not a line of the list.
        if (*d == '0') continue;
        int id = 0, digits = 0;
        while (digits < 3 && d[digits] >= '0' && d[digits] <= '9') id = id * 10 + (d[digits++] - '0');
        if (digits == 0 || d[digits] != ',' || id < 1 || id > kCidMax) continue;
        if (seen[static_cast<size_t>(id)]) return id;
        seen[static_cast<size_t>(id)] = true;
    }
    return 0;
}

int check_nvburs(void) {
    Reply r;
    if (at("at+nvburs=2\r\n", r) < 2) {
        printf("%d/%s failed\n", __LINE__, __func__);
        return 0;
    }
    if (strlen(r.data()) <= 5) {
        printf("%d/%s[%s]\n", __LINE__, __func__, r.data());
        return 0;
    }
    if (strstr(r.data(), "nvburs: 0") != nullptr) {
        printf("%d/%s NV burse ok .\n", __LINE__, __func__);
        return 2;
    }
    printf("%s need NV nvburs.\n", __func__);
    at("at+nvburs=0\r\n", r);
    plat_sleep_s(3);
    printf("set NV nvburs=0 %s \n", r.data());
    return 1;
}

int check_cgdcont(void) {
    ListReply r;
    if (at("at+cgdcont?\r\n", r, kListCap) < 2) {
        printf("%d/%s failed\n", __LINE__, __func__);
        return 0;
    }
    // A modem that said nothing (or not OK) has not shown a clean list.
    if (strstr(r.data(), "OK") == nullptr) {
        printf("%d/%s[%s]\n", __LINE__, __func__, r.data());
        return 0;
    }
    const int dup = cgdcont_duplicate(r.data());
    if (dup == 0) {
        printf("%d/%s check list success\n", __LINE__, __func__);
        return 2;
    }
    // Undefines the duplicated context itself, every copy of it.
    char cmd[32];
    snprintf(cmd, sizeof cmd, "at+cgdcont=%d\r\n", dup);
    Reply w;
    at(cmd, w);
    printf("%s ----check failed,call [%s]--- \r\n", __func__, cmd);
    plat_sleep_s(4);
    return 1;
}

int check_gps_ldm(void) {
    static const Single c = {"check_gps_ldm", "at+nvrw=0,5596\r\n", "VRW:\"0000", "at+nvrw=1,5596,\"0000\"\r\n",
                             kNvMinLen, "%d/%s gps ldm ok .\n", "%d/%s  gps ldm ok .\n", "%d/%s reset gps ldm %d .\n",
                             2};
    return run_single(c, __LINE__);
}

int check_ps(void) {
    static const Single c = {"check_ps", "at+nvrw=0,850\r\n", "VRW:\"0001", "at+nvrw=1,850,\"0001\"\r\n", kNvMinLen,
                             "%d/%s PSOnly ok .\n", "%d/%s PSOnly ok .\n", "%d/%s reset PSOnly %d .\n", 1};
    return run_single(c, __LINE__);
}

int check_data_qos(void) {
    static const Single c = {"check_data_qos",
                             "at+efsrw=0,0,\"/nv/item_files/modem/mmode/ue_usage_setting\"\r\n",
                             "EFSRW:01",
                             "at+efsrw=1,0,\"/nv/item_files/modem/mmode/ue_usage_setting\",\"01\"\r\n",
                             kEfsMinLen,
                             "%d/%s DataQos ok .\n",
                             "%d/%s DataQos ok .\n",
                             "%d/%s reset DataQos %d .\n",
                             1};
    return run_single(c, __LINE__);
}

int disable_ims(void) {
    static const Single c = {"disable_ims",
                             "at+efsrw=0,0,\"/nv/item_files/ims/IMS_enable\"\r\n",
                             "EFSRW:00",
                             "at+efsrw=1,0,\"/nv/item_files/ims/IMS_enable\",\"00\"\r\n",
                             kEfsMinLen,
                             "%d/%s IMS_Enable ok .\n",
                             "%d/%s IMS_enable ok .\n",
                             "%d/%s reset IMS_enable %d .\n",
                             1};
    return run_single(c, __LINE__);
}

// ---- generic and factory ----------------------------------------------------

int check_nv_common(const char *item, const char *value) {
    if (!at_text_ok(item, 16) || !at_text_ok(value, 64)) {
        printf("%d/%s bad item or value\n", __LINE__, __func__);
        return 0;
    }
    char rd[64], wr[128], good[80];
    snprintf(rd, sizeof rd, "at+nvrw=0,%s\r\n", item);
    snprintf(wr, sizeof wr, "at+nvrw=1,%s,\"%s\"\r\n", item, value);
    snprintf(good, sizeof good, "VRW:\"%s", value);
    return check_common(__func__, item, rd, wr, good, good);
}

int check_efs_common(const char *path, const char *value) {
    if (!at_text_ok(path, 128) || !at_text_ok(value, 64)) {
        printf("%d/%s bad path or value\n", __LINE__, __func__);
        return 0;
    }
    char rd[192], wr[256], good[80], again[80];
    snprintf(rd, sizeof rd, "at+efsrw=0,0,\"%s\"\r\n", path);
    snprintf(wr, sizeof wr, "at+efsrw=1,0,\"%s\",\"%s\"\r\n", path, value);
    snprintf(good, sizeof good, "FSRW:%s", value);
    snprintf(again, sizeof again, "SRW:%s", value);
    return check_common(__func__, path, rd, wr, good, again);
}

int enable_ps(void) { return check_nv_common("850", "0002"); }
int enable_data_qos(void) { return check_efs_common(kUeUsage, "00"); }
int enable_ims(void) { return check_efs_common(kImsEnable, "01"); }

int check_lte_calibration(void) {
    const char f = read_factory_flag("at+nvrw=0,50003\r\n");
    return f == '1' || f == 'F' ? 1 : 0;
}

int check_PCBA_test1(void) { return read_factory_flag("at+nvrw=0,50004\r\n") == '1' ? 1 : 0; }
int check_PCBA_test2(void) { return read_factory_flag("at+nvrw=0,50005\r\n") == '1' ? 1 : 0; }

// ---- the run ----------------------------------------------------------------

void *nv_check_loop(void *) {
    plat_sleep_s(5);
    load_counts();

    for (int i = 0; i < kAttempts; ++i) {
        if (check_nvburs() == 2) {
            printf(" re check_nvburs ok.\n");
            break;
        }
        plat_sleep_s(1);
    }

    for (int i = 0; i < kAttempts; ++i) {
        const int r = check_cgdcont();
        if (r == 2) {
            count_of("cgdcont").count = 0;
            printf(" re check_cgdcont ok.\n");
            break;
        }
        if (r == 1) {
            if (!reboot_allowed("cgdcont")) break;
            save_counts();
            mlog(LOG_ERROR, "%d/%s modify NV cgdcont rebooted.\n", __LINE__, __func__);
            reboot_system();
            return nullptr;
        }
        plat_sleep_s(1);
    }

    check_gps_ldm();

    if (get_enable_check_nv() == 0) {
        save_counts();
        printf("check NV Flag zero, don't need check NV.\n");
        return nullptr;
    }

    struct Later {
        int (*check)(void);
        const char *ok_text;
        const char *name;
    };
    static const Later kLater[] = {
        {check_ps, " re check_ps ok.", "ps"},
        {check_data_qos, " re check_data_qos ok.", "data_qos"},
        {disable_ims, " re check_ims ok.", "ims"},
    };
    bool reboot = false;
    for (const Later &l : kLater) {
        bool fixed = false;
        int first = -1;
        for (int i = 0; i < kAttempts; ++i) {
            const int r = l.check();
            if (first < 0) first = r;
            if (r == 2) {
                printf("%s\n", l.ok_text);
                break;
            }
            plat_sleep_s(1);
            if (r == 1) fixed = true;
        }
        if (fixed) {
            if (reboot_allowed(l.name)) reboot = true;
        } else if (first == 2) {
            count_of(l.name).count = 0;  // right at first sight: the run of reboots is over
        }
    }
    save_counts();
    if (reboot) {
        printf("set NV reboot system.\n");
        reboot_system();
    } else {
        printf("check  NV success, don't need reboot system.\n");
    }
    return nullptr;
}

int check_default_nv(void) {
    if (g_started.exchange(true)) return 0;
    plat_thread("nv-check", nv_check_loop, nullptr).detach();
    return 1;
}
