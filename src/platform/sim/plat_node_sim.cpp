#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/plat_node.h"
#include "platform/plat_path.h"

// devsim writes a node as a new file renamed over the old one; the old file,
// still open here, then has no name left.  devsim also counts its node writes
// in a shared word (/var/devsim/nodes.gen), so a pass that finds the count
// unchanged needs no system call; the fstat runs when it moved, and every 16th
// read in any case (a root without devsim, or one whose counter went away).

namespace {

constexpr uint32_t kCheckEvery = 16;

struct Mapping {
    std::mutex mu;
    std::string root;  // the device root the word below belongs to
    const std::atomic<uint32_t> *word = nullptr;
};

Mapping &mapping() {
    static Mapping *m = new Mapping;  // never destroyed: readers may run at exit
    return *m;
}

const std::atomic<uint32_t> *counter_for_root() {
    Mapping &m = mapping();
    const std::string root = plat_path("/");
    std::lock_guard<std::mutex> lk(m.mu);
    if (m.word != nullptr && m.root == root) return m.word;
    // A new root: the old mapping stays (a reader may still hold it).
    m.word = nullptr;
    m.root = root;
    const int fd = open(plat_path("/var/devsim/nodes.gen").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    void *p = MAP_FAILED;
    if (fstat(fd, &st) == 0 && st.st_size >= static_cast<off_t>(sizeof(uint32_t)))
        p = mmap(nullptr, sizeof(uint32_t), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    m.word = static_cast<const std::atomic<uint32_t> *>(p);
    return m.word;
}

}  // namespace

void plat_node_watch(PlatNodeWatch *w) {
    const std::atomic<uint32_t> *c = counter_for_root();
    w->counter = c;
    w->seen = c != nullptr ? c->load(std::memory_order_acquire) : 0;
    w->reads = 0;
}

bool plat_node_replaced(int fd, PlatNodeWatch *w) {
    const auto *c = static_cast<const std::atomic<uint32_t> *>(w->counter);
    if (c != nullptr && ++w->reads % kCheckEvery != 0) {
        const uint32_t now = c->load(std::memory_order_acquire);
        if (now == w->seen) return false;
        w->seen = now;
    }
    struct stat st {};
    return fstat(fd, &st) != 0 || st.st_nlink == 0;
}
