#pragma once
// A sysfs value node that a loop reads again and again (the motion sensor's
// readings, ten times a second): opened once, then re-read from its start with
// pread, so a pass costs one system call instead of a path walk, an open, two
// reads and a close.  Not shared between threads: each reader keeps its own.
#include <cstddef>
#include <cstdint>

// What a kept node remembers to tell, cheaply, whether the file behind it may
// have been replaced since it was opened.
struct PlatNodeWatch {
    const void *counter = nullptr;  // simulation: the device simulator's count of node writes
    uint32_t seen = 0;
    uint32_t reads = 0;
};

class PlatNode {
public:
    PlatNode() = default;
    ~PlatNode() { close(); }
    PlatNode(const PlatNode &) = delete;
    PlatNode &operator=(const PlatNode &) = delete;

    // Reads at most cap-1 bytes of the node at `device_path` (resolved under
    // the device root) and terminates them.  Bytes read, or -1 (buf is then "").
    // A different path than last time opens the new node.
    int read(const char *device_path, char *buf, size_t cap);
    void close();

private:
    int fd_ = -1;
    PlatNodeWatch watch_;
    char path_[128] = {};
};

// Called before a node is opened: fills the watch for plat_node_replaced.
void plat_node_watch(PlatNodeWatch *w);
// True when the file behind an open node descriptor is no longer the one its
// path names (device: never, sysfs nodes stay; simulation: the device
// simulator replaces a node by renaming a new file over it).
bool plat_node_replaced(int fd, PlatNodeWatch *w);
