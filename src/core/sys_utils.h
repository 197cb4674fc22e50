#pragma once
// System utilities and recovery.

// Recovery thread body: after a self-update, rebuilds the backup file system.
void *px510_recovery_handle_loop(void *arg);

// Reboots now: sync and the reboot system call; should that return, the
// modem's reset command.
void reboot_system_now(void);

// Small control files (sysfs nodes, LEDs, GPIO lines).  Paths are device paths
// and resolve under the device root.
// Reads at most size - 1 bytes of the file into buf and terminates the text.
// Number of bytes read; -1 when the file cannot be opened or read.
int get_file_buf(const char *path, char *buf, int size);
// Writes the formatted text to the file, replacing what was there.  1 on
// success, 0 on failure (a text longer than 255 bytes is refused whole).
int set_file_buf(const char *path, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
