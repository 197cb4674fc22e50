#pragma once
// Bytes waiting for their time on the wire.  Peers use it to answer late, in
// pieces or not at all; the loop drains what is due.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct TimedSend {
    int64_t due_ms = 0;
    uint64_t seq = 0;  // order of push; breaks ties so equal due times stay FIFO
    size_t port = 0;
    std::string bytes;
};

class TimerQueue {
public:
    static constexpr size_t kMaxEntries = 4096;

    // 0 queued, -1 when full (a runaway peer must not eat the machine).
    int push(int64_t due_ms, size_t port, std::string bytes);
    // Due time of the earliest entry; -1 when empty.
    int64_t next_due() const;
    // Takes the earliest entry due at or before now_ms: 1 taken, 0 none due.
    int pop_due(int64_t now_ms, TimedSend *out);
    size_t size() const { return heap_.size(); }

private:
    std::vector<TimedSend> heap_;
    uint64_t seq_ = 0;
};
