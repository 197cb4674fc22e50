#include "core/timer_queue.h"

#include <algorithm>
#include <utility>

namespace {

// std heap functions build a max-heap; "greater" puts the earliest on top.
bool later(const TimedSend &a, const TimedSend &b) {
    if (a.due_ms != b.due_ms) return a.due_ms > b.due_ms;
    return a.seq > b.seq;
}

}  // namespace

int TimerQueue::push(int64_t due_ms, size_t port, std::string bytes) {
    if (heap_.size() >= kMaxEntries) return -1;
    heap_.push_back(TimedSend{due_ms, seq_++, port, std::move(bytes)});
    std::push_heap(heap_.begin(), heap_.end(), later);
    return 0;
}

int64_t TimerQueue::next_due() const { return heap_.empty() ? -1 : heap_.front().due_ms; }

int TimerQueue::pop_due(int64_t now_ms, TimedSend *out) {
    if (heap_.empty() || heap_.front().due_ms > now_ms) return 0;
    std::pop_heap(heap_.begin(), heap_.end(), later);
    *out = std::move(heap_.back());
    heap_.pop_back();
    return 1;
}
