#include "core/sys_utils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "core/iot_config.h"
#include "core/logging.h"
#include "lib/qs_common_api/dev/qs_at.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"
#include "platform/plat_thread.h"
#include "platform/unique_fd.h"

namespace {

std::atomic<void (*)(const char *)> g_command_handler{nullptr};
std::atomic<int> g_reboot_flag{0};
std::atomic<uint64_t> g_reboot_uptime{0};

constexpr const char *kUptimePath = "/proc/uptime";
constexpr const char *kOnReasonPath = "/sys/bus/spmi/drivers/qcom,qpnp-power-on/on_reason";
constexpr const char *kOffReasonPath = "/sys/bus/spmi/drivers/qcom,qpnp-power-on/off_reason";
constexpr size_t kSetFileBufMax = 1024;
constexpr size_t kReadChunk = 16 * 1024;

using Fd = UniqueFd;

struct MdCtxFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

// Paths land in shell commands: anything beyond the plain path characters is
// single-quoted so a name can never become a second command or a glob.
std::string shell_quote(const std::string &s) {
    bool plain = !s.empty();
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  strchr("/._-+,:@%", c) != nullptr;
        if (!ok) {
            plain = false;
            break;
        }
    }
    if (plain) return s;
    std::string out = "'";
    for (char c : s) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    out += '\'';
    return out;
}

// The reset goes through the modem library's own AT exchange: the service's
// AT channel sits in a layer above this one.
void modem_reset() {
    char reply[kQsAtReplySize];
    memset(reply, 0, sizeof reply);
    qs_at_exchange("at+RESET", reply, 0);
}

void run_command_keyword(const char *keyword) {
    auto handler = g_command_handler.load(std::memory_order_relaxed);
    if (handler != nullptr) handler(keyword);
    else printf("%d/%s no handler for %s\r\n", __LINE__, __func__, keyword);
}

int read_reason(const char *device_path) {
    Fd fd(open(plat_path(device_path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return -1;
    char buf[32] = {};
    ssize_t n = read(fd.fd, buf, sizeof buf - 1);
    if (n <= 0) return 0;
    return static_cast<int>(strtol(buf, nullptr, 10));
}

// One file, digested in fixed chunks.
int md5_of_file(const char *path, unsigned char out[16]) {
    if (path == nullptr || out == nullptr) return 0;
    Fd fd(open(plat_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) {
        printf("open error\n");
        return 0;
    }
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) return 0;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[kReadChunk]);
    for (;;) {
        ssize_t n = read(fd.fd, buf.get(), kReadChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            printf("read error\n");
            return 0;
        }
        if (n == 0) break;
        EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<size_t>(n));
    }
    unsigned int len = 0;
    if (EVP_DigestFinal_ex(ctx.get(), out, &len) != 1 || len != 16) return 0;
    return 1;
}

}  // namespace

// ---- reboot, power-off, restart -----------------------------------------

void set_sys_command_handler(void (*handler)(const char *keyword)) {
    g_command_handler.store(handler, std::memory_order_relaxed);
}

void reboot_system_now(void) {
    sys_sync();
    sys_reboot();
    // Still here: the kernel refused.  The modem's reset takes the whole box down.
    modem_reset();
}

void reboot_system(void) {
    plat_thread("tel-reboot", [] {
        plat_sleep_s(5);
        reboot_system_now();
        set_reboot_flag();
        printf("......at+RESET........\r");
        fflush(stdout);
        modem_reset();
    }).detach();
}

void reboot_sys(void) {
    plat_thread("tel-reboot", [] {
        plat_sleep_s(2);
        sys_sync();
        sys_reboot();
    }).detach();
}

int reboot_system_immediately(void) {
    char cmd[96];
    snprintf(cmd, sizeof cmd, "echo %s > /proc/sys/kernel/sysrq", "1");
    if (sys_shell(cmd) != 0) {
        mlog(0, "%d/%s wirte sysrq error\r\n", __LINE__, __func__);
        return 0;
    }
    // Sync, remount read-only, boot: the order that loses the least on flash.
    for (const char *key : {"s", "u", "b"}) {
        snprintf(cmd, sizeof cmd, "echo %s > /proc/sysrq-trigger", key);
        if (sys_shell(cmd) != 0) {
            mlog(0, "%d/%s write sysrq-trigger error\r\n", __LINE__, __func__);
            return 0;
        }
    }
    return 1;
}

