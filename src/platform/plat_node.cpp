#include "platform/plat_node.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/plat_path.h"

int PlatNode::read(const char *device_path, char *buf, size_t cap) {
    if (buf == nullptr || cap == 0) return -1;
    buf[0] = '\0';
    if (device_path == nullptr) return -1;
    const bool same = fd_ >= 0 && strncmp(path_, device_path, sizeof path_) == 0;
    if (!same || plat_node_replaced(fd_, &watch_)) {
        close();
        if (strlen(device_path) >= sizeof path_) return -1;
        plat_node_watch(&watch_);
        fd_ = open(plat_path(device_path).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return -1;
        strcpy(path_, device_path);
    }
    ssize_t n;
    do {
        n = pread(fd_, buf, cap - 1, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        close();  // opened again on the next pass
        return -1;
    }
    buf[n] = '\0';
    return static_cast<int>(n);
}

void PlatNode::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_[0] = '\0';
}
