#include "core/sys_utils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

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

int set_file_buf(const char *path, const char *fmt, ...) {
    if (path == nullptr || fmt == nullptr) return 0;
    char text[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    // A control value cut short would set the wrong value: refuse it instead.
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) return 0;
    const int fd = ::open(plat_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    const ssize_t w = ::write(fd, text, static_cast<size_t>(n));
    const int rc = ::close(fd);
    return w == n && rc == 0 ? 1 : 0;
}
