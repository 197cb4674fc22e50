#pragma once
// The machinery the three serial lines share: port set-up, the receive buffer
// pool, the byte-by-byte frame assembler, the dispatcher, request/response
// waits and threads that stop when asked.  usart_lock_handle, usart_mcu_handle
// and usart_ecu_handle each own one SerialLine and give it their names.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

inline constexpr size_t kAnswerSize = 256;
// Expected answer id / source node of a request: taken from the request frame
// (its own message id, its destination), or not checked at all.
inline constexpr int kAnswerOfRequest = -1;
inline constexpr int kAnswerAny = -2;

struct SerialLineConfig {
    const char *name;          // "lock", "mcu", "ecu": for messages
    const char *device;        // device path, e.g. "/dev/ttyHSL1"
    unsigned baud;             // 38400 or 115200
    size_t slots;              // pool slots
    size_t slot_size;          // bytes per slot
    int byte_wait_ms;          // inter-byte gap that drops a partial frame
    bool wide_length;          // 16-bit payload length (factory line) or low byte only
    bool accept_caret;         // caret frames on this line (main MCU)
    const char *no_buf_msg;    // printed when no slot is free after a frame
    const char *recv_fn_name;  // function name in the receive messages
};

// Byte-by-byte frame assembly into one slot, independent of any port.
struct FrameAssembler {
    size_t idx = 0;     // bytes stored in the slot
    size_t expect = 0;  // total length once the length field is in, else 0
    bool caret = false;
    void reset() { idx = expect = 0; }
};
enum AssembleResult { ASM_MORE = 0, ASM_FRAME = 1, ASM_BAD = -1 };
// Feeds one byte.  ASM_FRAME: slot[0..idx) holds a valid frame (the caller
// publishes it and resets); ASM_BAD: a complete frame failed validation, or a
// declared length does not fit the slot (already reset, message printed).
// Never writes at or beyond slot[cap].
AssembleResult assemble_byte(const SerialLineConfig &cfg, FrameAssembler &st, uint8_t *slot, size_t cap,
                             uint8_t b);

// Buffer pool: slots allocated once, state 0 free, 1 being filled, 2 ready.
class BufPool {
public:
    BufPool(size_t slots, size_t slot_size);
    // Lowest-numbered free slot, zeroed and marked 1; nullptr when all are used.
    uint8_t *take();
    // Marks the slot free.  Unknown addresses are ignored.
    void release(const uint8_t *slot);
    // Marks the slot ready with its frame length and wakes the dispatcher.
    // false when the address is not a slot of this pool.
    bool publish(uint8_t *slot, size_t len);
    // Waits up to `ms` for a ready slot; returns the oldest one (arrival order),
    // or nullptr.  The slot stays in state 2 until released.
    uint8_t *wait_ready(int ms, size_t *len);
    // Waits up to `ms` for a slot to be freed.
    void wait_free(int ms);
    // Wakes every waiter, so that a line thread asked to stop sees it now.
    void wake();
    size_t slot_size() const { return slot_size_; }
    size_t slots() const { return states_.size(); }
    int state(size_t i);

private:
    long index_of(const uint8_t *slot) const;
    size_t slot_size_;
    std::unique_ptr<uint8_t[]> mem_;
    std::vector<uint8_t> states_;
    std::vector<size_t> lens_;
    std::vector<uint64_t> seq_;
    uint64_t next_seq_ = 1;
    std::mutex mtx_;
    std::condition_variable ready_;
    std::condition_variable freed_;
};

// A thread that is asked to stop and then joined; never cancelled.
class LineThread {
public:
    LineThread() = default;
    ~LineThread();
    LineThread(const LineThread &) = delete;
    LineThread &operator=(const LineThread &) = delete;
    // Starts `body` in a loop: it is called again whenever it returns, until a
    // stop is requested.  No effect when already running.
    void start(std::function<void()> body);
    // Asks the thread to stop, wakes it and waits until it has.
    void stop();
    // Only asks and wakes; stop() then joins.
    void request_stop();
    // Starts the last body again; false when running or never started.
    bool restart();
    bool running() const { return running_.load(); }
    // The thread's name ("lock-rx", ...), taken by the next start.
    void set_name(const char *name);

    struct Ctl;

private:
    char name_[16] = {};
    std::function<void()> body_;
    std::thread thread_;
    std::shared_ptr<Ctl> ctl_;
    std::atomic<bool> running_{false};
};

