#pragma once
// A loopback HTTP/1.1 file server for OTA files: GET of a file directly in or
// below one directory, answered with Content-Length and the file; anything
// else is refused.  Binds 127.0.0.1 only.
#include <atomic>
#include <cstdint>
#include <string>

// Serves `dir` until *stop is set.  `port` 0 picks a free port; the port in
// use is printed as "serving <dir> on http://127.0.0.1:<port>/".  0 on a
// clean stop, 1 when the socket could not be set up.
int cloud_serve(const std::string &dir, int port, const std::atomic<bool> *stop);

// Maps a request path to a file under `dir`: "" for paths that leave it
// (".." components), carry a query, or are not absolute.
std::string cloud_serve_map(const std::string &dir, const std::string &path);
