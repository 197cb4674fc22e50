// Device log and SDK log, the console helpers, the cleaning of /iot/log and
// the zip of a day directory.
#include "core/logging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char *kLogDir = "/iot/log";
// Before this (20 March 2021) the clock has not been set and dates mean nothing.
constexpr time_t kClockSane = 1616223269;
constexpr int kKeepDays = 3;  // today plus this many days before it
constexpr unsigned long long kDiskLow = 5242880ULL;
constexpr unsigned kDiskCheckEvery = 61;
// One message, prefix included; longer text is cut.
constexpr size_t kLineMax = 2048;
constexpr const char *kFrame = "-------------------------------";

std::atomic<unsigned> g_mlog_level{LOG_TRACE};
std::atomic<int> g_mlog_type{LOG_TYPE_FILE};
std::atomic<unsigned> g_sdk_level{LOG_TRACE};
std::atomic<int> g_sdk_type{LOG_TYPE_FILE};
std::atomic<unsigned> g_disk_calls{0};

struct LogCfg {
    const char *tag;
    std::atomic<unsigned> &level;
    std::atomic<int> &type;
};

LogCfg g_device{"IOT", g_mlog_level, g_mlog_type};
LogCfg g_sdk{"SDK", g_sdk_level, g_sdk_type};

using Fd = UniqueFd;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

// A directory stream of its own over an open directory fd (which stays ours).
DirPtr dir_stream(int dfd) {
    const int dd = dup(dfd);
    if (dd < 0) return nullptr;
    DIR *d = fdopendir(dd);
    if (d == nullptr) close(dd);
    return DirPtr(d);
}

struct ZipDiscard {
    void operator()(zip_t *z) const { zip_discard(z); }
};
using ZipPtr = std::unique_ptr<zip_t, ZipDiscard>;

struct ZipFileCloser {
    void operator()(zip_file_t *f) const { zip_fclose(f); }
};
using ZipFilePtr = std::unique_ptr<zip_file_t, ZipFileCloser>;

// Messages name directories by their device path, whatever root we run under.
std::string device_view(const std::string &machine_path) {
    const std::string root = plat_root();
    if (!root.empty() && root != "/" && machine_path.size() > root.size() &&
        machine_path.compare(0, root.size(), root) == 0 && machine_path[root.size()] == '/') {
        return machine_path.substr(root.size());
    }
    return machine_path;
}

