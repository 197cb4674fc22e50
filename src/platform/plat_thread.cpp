#include "platform/plat_thread.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>

#include <cstring>

PlatThreadName::PlatThreadName(const char *name) {
    if (name != nullptr) strncpy(text, name, sizeof text - 1);
}

void plat_set_thread_name(const char *name) {
    PlatThreadName n(name);
    pthread_setname_np(pthread_self(), n.text);
}

PlatAltStack::PlatAltStack() {
    stack_t cur{};
    if (sigaltstack(nullptr, &cur) == 0 && !(cur.ss_flags & SS_DISABLE)) {
        ok_ = true;  // set up by someone else: not ours to replace or free
        return;
    }
    // mmap rather than the heap: the handler may run after the heap is broken.
    void *p = mmap(nullptr, kPlatAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_sp = p;
    ss.ss_size = kPlatAltStackSize;
    if (sigaltstack(&ss, nullptr) != 0) {
        munmap(p, kPlatAltStackSize);
        return;
    }
    mem_ = p;
    ok_ = true;
}

PlatAltStack::~PlatAltStack() {
    if (mem_ == nullptr) return;
    // Switched off before the memory goes, so that no late signal lands on it.
    stack_t off{};
    off.ss_flags = SS_DISABLE;
    sigaltstack(&off, nullptr);
    munmap(mem_, kPlatAltStackSize);
}
