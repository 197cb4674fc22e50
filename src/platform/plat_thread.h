#pragma once
// Threads the agent starts.  Every one of them gets an alternate signal stack
// of its own: the crash handler runs on it, so a thread that overflows its
// stack still leaves a crash log.  Signal stacks are per thread; the one the
// entry sets up covers only the thread that called it.
#include <thread>
#include <utility>

// Owns the calling thread's alternate signal stack for as long as it lives.
// A thread that already has one (the entry's) keeps it untouched.
class PlatAltStack {
public:
    PlatAltStack();
    ~PlatAltStack();
    PlatAltStack(const PlatAltStack &) = delete;
    PlatAltStack &operator=(const PlatAltStack &) = delete;
    // True when the thread has an alternate stack (ours or one it had).
    bool ok() const { return ok_; }

private:
    void *mem_ = nullptr;
    bool ok_ = false;
};

// Bytes of each thread's alternate stack: room for the crash handler's
// backtrace on top of the kernel's signal frame.
constexpr unsigned long kPlatAltStackSize = 64 * 1024;

// Names the calling thread (top -H, /proc/<pid>/task/*/comm, gdb).  The kernel
// keeps 15 characters; a longer name is cut, never refused.
void plat_set_thread_name(const char *name);

// A thread name as the kernel keeps it, copied so the caller's text may go.
struct PlatThreadName {
    char text[16] = {};
    explicit PlatThreadName(const char *name);
};

// std::thread whose body runs with its own alternate signal stack, under the
// given name.  Use it for every thread the agent starts.
template <class F, class... Args>
std::thread plat_thread(const char *name, F &&f, Args &&...args) {
    return std::thread(
        [](PlatThreadName n, auto fn, auto... a) {
            plat_set_thread_name(n.text);
            PlatAltStack alt;
            std::move(fn)(std::move(a)...);
        },
        PlatThreadName(name), std::forward<F>(f), std::forward<Args>(args)...);
}
