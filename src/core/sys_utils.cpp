#include "core/sys_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "lte/at_channel.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"

namespace {

struct FileFd {
    int fd;
    explicit FileFd(int f) : fd(f) {}
    ~FileFd() {
        if (fd >= 0) ::close(fd);
    }
    FileFd(const FileFd &) = delete;
    FileFd &operator=(const FileFd &) = delete;
};

}  // namespace

// The backup of the application file system comes with the recovery work.
void *px510_recovery_handle_loop(void *) { return nullptr; }

void reboot_system_now(void) {
    sys_sync();
    sys_reboot();
    char reply[324];
    memset(reply, 0, sizeof reply);
    exec_at("at+RESET\r\n", reply, 320);
}

int get_file_buf(const char *path, char *buf, int size) {
    if (path == nullptr || buf == nullptr || size <= 0) return -1;
    buf[0] = '\0';
    FileFd f(::open(plat_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0) return -1;
    int got = 0;
    // sysfs answers a read in one piece; a plain file may need several.
    while (got < size - 1) {
        ssize_t r = ::read(f.fd, buf + got, static_cast<size_t>(size - 1 - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            buf[got] = '\0';
            return -1;
        }
        if (r == 0) break;
        got += static_cast<int>(r);
    }
    buf[got] = '\0';
    return got;
}

int set_file_buf(const char *path, const char *fmt, ...) {
    if (path == nullptr || fmt == nullptr) return 0;
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= static_cast<int>(sizeof text)) return 0;
    FileFd f(::open(plat_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (f.fd < 0) return 0;
    int done = 0;
    while (done < n) {
        ssize_t w = ::write(f.fd, text + done, static_cast<size_t>(n - done));
        if (w < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        done += static_cast<int>(w);
    }
    return 1;
}
