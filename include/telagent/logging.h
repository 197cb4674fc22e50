#pragma once
/* The two logs of the agent: the device log (mlog, "IOT-") written by the
 * service itself and the SDK log (tavi_log, "SDK-") written by the device-side
 * code of the GNSS, sensor, MCU-update and factory parts.  Each prints to the
 * console, appends to /iot/log/YYYYMMDD/HH.log, or is off.  Also here: keeping
 * /iot/log from filling the flash, and zipping a day directory for the host. */
#include "telagent/export.h"

/* Message levels: a message is written when its level is at most the log's. */
#define LOG_ERROR 0
#define LOG_DEBUG 1
#define LOG_TRACE 2
#define LOG_INFO 3

/* Output types; any value other than OFF and FILE means the console. */
#define LOG_TYPE_OFF 0
#define LOG_TYPE_CONSOLE 1
#define LOG_TYPE_FILE 2

TELAGENT_EXTERN_C_BEGIN

/* Device log.  1 when the message was written, 0 when filtered out or when the
 * hour file could not be opened. */
TELAGENT_API int mlog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
/* SDK log.  Always 0; syncs the file systems after every call. */
TELAGENT_API int tavi_log(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

TELAGENT_API void mLogInit(unsigned level, int type);
TELAGENT_API void iot_log_init(unsigned level, int type);

/* Hex dumps under the same filtering as the messages of each log. */
TELAGENT_API void mlogHex(int level, const void *bytes, int count);
TELAGENT_API void tavi_logHex(int level, const void *bytes, int count);

/* Deletes day directories older than today and the three days before. */
TELAGENT_API void clean_dir_log(void);
/* Called once per supervision pass; every 61st call checks the free space of
 * the root file system and drops the oldest day directory below 5 MiB. */
TELAGENT_API void check_disk_statfs(void);
/* Deletes the day directory with the smallest name. */
TELAGENT_API void force_clean_log(void);

/* Zips the regular files of a directory (at most 64) into `archive`; both are
 * device paths.  1 when an archive was made, else 0. */
TELAGENT_API int iot_dir_compresse(const char *dir, const char *archive);
/* Reads one entry of an archive back into memory.  1 on success, else 0. */
TELAGENT_API int iot_zip_file_decompresse(const char *archive, const char *entry);

TELAGENT_EXTERN_C_END
