#include "core/health_mark.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/plat_path.h"
#include "platform/unique_fd.h"

namespace {
std::mutex g_mu;
std::string g_lib;
bool g_marked = false;

bool write_all(int fd, const std::string &text) {
    size_t off = 0;
    while (off < text.size()) {
        const ssize_t w = write(fd, text.data() + off, text.size() - off);
        if (w <= 0) return false;
        off += static_cast<size_t>(w);
    }
    return true;
}
}  // namespace

void set_health_lib(const char *lib_path) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_lib = lib_path != nullptr ? lib_path : "";
    g_marked = false;
}

int mark_health(void) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_marked) return 1;
    if (g_lib.empty()) return 0;
    const std::string path = plat_path(TELAGENT_HEALTH_FILE);
    const std::string dir = path.substr(0, path.rfind('/'));
    mkdir(dir.c_str(), 0755);
    const std::string tmp = path + ".tmp";
    // A half-written marker must never name anything: the host sees the old
    // file or the whole new one.
    UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    const bool ok = fd.ok() && write_all(fd.get(), g_lib + "\n") && fsync(fd.get()) == 0 && fd.close_checked() &&
                    rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        unlink(tmp.c_str());
        printf(" %d /%s health marker %s not written\n", __LINE__, __func__, TELAGENT_HEALTH_FILE);
        return 0;
    }
    g_marked = true;
    printf(" %d /%s online: health marked for %s\n", __LINE__, __func__, g_lib.c_str());
    return 1;
}