// Creates every missing directory of a device path, each resolved through the
// root, so the root itself is never created by the log.
bool make_device_dirs(const std::string &device_path) {
    size_t pos = 1;
    while (pos <= device_path.size()) {
        size_t next = device_path.find('/', pos);
        if (next == std::string::npos) next = device_path.size();
        if (next > pos) {
            const std::string p = plat_path(device_path.substr(0, next));
            if (mkdir(p.c_str(), 0777) != 0 && errno != EEXIST) return false;
        }
        pos = next + 1;
    }
    struct stat st {};
    return stat(plat_path(device_path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string day_name(time_t t) {
    struct tm tm {};
    plat_localtime(t, &tm);
    char buf[32];
    snprintf(buf, sizeof buf, "%04d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return buf;
}

// Appends `data` to the current hour file with one write, so messages of
// different threads never mix inside a line.  False when nothing was written.
bool append_hour_file(const char *data, size_t len) {
    const time_t now = plat_now();
    struct tm tm {};
    plat_localtime(now, &tm);
    char dir[64];
    snprintf(dir, sizeof dir, "%s/%04d%02d%02d", kLogDir, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    if (!make_device_dirs(dir)) return false;
    char file[96];
    snprintf(file, sizeof file, "%s/%02d.log", dir, tm.tm_hour);
    Fd fd(open(plat_path(file).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (fd.fd < 0) return false;
    ssize_t w = write(fd.fd, data, len);
    return w > 0;
}

void console_write(const char *data, size_t len) {
    fwrite(data, 1, len, stdout);
    fflush(stdout);
}

bool passes(const LogCfg &cfg, int level) {
    if (level < 0) return false;  // no such level; never let it wrap into "always"
    if (static_cast<unsigned>(level) > cfg.level.load(std::memory_order_relaxed)) return false;
    return cfg.type.load(std::memory_order_relaxed) != LOG_TYPE_OFF;
}

const char *level_word(int level) {
    switch (level) {
    case LOG_ERROR: return "ERROR-";
    case LOG_DEBUG: return "DEBUG-";
    case LOG_TRACE: return "TRACE-";
    default: return "";
    }
}

int vlog(const LogCfg &cfg, int level, const char *fmt, va_list ap) {
    if (!passes(cfg, level)) return 0;
    const int type = cfg.type.load(std::memory_order_relaxed);
    const bool to_file = type == LOG_TYPE_FILE;
    char line[kLineMax];
    int n = snprintf(line, sizeof line, "%s-%s%lld- %s", cfg.tag, level_word(level),
                     static_cast<long long>(plat_now()), to_file ? " " : "");
    if (n < 0) return 0;
    size_t len = static_cast<size_t>(n);
    if (fmt != nullptr) {
        int r = vsnprintf(line + len, sizeof line - len, fmt, ap);
        if (r > 0) {
            if (static_cast<size_t>(r) >= sizeof line - len) {
                len = sizeof line - 1;
                // A cut message still ends its line, or the next one would be glued to it.
                line[len - 1] = '\n';
            } else {
                len += static_cast<size_t>(r);
            }
        }
    }
    if (!to_file) {
        console_write(line, len);
        return 1;
    }
    return append_hour_file(line, len) ? 1 : 0;
}

// Rows of 16 "%02x " with a gap after the eighth byte, framed by dashes.
std::string hex_text(const void *bytes, int count, bool file) {
    const char *eol = file ? "\r\n" : "\n";
    const char *gap = file ? "  " : "   ";
    std::string out;
    if (bytes == nullptr || count < 0) count = 0;
    out.reserve(static_cast<size_t>(count) * 3 + static_cast<size_t>(count) / 16 * 6 + 80);
    out += kFrame;
    out += eol;
    const auto *p = static_cast<const unsigned char *>(bytes);
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < count; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 0x0f];
        out += ' ';
        if (i % 16 == 7) out += gap;
        if (i % 16 == 15) out += eol;
    }
    if (count % 16 != 0) out += eol;
    out += kFrame;
    out += eol;
    return out;
}

void log_hex(const LogCfg &cfg, int level, const void *bytes, int count) {
    if (!passes(cfg, level)) return;
    const bool to_file = cfg.type.load(std::memory_order_relaxed) == LOG_TYPE_FILE;
    const std::string text = hex_text(bytes, count, to_file);
    if (to_file) {
        append_hour_file(text.data(), text.size());
    } else {
        console_write(text.data(), text.size());
    }
}

// Names of the real subdirectories of a machine directory ("." and ".." and
// links left out).  False when the directory cannot be read.
bool list_subdirs(const std::string &dir, std::vector<std::string> &names) {
    DirPtr d(opendir(dir.c_str()));
    if (!d) return false;
    const int dfd = dirfd(d.get());
    while (struct dirent *e = readdir(d.get())) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        struct stat st {};
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) names.emplace_back(e->d_name);
    }
    return true;
}

bool is_dir(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

enum class ZipRead { ok, cannot_open, cannot_read };

ZipRead zip_read(const char *archive, const char *entry, std::string *out) {
    if (archive == nullptr || entry == nullptr) return ZipRead::cannot_open;
    int err = 0;
    ZipPtr za(zip_open(plat_path(archive).c_str(), ZIP_RDONLY, &err));
    if (!za) return ZipRead::cannot_open;
    const zip_int64_t idx = zip_name_locate(za.get(), entry, 0);
    if (idx < 0) return ZipRead::cannot_read;
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za.get(), static_cast<zip_uint64_t>(idx), 0, &st) != 0) return ZipRead::cannot_read;
    if ((st.valid & ZIP_STAT_SIZE) && st.size > kZipEntryMax) return ZipRead::cannot_read;
    ZipFilePtr zf(zip_fopen_index(za.get(), static_cast<zip_uint64_t>(idx), 0));
    if (!zf) return ZipRead::cannot_read;
    // The declared size is the archive's word only: read in chunks and stop
    // at the cap whatever it says.
    std::string data;
    char buf[16384];
    for (;;) {
        zip_int64_t n = zip_fread(zf.get(), buf, sizeof buf);
        if (n < 0) return ZipRead::cannot_read;
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > kZipEntryMax) return ZipRead::cannot_read;
        data.append(buf, static_cast<size_t>(n));
    }
    if (out != nullptr) *out = std::move(data);
    return ZipRead::ok;
}

}  // namespace

