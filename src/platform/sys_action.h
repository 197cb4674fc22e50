#pragma once
// System actions: everything that changes the machine rather than the agent's
// own files.  The device build performs them.  The simulation build performs
// none of them: it appends one line per action to $TELAGENT_ROOT/var/actions.log
//     <unix seconds> <action>[ <argument>]
// and answers as the device would.  A test can make an action fail by listing a
// fragment of its log line in $TELAGENT_ROOT/var/actions.refuse (one per line).
#include <cstddef>
#include <ctime>

// sync(2).  Not recorded in simulation: it is harmless and far too frequent.
void sys_sync();

// reboot(2) with the restart command.  Returns -1 when the reboot did not happen
// (on the device: the system call failed; in simulation: refused).  In
// simulation a reboot that is not refused ends the process with status 0, so
// the host starts the agent again as the box would after a reboot.
int sys_reboot();

// Powers the box off.  Same conventions as sys_reboot.
int sys_poweroff();

// Sets the system clock.  0 on success, -1 on failure.  The simulation shifts
// the agent's own clock (plat_clock) and leaves the machine's clock alone.
int sys_set_time(time_t seconds);

// Runs a shell command that changes the system (routes, resolver, mounts, UBI,
// sysrq, oom protection).  Returns the wait status as system(3) does; -1 when
// the shell could not be run.  Simulation: recorded as "shell <command>",
// status 0 unless refused (then exit status 1).
int sys_shell(const char *command);

// Ends the process with `status` (recorded as "exit <status>" in simulation).
[[noreturn]] void sys_exit(int status);

// Free and total bytes of the file system that holds `device_path`.
// 0 on success, -1 on failure.  The simulation reports the real figures of the
// device root unless $TELAGENT_ROOT/var/sim/disk_free holds a byte count, so a
// test can make the disk "full".
int sys_disk_space(const char *device_path, unsigned long long *free_bytes,
                   unsigned long long *total_bytes);
