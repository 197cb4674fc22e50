#pragma once
// Device root: every absolute path of the box resolves under $TELAGENT_ROOT.
// On the module the variable is unset and paths are used as they are; in the
// simulation build an unset root (or "/") is refused so that a developer's slip
// never reaches the machine's real /iot, /var or /etc.
#include <string>
#include <string_view>

// The root as configured ("" on the device), trailing slashes removed.
std::string plat_root();

// True when the agent may run with this root: always on the device build; in the
// simulation build only with a root that is set, absolute and not "/".
bool plat_root_usable();

// Resolves an absolute device path ("/iot/log") to the path on this machine.
// ".." components are folded lexically and can never climb above the root.
// A relative path is returned unchanged (it is relative to the working
// directory, which the host sets to the root).  In the simulation build without
// a usable root the result lies under a directory that does not exist, so a
// write fails instead of landing on the development machine.
std::string plat_path(std::string_view device_path);