// ---- settings ---------------------------------------------------------------

void mLogInit(unsigned level, int type) {
    g_mlog_level.store(level, std::memory_order_relaxed);
    g_mlog_type.store(type, std::memory_order_relaxed);
}

void iot_log_init(unsigned level, int type) {
    g_sdk_level.store(level, std::memory_order_relaxed);
    g_sdk_type.store(type, std::memory_order_relaxed);
}

unsigned mlog_level(void) { return g_mlog_level.load(std::memory_order_relaxed); }
int mlog_type(void) { return g_mlog_type.load(std::memory_order_relaxed); }
unsigned tavi_log_level(void) { return g_sdk_level.load(std::memory_order_relaxed); }
int tavi_log_type(void) { return g_sdk_type.load(std::memory_order_relaxed); }

// ---- messages ---------------------------------------------------------------

int mlog(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int r = vlog(g_device, level, fmt, ap);
    va_end(ap);
    return r;
}

int tavi_log(int level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    const int written = vlog(g_sdk, level, fmt, ap);
    va_end(ap);
    // The SDK side has always flushed after every message; its callers expect
    // their lines on flash before a power cut.  A message below the level was
    // never written and leaves nothing to flush.
    if (written) sys_sync();
    return 0;
}

void mlogHex(int level, const void *bytes, int count) { log_hex(g_device, level, bytes, count); }

void tavi_logHex(int level, const void *bytes, int count) {
    if (!passes(g_sdk, level)) return;
    log_hex(g_sdk, level, bytes, count);
    sys_sync();
}

void dhex(const char *title, const void *bytes, int count) {
    char head[256];
    int n = snprintf(head, sizeof head, "\r\n-[%ul[----------%s------------------------\r\n",
                     static_cast<unsigned>(plat_now()), title ? title : "");
    if (n < 0) return;
    std::string out(head, std::min(static_cast<size_t>(n), sizeof head - 1));
    out += hex_text(bytes, count, false);
    console_write(out.data(), out.size());
}

void dmsg(const char *fmt, ...) {
    const int64_t ms = plat_now_ms();
    const int64_t secs = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
    struct tm tm {};
    plat_localtime(static_cast<time_t>(secs), &tm);
    char line[kLineMax];
    int n = snprintf(line, sizeof line, "%02d/%02d %02d:%02d:%02d.%ld- ", tm.tm_mon + 1, tm.tm_mday,
                     tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<long>(ms - secs * 1000));
    if (n < 0) return;
    size_t len = static_cast<size_t>(n);
    if (fmt != nullptr) {
        va_list ap;
        va_start(ap, fmt);
        int r = vsnprintf(line + len, sizeof line - len, fmt, ap);
        va_end(ap);
        if (r > 0) len = std::min(len + static_cast<size_t>(r), sizeof line - 1);
    }
    console_write(line, len);
}

