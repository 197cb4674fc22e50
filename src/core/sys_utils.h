#pragma once
// System utilities and recovery.

// Recovery thread body: after a self-update, rebuilds the backup file system.
void *px510_recovery_handle_loop(void *arg);

// Reboots now: sync and the reboot system call; should that return, the
// modem's reset command.
void reboot_system_now(void);

// Writes the formatted text to a small file (sysfs controls: LEDs, GPIO
// lines, sensor settings), truncating it.  1 when all of it was written, else 0.
int set_file_buf(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
