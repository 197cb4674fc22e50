#pragma once
// Device log, SDK log and the housekeeping of /iot/log; the public entry points
// are in telagent/logging.h, the helpers other modules use are here.
#include <cstddef>
#include <string>

#include "telagent/logging.h"

// Console hex dump with a titled header line; never reaches the log files.
void dhex(const char *title, const void *bytes, int count);
// Console line with a "MM/DD hh:mm:ss.ms- " stamp; never reaches the log files.
void dmsg(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Removes every entry of a directory (one level deep, links are unlinked, never
// followed) and then the directory.  Machine path.  0 on success, -1 on failure.
int remove_files(const char *machine_dir);

// Current settings, for start-up and signal handling checks.
unsigned mlog_level(void);
int mlog_type(void);
unsigned tavi_log_level(void);
int tavi_log_type(void);

// Largest entry iot_zip_file_decompresse will read back.
constexpr size_t kZipEntryMax = 16u * 1024u * 1024u;
// Most files one archive takes, and the longest "dir/name" path of one of them.
constexpr size_t kZipMaxFiles = 64;
constexpr size_t kZipMaxPath = 127;

// Reads entry `entry` of the archive at device path `archive` into *out.
// 1 on success; 0 when the archive or the entry cannot be read or the entry is
// larger than kZipEntryMax.  Prints nothing.
int iot_zip_read_entry(const char *archive, const char *entry, std::string *out);
