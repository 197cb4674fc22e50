#pragma once
// The two pieces of the host that decide what gets loaded and where: the device
// root from the environment and the library named in /iot/conf/libiot.ini.
#include <cstddef>
#include <string>

// Library loaded when libiot.ini is missing or unusable.
inline constexpr const char *kHostDefaultLib = "/iot/lib/libTelAgent.so";
// The other slot, taken by a self-update from the default one.
inline constexpr const char *kHostExLib = "/iot/lib/libTelAgentEx.so";
// Bytes of libiot.ini that count; the rest of the file is ignored.
inline constexpr size_t kHostLibIniMax = 64;

// Validates $TELAGENT_ROOT: set, absolute and not "/" (after dropping trailing
// slashes, which are also dropped from *root).  0 when usable, -1 otherwise.
int host_root_from_env(const char *env, std::string *root);

// The logical library path from the first bytes of libiot.ini: at most
// kHostLibIniMax bytes, cut at the first CR, LF or NUL, used only when it has at
// least 6 characters, is absolute and has no ".." component (so it cannot leave
// the device root); otherwise kHostDefaultLib.
std::string host_parse_lib_line(const char *data, size_t len);

// Reads <root>/iot/conf/libiot.ini and applies host_parse_lib_line.
std::string host_read_lib_path(const std::string &root);
