#include "core/sys_utils.h"

#include <cstdio>
#include <cstring>
#include <thread>

#include "lte/at_channel.h"
#include "platform/plat_clock.h"
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

void reboot_system(void) {
    std::thread([] {
        plat_sleep_s(5);
        sys_sync();
        sys_reboot();
        char reply[324];
        memset(reply, 0, sizeof reply);
        exec_at("at+RESET\r\n", reply, 320);
        printf("......at+RESET........\r");
    }).detach();
}