class SerialLine {
public:
    explicit SerialLine(const SerialLineConfig &cfg);
    ~SerialLine();

    const SerialLineConfig &config() const { return cfg_; }
    BufPool &pool() { return pool_; }

    // Opens and configures the device.  1 on success, 0 on failure.
    int open_port();
    // Closes the port and keeps it closed (it is handed to someone else, e.g.
    // the MCU bootloader) until the next open_port.  The line's threads are
    // stopped and joined first: a receive thread still polling the old
    // descriptor number would read from whatever file gets that number next.
    void close_port();
    // Starts again the threads that close_port stopped (after open_port).
    void resume_threads();
    bool is_open() const { return fd_.load() >= 0; }
    int fd() const { return fd_.load(); }

    // Whole buffer, under the write mutex.  Bytes written, 0 when not open.
    int write_bytes(const uint8_t *data, size_t len);

    // Waits up to `wait_ms` for one byte.  1 when read, 0 otherwise (also when
    // the line is closed, after waiting).  Served from a small buffer that one
    // read fills with whatever has arrived, so a byte already here is returned
    // at once, exactly as when it was still waiting in the kernel.  Returns early when a stop of the
    // calling line thread was requested.
    int read_byte(uint8_t *out, int wait_ms);

    // One run of the frame assembler: fills slots until the pool runs out or a
    // stop is requested.  The receive thread calls it in a loop.
    void recv_frames();

    // One wait of the dispatcher: waits for a ready slot and hands every ready
    // slot to `deliver` (frame, length) in arrival order, then frees it.
    void dispatch_once(const std::function<void(const uint8_t *, size_t)> &deliver);

    // Request/response.  `tag` is what the answer must carry (1 for bus-frame
    // requests, the caller's value for caret ones); `idle_tag` is the value the
    // tag returns to.  Returns the answer length copied into `answer`
    // (kAnswerSize bytes), 0 on failure or timeout.  Only a bus frame with
    // message id `expect_id` from node `expect_src` completes it: by default
    // the request's own id and destination, so that a broadcast or a late
    // answer to an earlier request never does.  Caret requests rely on the tag.
    int request(const char *fn, const uint8_t *req, size_t len, int wait_ms, uint8_t *answer, int tag,
                int idle_tag, int expect_id = kAnswerOfRequest, int expect_src = kAnswerOfRequest);
    // Current pending tag (the idle value when none).
    int pending_tag() const { return tag_.load(); }
    // Called from the dispatcher by a handler whose rule matched: stores the
    // answer for the waiting requester.  1 when a request was waiting.
    int deliver_answer(const uint8_t *frame, size_t len, int tag);

    LineThread recv_thread;
    LineThread dispatch_thread;
    LineThread poll_thread;

    // Request a stop of the line thread running this call (set per thread).
    static bool stop_requested();

private:
    void close_fd();
    bool try_reopen();

    SerialLineConfig cfg_;
    BufPool pool_;
    std::atomic<int> fd_{-1};
    std::mutex write_mtx_;
    std::mutex open_mtx_;
    std::mutex req_mtx_;
    std::mutex ans_mtx_;
    std::condition_variable ans_cv_;
    std::atomic<int> tag_{0};
    int expect_id_ = kAnswerAny;   // under ans_mtx_
    int expect_src_ = kAnswerAny;
    bool armed_ = false;  // a requester is waiting
    bool ans_ready_ = false;
    uint8_t answer_[kAnswerSize] = {};
    size_t ans_len_ = 0;
    std::atomic<bool> hangup_reported_{false};
    // Receive buffer behind read_byte, filled by one read of what is there.
    static constexpr size_t kRxBurst = 64;
    std::mutex rx_mtx_;
    uint8_t rx_buf_[kRxBurst] = {};
    size_t rx_pos_ = 0, rx_len_ = 0;
    // A line that hung up, or never opened, is opened again by its receive
    // thread, unless it was closed on purpose.
    std::atomic<bool> auto_reopen_{true};
    // Threads close_port stopped, for resume_threads.
    std::atomic<bool> recv_stopped_{false}, dispatch_stopped_{false}, poll_stopped_{false};
};

// Sleeps `ms` on a line thread; returns early (false) when a stop is requested.
bool line_sleep_ms(int ms);