// ---- cleaning ---------------------------------------------------------------

int remove_files(const char *machine_dir) {
    if (machine_dir == nullptr) return -1;
    const std::string shown = device_view(machine_dir);
    // O_NOFOLLOW: a link in place of the directory is never walked into.
    Fd dfd(open(machine_dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dfd.fd >= 0) {
        std::vector<std::string> names;
        {
            DirPtr d(dir_stream(dfd.fd));
            if (d) {
                while (struct dirent *e = readdir(d.get())) {
                    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
                }
            }
        }
        for (const std::string &name : names) {
            // unlinkat removes a link itself; only an empty subdirectory goes too,
            // nothing below the first level is touched.
            int r = unlinkat(dfd.fd, name.c_str(), 0);
            if (r != 0 && errno == EISDIR) r = unlinkat(dfd.fd, name.c_str(), AT_REMOVEDIR);
            if (r == 0) {
                printf("*** remove:%s/%s\n", shown.c_str(), name.c_str());
            } else {
                const int e = errno;
                printf("remove file:%d\n", e);
                printf("%s\n", strerror(e));
            }
        }
    }
    if (rmdir(machine_dir) != 0) {
        const int e = errno;
        printf("remove:%d\n", e);
        printf("%s\n", strerror(e));
        fflush(stdout);
        return -1;
    }
    printf("### remove:%s\n", shown.c_str());
    fflush(stdout);
    return 0;
}

void clean_dir_log(void) {
    const time_t now = plat_now();
    if (now < kClockSane) {
        printf("%s Date error return\n", __func__);
        fflush(stdout);
        return;
    }
    const std::string dir = plat_path(kLogDir);
    std::vector<std::string> names;
    if (!is_dir(dir) || !list_subdirs(dir, names)) {
        mlog(LOG_DEBUG, "%s/%d--no dir %s\n", __func__, __LINE__, kLogDir);
        return;
    }
    std::string keep[kKeepDays + 1];
    for (int n = 0; n <= kKeepDays; ++n) keep[n] = day_name(now - static_cast<time_t>(n) * 86400);
    for (const std::string &name : names) {
        bool kept = false;
        for (const std::string &k : keep) kept = kept || strncmp(name.c_str(), k.c_str(), 8) == 0;
        if (kept) continue;
        const std::string shown = std::string(kLogDir) + "/" + name;
        if (remove_files((dir + "/" + name).c_str()) == 0) {
            mlog(LOG_ERROR, "%d delete file: %s\r\n", __LINE__, shown.c_str());
        } else {
            mlog(LOG_ERROR, "%s/%d--remove file failed: %s\n", __func__, __LINE__, shown.c_str());
        }
    }
}

void force_clean_log(void) {
    printf("%s entry ...\n", __func__);
    const std::string dir = plat_path(kLogDir);
    std::vector<std::string> names;
    if (!is_dir(dir) || !list_subdirs(dir, names)) {
        printf("%s/%d--no dir %s\n", __func__, __LINE__, kLogDir);
        fflush(stdout);
        return;
    }
    const std::string *oldest = nullptr;
    long long oldest_id = 0;
    for (const std::string &name : names) {
        long long id = strtoll(name.c_str(), nullptr, 10);
        if (id == 0) id = 1;
        if (oldest == nullptr || id < oldest_id) {
            oldest = &name;
            oldest_id = id;
        }
    }
    if (oldest == nullptr) {
        fflush(stdout);
        return;
    }
    remove_files((dir + "/" + *oldest).c_str());
    const int shown_id = static_cast<int>(std::clamp<long long>(oldest_id, INT_MIN, INT_MAX));
    printf("%s remove_id:%s/%d\n", __func__, kLogDir, shown_id);
    fflush(stdout);
}

void check_disk_statfs(void) {
    unsigned c = g_disk_calls.load(std::memory_order_relaxed);
    unsigned next;
    do {
        next = c + 1 >= kDiskCheckEvery ? 0 : c + 1;
    } while (!g_disk_calls.compare_exchange_weak(c, next, std::memory_order_relaxed));
    if (next != 0) return;
    unsigned long long free_bytes = 0, total = 0;
    if (sys_disk_space("/", &free_bytes, &total) != 0) return;
    if (free_bytes < kDiskLow) force_clean_log();
    printf("+++ %s: %lld / %lld\n", __func__, static_cast<long long>(free_bytes), static_cast<long long>(kDiskLow));
    fflush(stdout);
}

// ---- zip --------------------------------------------------------------------

int iot_dir_compresse(const char *dir, const char *archive) {
    if (dir == nullptr || archive == nullptr) return 0;
    const std::string mdir = plat_path(dir);
    const std::string march = plat_path(archive);
    // An earlier archive lying in the same directory is not packed into the new one.
    struct stat arch_st {};
    const bool have_arch = stat(march.c_str(), &arch_st) == 0;

    Fd dfd(open(mdir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<std::string> names;
    if (dfd.fd >= 0) {
        DirPtr d(dir_stream(dfd.fd));
        while (d) {
            struct dirent *e = readdir(d.get());
            if (e == nullptr) break;
            struct stat st {};
            if (fstatat(dfd.fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
            if (have_arch && st.st_dev == arch_st.st_dev && st.st_ino == arch_st.st_ino) continue;
            names.emplace_back(e->d_name);
        }
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> picked;
    for (const std::string &name : names) {
        const std::string full = std::string(dir) + "/" + name;
        if (full.size() > kZipMaxPath) {
            mlog(LOG_ERROR, "%d/%s path too long, not compressed: %s\n", __LINE__, __func__, name.c_str());
        } else if (picked.size() >= kZipMaxFiles) {
            mlog(LOG_ERROR, "%d/%s too many files, not compressed: %s\n", __LINE__, __func__, name.c_str());
        } else {
            picked.push_back(name);
        }
    }
    if (picked.empty()) {
        mlog(LOG_ERROR, "%d/%s no files compressed", __LINE__, dir);
        return 0;
    }

    int err = 0;
    ZipPtr za(zip_open(march.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err));
    if (!za) return 0;
    size_t added = 0;
    for (const std::string &name : picked) {
        // Opened here with O_NOFOLLOW: a file swapped for a link since the listing
        // is left out instead of packing whatever the link points to.
        int fd = openat(dfd.fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd);
            continue;
        }
        FILE *f = fdopen(fd, "rb");
        if (f == nullptr) {
            close(fd);
            continue;
        }
        zip_source_t *src = zip_source_filep(za.get(), f, 0, -1);
        if (src == nullptr) {
            fclose(f);
            continue;
        }
        if (zip_file_add(za.get(), name.c_str(), src, ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(src);
            continue;
        }
        ++added;
    }
    if (added == 0) {
        mlog(LOG_ERROR, "%d/%s no files compressed", __LINE__, dir);
        return 0;
    }
    if (zip_close(za.get()) != 0) return 0;
    za.release();  // closed and freed by zip_close
    return 1;
}

int iot_zip_read_entry(const char *archive, const char *entry, std::string *out) {
    return zip_read(archive, entry, out) == ZipRead::ok ? 1 : 0;
}

int iot_zip_file_decompresse(const char *archive, const char *entry) {
    std::string data;
    switch (zip_read(archive, entry, &data)) {
    case ZipRead::cannot_open:
        printf("ERROR : Cannot open ZIP package file!\n");
        fflush(stdout);
        return 0;
    case ZipRead::cannot_read:
        printf("ERROR : Cannot read file!\n");
        fflush(stdout);
        return 0;
    case ZipRead::ok:
        break;
    }
    printf("read file success!\n");
    fflush(stdout);
    return 1;
}