void poweroff_system(void) {
    plat_thread("tel-poweroff", [] {
        for (;;) {
            char reply[kQsAtReplySize];
            memset(reply, 0, sizeof reply);
            qs_at_exchange("at+Poweroff", reply, 0);
            printf("......at+Poweroff........\r");
            fflush(stdout);
            plat_sleep_s(10);
        }
    }).detach();
}

void reload_app(void) {
    plat_thread("tel-reload", [] {
        run_command_keyword("force_reboot_bt");
        plat_sleep_s(5);
        sys_exit(0);
    }).detach();
}

// ---- shell ----------------------------------------------------------------

int execute_cmd(const char *command, int *status, char *buffer, size_t size) {
    if (command == nullptr) return -1;
    if (buffer != nullptr && size > 0) memset(buffer, 0, size);
    // "e": the pipe must not leak into commands other threads start meanwhile.
    FILE *fp = popen(command, "re");
    if (fp == nullptr) {
        printf("%d/%s popen fail!\n", __LINE__, __func__);
        return -1;
    }
    const int fd = fileno(fp);
    size_t kept = 0;
    bool read_failed = false;
    char sink[4096];
    // Everything is read to the end: output we do not keep still drains, so a
    // long-winded command finishes instead of dying on a closed pipe.
    for (;;) {
        char *dst = sink;
        size_t room = sizeof sink;
        if (buffer != nullptr && size > 1 && kept < size - 1) {
            dst = buffer + kept;
            room = size - 1 - kept;
        }
        ssize_t n = read(fd, dst, room);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            read_failed = true;
            break;
        }
        if (n == 0) break;
        if (dst != sink) kept += static_cast<size_t>(n);
    }
    const int st = pclose(fp);
    if (read_failed || st == -1) return -1;
    if (status != nullptr) *status = st;
    return 0;
}

namespace {

int run_checked(const char *command, char *buffer, size_t size) {
    int status = 0;
    const int ret = execute_cmd(command, &status, buffer, size);
    if (ret < 0) {
        printf("%d/%s exec_cmd fail, cmd:%s,ret:%d\n", __LINE__, __func__, command ? command : "", ret);
        return 0;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const int shown = WIFEXITED(status) ? WEXITSTATUS(status) : status;
        printf("%d/%s shell cmd fail, cmd:%s,status:%d\n", __LINE__, __func__, command, shown);
        return 0;
    }
    return 1;
}

}  // namespace

int execute_cmd_ignore_output(const char *command) { return run_checked(command, nullptr, 0); }

int execute_cmd_with_output(const char *command, char *buffer, size_t size) {
    return run_checked(command, buffer, size);
}

int get_system_uptime(uint64_t *seconds) {
    if (seconds == nullptr) return 0;
    char cmd[512];
    const std::string path = shell_quote(plat_path(kUptimePath));
    int n = snprintf(cmd, sizeof cmd, "cat %s | awk -F ' ' '{print $1}'", path.c_str());
    char out[64];
    if (n < 0 || static_cast<size_t>(n) >= sizeof cmd || execute_cmd_with_output(cmd, out, sizeof out) != 1 ||
        out[0] < '0' || out[0] > '9') {
        mlog(0, "%d/%s get system uptime error\r\n", __LINE__, __func__);
        return 0;
    }
    *seconds = strtoull(out, nullptr, 10);
    return 1;
}

int set_reboot_flag(void) {
    uint64_t up = 0;
    if (get_system_uptime(&up) != 1) {
        mlog(1, "%d/%s get system uptime failed.\n", __LINE__, __func__);
        return 0;
    }
    g_reboot_uptime.store(up, std::memory_order_relaxed);
    g_reboot_flag.store(1, std::memory_order_relaxed);
    return 1;
}

