#include "core/sys_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "lte/at_channel.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"

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
    if (path == nullptr || buf == nullptr || size <= 0) return 0;
    buf[0] = '\0';
    const std::string p = plat_path(path);
    int fd = open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, buf, static_cast<size_t>(size - 1));
    close(fd);
    if (n <= 0) return 0;
    buf[n] = '\0';
    return static_cast<int>(n);
}

int set_file_buf(const char *path, const char *fmt, ...) {
    if (path == nullptr || fmt == nullptr) return 0;
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    // A control value that does not fit is not written half.
    if (len < 0 || static_cast<size_t>(len) >= sizeof text) return 0;
    const std::string p = plat_path(path);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    ssize_t w = write(fd, text, static_cast<size_t>(len));
    close(fd);
    return w == len ? 1 : 0;
}
