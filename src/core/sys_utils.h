#pragma once
// System utilities and recovery.

// Recovery thread body: after a self-update, rebuilds the backup file system.
void *px510_recovery_handle_loop(void *arg);

// Reboots now: sync and the reboot system call; should that return, the
// modem's reset command.
void reboot_system_now(void);

// Small files (sysfs controls: LEDs, GPIO lines, sensor settings), on device
// paths.  get_file_buf: bytes read into buf (at most size - 1, NUL-terminated),
// 0 when the file cannot be read.  set_file_buf: writes the formatted text,
// truncating; 1 on success, 0 on failure.
int get_file_buf(const char *path, char *buf, int size);
int set_file_buf(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
