#include "host_fallback.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/sig_verify.h"
#include "host_libini.h"
#include "telagent/iotsdk.h"

namespace {
// A library name from a small file, by the rules of libiot.ini.
std::string read_lib_name(const std::string &path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    char buf[kHostLibIniMax];
    size_t got = 0;
    while (got < sizeof buf) {
        ssize_t r = read(fd, buf + got, sizeof buf - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    if (got == 0) return {};
    // The same rules as libiot.ini; a name those rules reject is no name.
    const std::string lib = host_parse_lib_line(buf, got);
    const std::string raw(buf, got);
    return raw.rfind(lib, 0) == 0 ? lib : std::string();
}

// Closes the trial in favour of the good library.
void close_trial(HostTrial *t) {
    t->trial.clear();
    t->ends = 0;
    // The next start is of the good library, and that is no switch.
    t->last = t->good;
}
}  // namespace

std::string host_read_good_lib(const std::string &root) { return read_lib_name(root + "/iot/conf/libiot.good"); }

std::string host_read_health(const std::string &root) { return read_lib_name(root + TELAGENT_HEALTH_FILE); }

void host_clear_health(const std::string &root) { unlink((root + TELAGENT_HEALTH_FILE).c_str()); }

bool host_trial_healthy(HostTrial *t, const std::string &marker) {
    if (t->trial.empty() || marker != t->trial) return false;
    t->good = t->trial;
    t->trial.clear();
    t->ends = 0;
    return true;
}

bool host_trial_unhealthy(HostTrial *t, int64_t now_ms, int64_t health_window_ms, std::string *why) {
    if (t->trial.empty() || health_window_ms <= 0 || now_ms - t->start_ms < health_window_ms) return false;
    char text[200];
    snprintf(text, sizeof text, "%s did not reach its broker within %lld s of its start", t->trial.c_str(),
             static_cast<long long>(health_window_ms / 1000));
    if (why != nullptr) *why = text;
    close_trial(t);
    return true;
}

int host_write_lib_file(const std::string &root, const char *device_path, const std::string &lib) {
    const std::string path = root + device_path;
    const std::string tmp = path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    const std::string text = lib + "\n";
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

namespace {
// The pushed image's trailing signature, checked and cut off.  True when it
// may be installed.
bool check_pushed_signature(const std::string &root, const std::string &pushed, off_t size, std::string *why) {
    const std::string key = root + kOtaPubkeyFile;
    if (access(key.c_str(), F_OK) != 0) return true;  // not provisioned
    std::string text;
    if (size > static_cast<off_t>(kSigLen)) {
        FILE *f = fopen(pushed.c_str(), "rbe");
        if (f != nullptr) {
            text.resize(static_cast<size_t>(size));
            if (fread(text.data(), 1, text.size(), f) != text.size()) text.clear();
            fclose(f);
        }
    }
    std::string reason = "no signature at its end";
    const auto *bytes = reinterpret_cast<const uint8_t *>(text.data());
    if (!text.empty() && sig_verify_buf(bytes, text.size() - kSigLen, bytes + text.size() - kSigLen, key, &reason) == 1 &&
        truncate(pushed.c_str(), size - static_cast<off_t>(kSigLen)) == 0) {
        return true;
    }
    unlink(pushed.c_str());
    if (why != nullptr) *why = "signature refused: " + reason;
    return false;
}
}  // namespace

int host_install_pushed_lib(const std::string &root, std::string *installed, std::string *why) {
    const std::string pushed = root + kHostPushedLib;
    struct stat st {};
    if (lstat(pushed.c_str(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    if (!check_pushed_signature(root, pushed, st.st_size, why)) return -1;
    const std::string current = host_read_lib_path(root);
    const std::string next = current == kHostExLib ? kHostDefaultLib : kHostExLib;
    const std::string target = root + next;
    // Same file system: the slot holds either its old library or the whole new one.
    if (rename(pushed.c_str(), target.c_str()) != 0) return -1;
    const std::string dir = target.substr(0, target.rfind('/'));
    int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    if (host_write_lib_file(root, "/iot/conf/libiot.ini", next) != 0) return -1;
    *installed = next;
    return 1;
}

bool host_trial_begin(HostTrial *t, const std::string &logical, int64_t now_ms, bool *persist_good) {
    *persist_good = false;
    if (t->good.empty()) {
        // Nothing known: what runs now is what there is to go back to.
        t->good = logical;
        *persist_good = true;
    }
    const std::string before = t->last;
    t->last = logical;
    if (!before.empty() && logical != before) {
        // libiot.ini was switched (a self-update): the library that ran until
        // now, and was able to fetch the new one, is the one to go back to.
        if (t->good != before) {
            t->good = before;
            *persist_good = true;
        }
        if (logical != t->good) {
            t->trial = logical;
            t->start_ms = now_ms;
            t->ends = 0;
        }
    } else if (logical != t->good && t->trial != logical) {
        t->trial = logical;
        t->start_ms = now_ms;
        t->ends = 0;
    }
    if (logical == t->good) t->trial.clear();
    return !t->trial.empty();
}

bool host_trial_passed(HostTrial *t, int64_t now_ms, int64_t window_ms) {
    if (t->trial.empty() || now_ms - t->start_ms < window_ms) return false;
    t->good = t->trial;
    t->trial.clear();
    return true;
}

HostVerdict host_trial_end(HostTrial *t, int exit_code, int64_t now_ms, int64_t window_ms, std::string *why,
                           int64_t health_window_ms) {
    if (t->trial.empty()) return HostVerdict::kRestart;
    char text[160];
    if (exit_code == kHostLoadFailed) {
        snprintf(text, sizeof text, "%s cannot be loaded", t->trial.c_str());
    } else if (host_trial_unhealthy(t, now_ms, health_window_ms, why)) {
        return HostVerdict::kFallBack;
    } else if (health_window_ms > 0 && now_ms - t->start_ms >= window_ms) {
        // Past the crash-loop window: ends no longer count, the marker decides.
        return HostVerdict::kRestart;
    } else if (now_ms - t->start_ms >= window_ms) {
        // Ended after its window: it ran long enough to count as good.
        t->good = t->trial;
        t->trial.clear();
        return HostVerdict::kRestart;
    } else if (++t->ends <= kHostTrialEnds) {
        return HostVerdict::kRestart;
    } else {
        snprintf(text, sizeof text, "%s ended %d times within %lld s of its first start", t->trial.c_str(), t->ends,
                 static_cast<long long>(window_ms / 1000));
    }
    if (why != nullptr) *why = text;
    close_trial(t);
    return HostVerdict::kFallBack;
}
