#pragma once
// Small file helpers for preparing a device root.  All return 0 / -1.
#include <cstddef>
#include <string>

int devsim_mkdirs(const std::string &path);
// Writes via a temporary file and rename, so a reader never sees half a file.
int devsim_write_file(const std::string &path, const std::string &content);
int devsim_append_file(const std::string &path, const std::string &content);
// Reads at most max bytes: 0 ok, -1 unreadable, -2 larger than max.
int devsim_read_file(const std::string &path, size_t max, std::string *out);
// Points `link` at `target`, replacing whatever was there, atomically.
int devsim_symlink(const std::string &target, const std::string &link);