int get_reboot_flag(void) { return g_reboot_flag.load(std::memory_order_relaxed); }
uint64_t get_reboot_uptime(void) { return g_reboot_uptime.load(std::memory_order_relaxed); }

// ---- files ------------------------------------------------------------------

int check_file_exist(const char *path) {
    if (path == nullptr) return 0;
    struct stat st {};
    return stat(plat_path(path).c_str(), &st) == 0 ? 1 : 0;
}

int remove_file(const char *path) {
    if (path == nullptr) return 0;
    if (check_file_exist(path) != 1) {
        printf("%d/%s:%s does not exist!\n", __LINE__, __func__, path);
        return 0;
    }
    if (unlink(plat_path(path).c_str()) != 0) {
        printf("%d/%s:%s delete failed!\n", __LINE__, __func__, path);
        return 0;
    }
    return 1;
}

int system_remove_file(const char *path) {
    // Device paths only: a relative ".." is not folded and would climb out of
    // the root.
    if (path == nullptr || path[0] != '/') return 0;
    const std::string machine = plat_path(path);
    // "rm -rf" of the root (or of what ".." folds to it) would take every file
    // of the box with it.
    if (machine == plat_path("/") || machine == "/" || machine.empty()) {
        printf("%d/%s:%s delete failed!\n", __LINE__, __func__, path);
        return 0;
    }
    const std::string cmd = "rm -rf " + shell_quote(machine);
    return execute_cmd_ignore_output(cmd.c_str());
}

