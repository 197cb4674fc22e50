#pragma once
// System utilities and recovery.

// Recovery thread body: after a self-update, rebuilds the backup file system.
void *px510_recovery_handle_loop(void *arg);

// Reboots now: sync and the reboot system call; should that return, the
// modem's reset command.
void reboot_system_now(void);

// Reboots in 5 s on a thread of its own, so the caller can finish its line:
// sync, the reboot system call; should that return, the modem's reset command.
void reboot_system(void);
