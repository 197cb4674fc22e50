#pragma once
// System utilities and recovery: the reboot, power-off and restart paths, the
// shell-command runner, small file helpers, power-on/off reasons, MD5 of files
// and the recovery thread that rebuilds the backup of the application file
// system after a self-update.
//
// Every path these helpers take is a device path ("/iot/conf/GD32.hex",
// "/sys/class/leds/..."); it is resolved under the device root (plat_path), so
// callers never resolve it themselves.
#include <cstddef>
#include <cstdint>

#include "telagent/export.h"

// ---- reboot, power-off, restart -----------------------------------------

// Sync and the reboot system call; should that return, the modem's reset
// command "at+RESET" on the AT port.
void reboot_system_now(void);
// In a thread of its own: 5 s, sync, reboot as above, record the uptime
// (set_reboot_flag) and send "at+RESET" again.
void reboot_system(void);
// In a thread of its own: 2 s, sync, reboot.
void reboot_sys(void);
// Reboot through the kernel's SysRq interface (enable, sync, remount
// read-only, boot).  1 when every step was accepted, else 0.
int reboot_system_immediately(void);
// In a thread of its own, forever: "at+Poweroff" to the modem every 10 s.
void poweroff_system(void);
// In a thread of its own: restart the BLE bridge, wait 5 s and end the process
// with status 0 so that the host starts the service again.
void reload_app(void);

// The restart of reload_app goes through the entry's command keywords
// ("force_reboot_bt"), which live above this module: the entry registers its
// handler at start-up.  Without one the keyword is only printed.
void set_sys_command_handler(void (*handler)(const char *keyword));

// ---- shell ----------------------------------------------------------------

// Runs `command` through the shell.  With a buffer, up to size-1 bytes of the
// output are kept (buffer cleared first, always NUL-terminated); the rest of
// the output is read and dropped so the command is never cut off by a closed
// pipe.  Stores the wait status in *status.  0, or -1 when the pipe cannot be
// opened, a read fails or the wait status is unavailable.
int execute_cmd(const char *command, int *status, char *buffer, size_t size);
// 1 when the command ran and exited with status 0, else 0 (with a message).
int execute_cmd_ignore_output(const char *command);
// The same, keeping the output in `buffer`.
int execute_cmd_with_output(const char *command, char *buffer, size_t size);

// Whole seconds since the system started ("/proc/uptime").  1 or 0.
int get_system_uptime(uint64_t *seconds);
// Stores the uptime and sets the reboot flag.  1 or 0.
int set_reboot_flag(void);
// 1 once set_reboot_flag succeeded, and the uptime it stored.
int get_reboot_flag(void);
uint64_t get_reboot_uptime(void);

// ---- files ------------------------------------------------------------------

// 1 when the path exists, else 0.
int check_file_exist(const char *path);
// Deletes a file.  1 when deleted, else 0 (with a message).
int remove_file(const char *path);
// Deletes a file or a whole directory tree through the shell ("rm -rf").
// 1 or 0.  Only absolute device paths; the device root itself is never removed.
int system_remove_file(const char *path);
// 1 when the file's first byte is end of file, 0 when it holds data, -1 when
// it cannot be opened.
int check_file_empty(const char *path);
// Size in bytes, -1 when the file cannot be examined.
int64_t get_filesize(const char *path);
// Free and total bytes of the root file system; 0 on failure.
uint64_t get_free_size(void);
uint64_t get_rom_size(void);
// Reads up to size-1 bytes of a small file into `buffer` (NUL-terminated).
// Bytes read, or -1 when the file cannot be opened or read.
int get_file_buf(const char *path, char *buffer, size_t size);
// Writes a formatted text to a file, truncating it first (sysfs control
// files).  1 when all of it was written, else 0.  Texts longer than 1023
// bytes are refused rather than cut.
int set_file_buf(const char *path, const char *format, ...) __attribute__((format(printf, 2, 3)));

// ---- digests ----------------------------------------------------------------

// MD5 of a whole file as 32 lower-case hex digits in `out` (33 bytes).  1 or 0.
int compute_file_md5(const char *path, char out[33]);
// The raw 16-byte digest.  1 or 0.
int get_file_md5(const char *path, unsigned char out[16]);

// ---- recovery -----------------------------------------------------------------

// Recovery thread body: 10 s after start, when the system-backup flag
// (BleAuth) is 1, backs up the application file system and clears the flag.
void *px510_recovery_handle_loop(void *arg);
// The backup itself: 2 on success, 0 on failure.
int ota_hostcore_recovery_handle(void);

// Power-on and power-off reason codes of the power-management chip; -1 when
// the file cannot be opened, 0 when it is empty.  Called by the host.
extern "C" TELAGENT_API int check_on_reson(void);
extern "C" TELAGENT_API int check_off_reson(void);