int check_file_empty(const char *path) {
    if (path == nullptr) return -1;
    Fd fd(open(plat_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return -1;
    char c;
    ssize_t n;
    do {
        n = read(fd.fd, &c, 1);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    return n == 0 ? 1 : 0;
}

int64_t get_filesize(const char *path) {
    if (path == nullptr) return -1;
    struct stat st {};
    if (stat(plat_path(path).c_str(), &st) != 0) return -1;
    printf(" fs_size=%lld\r\n", static_cast<long long>(st.st_size));
    return static_cast<int64_t>(st.st_size);
}

uint64_t get_free_size(void) {
    unsigned long long free_bytes = 0;
    if (sys_disk_space("/", &free_bytes, nullptr) != 0) {
        printf("%s statfs failed.\n", __func__);
        return 0;
    }
    return free_bytes;
}

uint64_t get_rom_size(void) {
    unsigned long long total = 0;
    if (sys_disk_space("/", nullptr, &total) != 0) {
        printf("%s statfs failed.\n", __func__);
        return 0;
    }
    return total;
}

int get_file_buf(const char *path, char *buffer, size_t size) {
    if (path == nullptr || buffer == nullptr || size == 0) return -1;
    buffer[0] = '\0';
    Fd fd(open(plat_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.fd < 0) return -1;
    size_t got = 0;
    while (got < size - 1) {
        ssize_t n = read(fd.fd, buffer + got, size - 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            buffer[got] = '\0';
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    buffer[got] = '\0';
    return static_cast<int>(got);
}

int set_file_buf(const char *path, const char *format, ...) {
    if (path == nullptr || format == nullptr) return 0;
    char text[kSetFileBufMax];
    va_list ap;
    va_start(ap, format);
    const int len = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    // A cut value in a control file is a different value: refuse it whole.
    if (len < 0 || static_cast<size_t>(len) >= sizeof text) {
        printf("%d/%s:%s text too long\n", __LINE__, __func__, path);
        return 0;
    }
    Fd fd(open(plat_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.fd < 0) return 0;
    size_t done = 0;
    while (done < static_cast<size_t>(len)) {
        ssize_t n = write(fd.fd, text + done, static_cast<size_t>(len) - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        done += static_cast<size_t>(n);
    }
    return fd.close_checked() ? 1 : 0;
}

// ---- digests ----------------------------------------------------------------

int get_file_md5(const char *path, unsigned char out[16]) { return md5_of_file(path, out); }

int compute_file_md5(const char *path, char out[33]) {
    if (out == nullptr) return 0;
    out[0] = '\0';
    unsigned char d[16];
    if (md5_of_file(path, d) != 1) return 0;
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = kHex[d[i] >> 4];
        out[2 * i + 1] = kHex[d[i] & 0x0f];
    }
    out[32] = '\0';
    return 1;
}

// ---- power-on / power-off reasons ---------------------------------------------

extern "C" TELAGENT_API int check_on_reson(void) { return read_reason(kOnReasonPath); }
extern "C" TELAGENT_API int check_off_reson(void) { return read_reason(kOffReasonPath); }

// ---- recovery -----------------------------------------------------------------

namespace {

// Every step of the backup changes the flash or the mounts: it goes through
// the platform seam, and its exit status decides.
bool backup_step(const char *command) {
    const int st = sys_shell(command);
    if (st == 0) return true;
    printf("%d/%s recover step failed, cmd:%s,status:%d\r\n", __LINE__, __func__, command,
           st > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : st);
    return false;
}

// A failed backup leaves neither /sdcard mounted nor images filling /run.
int backup_failed() {
    sys_shell("rm -rf /run/fs.ubifs /run/ubinize.cfg /run/runsysfs.ubi");
    sys_shell("umount /sdcard/");
    return 0;
}

}  // namespace

int ota_hostcore_recovery_handle(void) {
    if (!backup_step("rm -rf /iot/log/*")) return 0;  // the logs are not part of the backup
    // /sdcard may or may not be mounted yet: this one may fail.
    sys_shell("umount /sdcard/");
    if (!backup_step("mount -t ubifs /dev/ubi0_0 /sdcard")) return backup_failed();
    if (check_file_exist("/sdcard/iot/bin/telAgent") != 1) {
        printf("%d/%s recover remount fs failed.\r\n", __LINE__, __func__);
        return backup_failed();
    }
    if (!backup_step("rm -rf /run/fs.ubifs")) return backup_failed();
    if (!backup_step("mkfs.ubifs -r /sdcard/ -o /run/fs.ubifs -m 2048 -e 126976 -c 2146 -F")) return backup_failed();
    printf(" fsfile_size=%d\r\n", static_cast<int>(get_filesize("/run/fs.ubifs")));
    // ubiformat writes a UBI image, not a bare UBIFS one: wrap the file-system
    // image into one volume first.  128 KiB erase blocks with 2 KiB pages give
    // the 126976-byte logical blocks mkfs.ubifs was told about.
    if (!backup_step("printf '[sysfs]\\nmode=ubi\\nimage=/run/fs.ubifs\\nvol_id=0\\nvol_type=dynamic\\n"
                     "vol_name=sysfs\\nvol_flags=autoresize\\n' > /run/ubinize.cfg") ||
        !backup_step("ubinize -o /run/runsysfs.ubi -m 2048 -p 128KiB /run/ubinize.cfg") ||
        !backup_step("rm -rf /run/fs.ubifs /run/ubinize.cfg")) {
        return backup_failed();
    }
    if (!backup_step("ubiformat /dev/mtd16 -f /run/runsysfs.ubi")) return backup_failed();
    // The backup partition is written: what fails from here on is tidying up,
    // which does not make the backup any less good.
    const bool removed = backup_step("rm -rf /run/runsysfs.ubi");
    const bool unmounted = backup_step("umount /sdcard/");
    if (!removed || !unmounted) {
        printf("%d/%s recover clean-up failed:%s%s\r\n", __LINE__, __func__, removed ? "" : " /run/runsysfs.ubi left",
               unmounted ? "" : " /sdcard still mounted");
    }
    printf("%d/%s recover sys_bak success.\r\n", __LINE__, __func__);
    return 2;
}

void *px510_recovery_handle_loop(void *) {
    plat_sleep_s(10);
    if (get_systerm_backup() == 1) {
        if (ota_hostcore_recovery_handle() == 2) printf("\r\n HOSTCORE: backup_system_success. \r");
        else printf("\r\n HOSTCORE: backup_system_failed. \r");
        fflush(stdout);
        set_systerm_backup(0);
    }
    return nullptr;
}
