// Device build of the system actions: performed on the module.
#include "platform/sys_action.h"

#include <sys/reboot.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/plat_path.h"

void sys_sync() { sync(); }

int sys_reboot() {
    sync();
    return reboot(RB_AUTOBOOT);
}

int sys_poweroff() {
    sync();
    return reboot(RB_POWER_OFF);
}

int sys_set_time(time_t seconds) {
    struct timeval tv {};
    tv.tv_sec = seconds;
    return settimeofday(&tv, nullptr) == 0 ? 0 : -1;
}

int sys_shell(const char *command) {
    if (command == nullptr) return -1;
    return system(command);
}

void sys_exit(int status) {
    fflush(stdout);
    exit(status);
}

int sys_disk_space(const char *device_path, unsigned long long *free_bytes,
                   unsigned long long *total_bytes) {
    struct statvfs st {};
    if (statvfs(plat_path(device_path ? device_path : "/").c_str(), &st) != 0) return -1;
    if (free_bytes) *free_bytes = static_cast<unsigned long long>(st.f_bsize) * st.f_bavail;
    if (total_bytes) *total_bytes = static_cast<unsigned long long>(st.f_bsize) * st.f_blocks;
    return 0;
}
