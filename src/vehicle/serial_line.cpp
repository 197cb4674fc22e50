#include "vehicle/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/plat_path.h"
#include "platform/plat_thread.h"
#include "vehicle/frame_codec.h"

struct LineThread::Ctl {
    std::atomic<bool> stop{false};
    int efd = -1;
    ~Ctl() {
        if (efd >= 0) close(efd);
    }
};

namespace {

thread_local LineThread::Ctl *t_ctl = nullptr;

speed_t baud_to_speed(unsigned baud) {
    switch (baud) {
        case 9600: return B9600;
        case 19200: return B19200;
        case 57600: return B57600;
        case 115200: return B115200;
        default: return B38400;
    }
}

// Polls `fd` (may be -1) together with the stop event of the calling line
// thread.  Returns the poll revents of fd, 0 on timeout or stop.
short poll_with_stop(int fd, short events, int wait_ms) {
    struct pollfd p[2];
    int n = 0;
    if (fd >= 0) p[n++] = {fd, events, 0};
    int stop_idx = -1;
    if (t_ctl != nullptr && t_ctl->efd >= 0) {
        stop_idx = n;
        p[n++] = {t_ctl->efd, POLLIN, 0};
    }
    if (n == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
        return 0;
    }
    int r;
    do {
        r = poll(p, static_cast<nfds_t>(n), wait_ms);
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return 0;
    if (stop_idx >= 0 && (p[stop_idx].revents & POLLIN)) return 0;
    return fd >= 0 ? p[0].revents : 0;
}

}  // namespace

bool line_sleep_ms(int ms) {
    poll_with_stop(-1, 0, ms);
    return !SerialLine::stop_requested();
}

// ---- BufPool ---------------------------------------------------------------

BufPool::BufPool(size_t slots, size_t slot_size)
    : slot_size_(slot_size),
      mem_(new uint8_t[slots * slot_size]()),
      states_(slots, 0),
      lens_(slots, 0),
      seq_(slots, 0) {}

long BufPool::index_of(const uint8_t *slot) const {
    if (slot < mem_.get()) return -1;
    size_t off = static_cast<size_t>(slot - mem_.get());
    if (off % slot_size_ != 0 || off / slot_size_ >= states_.size()) return -1;
    return static_cast<long>(off / slot_size_);
}

uint8_t *BufPool::take() {
    std::lock_guard<std::mutex> g(mtx_);
    for (size_t i = 0; i < states_.size(); ++i) {
        if (states_[i] == 0) {
            uint8_t *s = mem_.get() + i * slot_size_;
            memset(s, 0, slot_size_);
            states_[i] = 1;
            return s;
        }
    }
    return nullptr;
}

void BufPool::release(const uint8_t *slot) {
    {
        std::lock_guard<std::mutex> g(mtx_);
        long i = index_of(slot);
        if (i < 0) return;
        states_[static_cast<size_t>(i)] = 0;
    }
    freed_.notify_all();
}

bool BufPool::publish(uint8_t *slot, size_t len) {
    {
        std::lock_guard<std::mutex> g(mtx_);
        long i = index_of(slot);
        if (i < 0) return false;
        states_[static_cast<size_t>(i)] = 2;
        lens_[static_cast<size_t>(i)] = len;
        seq_[static_cast<size_t>(i)] = next_seq_++;
    }
    ready_.notify_one();
    return true;
}

uint8_t *BufPool::wait_ready(int ms, size_t *len) {
    std::unique_lock<std::mutex> g(mtx_);
    auto pick = [this]() -> long {
        long best = -1;
        for (size_t i = 0; i < states_.size(); ++i) {
            if (states_[i] == 2 && (best < 0 || seq_[i] < seq_[static_cast<size_t>(best)])) best = static_cast<long>(i);
        }
        return best;
    };
    long i = pick();
    if (i < 0 && ms > 0) {
        // A stop of the waiting line thread ends the wait too (see wake).
        ready_.wait_for(g, std::chrono::milliseconds(ms), [&] { return pick() >= 0 || SerialLine::stop_requested(); });
        i = pick();
    }
    if (i < 0) return nullptr;
    if (len) *len = lens_[static_cast<size_t>(i)];
    return mem_.get() + static_cast<size_t>(i) * slot_size_;
}

void BufPool::wake() {
    // Under the lock: a waiter is either before its predicate check or inside the wait.
    std::lock_guard<std::mutex> g(mtx_);
    ready_.notify_all();
    freed_.notify_all();
}

void BufPool::wait_free(int ms) {
    std::unique_lock<std::mutex> g(mtx_);
    for (uint8_t st : states_) {
        if (st == 0) return;
    }
    freed_.wait_for(g, std::chrono::milliseconds(ms));
}

int BufPool::state(size_t i) {
    std::lock_guard<std::mutex> g(mtx_);
    return i < states_.size() ? states_[i] : -1;
}

// ---- LineThread --------------------------------------------------------------

LineThread::~LineThread() { stop(); }

void LineThread::start(std::function<void()> body) {
    if (running_.exchange(true)) return;
    body_ = body;
    ctl_ = std::make_shared<Ctl>();
    ctl_->efd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    auto ctl = ctl_;
    thread_ = plat_thread(name_, [ctl, body = std::move(body)] {
        t_ctl = ctl.get();
        while (!ctl->stop.load()) body();
        t_ctl = nullptr;
    });
}

void LineThread::set_name(const char *name) {
    // The kernel keeps 15 characters; a longer name is cut.
    strncpy(name_, name, sizeof name_ - 1);
    name_[sizeof name_ - 1] = '\0';
}

void LineThread::request_stop() {
    if (!running_.load() || !ctl_) return;
    ctl_->stop.store(true);
    uint64_t one = 1;
    ssize_t w = write(ctl_->efd, &one, sizeof one);
    (void)w;
}

void LineThread::stop() {
    if (!running_.load()) return;
    request_stop();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();  // a thread stopping itself just ends its loop
        } else {
            thread_.join();
        }
    }
    ctl_.reset();
    running_.store(false);
}

bool LineThread::restart() {
    if (running_.load() || !body_) return false;
    start(body_);
    return true;
}

bool SerialLine::stop_requested() { return t_ctl != nullptr && t_ctl->stop.load(); }

// ---- SerialLine ---------------------------------------------------------------

SerialLine::SerialLine(const SerialLineConfig &cfg) : cfg_(cfg), pool_(cfg.slots, cfg.slot_size) {
    const std::string base = cfg.name != nullptr ? cfg.name : "line";
    recv_thread.set_name((base + "-rx").c_str());
    dispatch_thread.set_name((base + "-disp").c_str());
    poll_thread.set_name((base + "-poll").c_str());
}

SerialLine::~SerialLine() {
    // Asks every thread, wakes the pool's waiters, joins them, closes.
    close_port();
}

int SerialLine::open_port() {
    std::lock_guard<std::mutex> g(open_mtx_);
    if (fd_.load() >= 0) return 1;
    std::string path = plat_path(cfg_.device);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 0;
    struct termios tio {};
    if (tcgetattr(fd, &tio) != 0) {
        close(fd);
        return 0;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(BRKINT | INPCK | ISTRIP | ICRNL | IXON);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE);
    tio.c_cc[VTIME] = 50;
    tio.c_cc[VMIN] = 0;
    cfsetospeed(&tio, baud_to_speed(cfg_.baud));
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        close(fd);
        return 0;
    }
    fd_.store(fd);
    auto_reopen_.store(true);
    if (hangup_reported_.exchange(false)) printf("%d/%s %s line %s reopened\n", __LINE__, __func__, cfg_.name, cfg_.device);
    return 1;
}

void SerialLine::close_fd() {
    std::lock_guard<std::mutex> g(open_mtx_);
    std::lock_guard<std::mutex> w(write_mtx_);
    int fd = fd_.exchange(-1);
    if (fd >= 0) close(fd);
    // Bytes of the old open are not served after the next one.
    std::lock_guard<std::mutex> r(rx_mtx_);
    rx_pos_ = rx_len_ = 0;
}

void SerialLine::close_port() {
    auto_reopen_.store(false);
    // Joined before the descriptor goes; all are asked first and woken, so
    // the joins take no longer than the slowest thread's current step.  A
    // line thread closing its own port just ends its loop.
    poll_thread.request_stop();
    dispatch_thread.request_stop();
    recv_thread.request_stop();
    pool_.wake();
    if (poll_thread.running()) {
        poll_thread.stop();
        poll_stopped_.store(true);
    }
    if (dispatch_thread.running()) {
        dispatch_thread.stop();
        dispatch_stopped_.store(true);
    }
    if (recv_thread.running()) {
        recv_thread.stop();
        recv_stopped_.store(true);
    }
    close_fd();
}

void SerialLine::resume_threads() {
    if (recv_stopped_.exchange(false)) recv_thread.restart();
    if (dispatch_stopped_.exchange(false)) dispatch_thread.restart();
    if (poll_stopped_.exchange(false)) poll_thread.restart();
}

int SerialLine::write_bytes(const uint8_t *data, size_t len) {
    if (data == nullptr) return 0;
    std::lock_guard<std::mutex> g(write_mtx_);
    int fd = fd_.load();
    if (fd < 0) return 0;
    // One frame goes out whole: a full output queue is waited for, briefly,
    // rather than leaving half a frame on the line.
    size_t done = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (done < len) {
        ssize_t w = write(fd, data + done, len - done);
        if (w > 0) {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && errno != EAGAIN) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        struct pollfd p = {fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return static_cast<int>(done);
}

bool SerialLine::try_reopen() {
    if (!auto_reopen_.load() || stop_requested()) return false;
    return open_port() == 1;
}

int SerialLine::read_byte(uint8_t *out, int wait_ms) {
    {
        // Bytes already read are served first: they arrived before anything
        // still in the kernel, and a poll would see them as available anyway.
        std::lock_guard<std::mutex> g(rx_mtx_);
        if (rx_pos_ < rx_len_) {
            *out = rx_buf_[rx_pos_++];
            return 1;
        }
    }
    int fd = fd_.load();
    if (fd < 0) {
        // A closed line waits like a silent one instead of spinning, then
        // looks for its device again.
        poll_with_stop(-1, 0, wait_ms < 1000 ? wait_ms : 1000);
        try_reopen();
        return 0;
    }
    short ev = poll_with_stop(fd, POLLIN, wait_ms);
    if (ev == 0) return 0;
    if (ev & POLLIN) {
        // One read takes whatever is there (up to the buffer): a system call
        // per burst instead of per byte.
        uint8_t burst[kRxBurst];
        ssize_t n = read(fd, burst, sizeof burst);
        if (n >= 1) {
            *out = burst[0];
            std::lock_guard<std::mutex> g(rx_mtx_);
            memcpy(rx_buf_, burst, static_cast<size_t>(n));
            rx_pos_ = 1;
            rx_len_ = static_cast<size_t>(n);
            return 1;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    }
    // Hang-up (the peer closed its end) or a read error: close, and let the
    // next reads open the device again, so the line comes back with its peer.
    if (!hangup_reported_.exchange(true)) {
        printf("%d/%s %s line %s hung up\n", __LINE__, __func__, cfg_.name, cfg_.device);
    }
    close_fd();
    return 0;
}

AssembleResult assemble_byte(const SerialLineConfig &cfg, FrameAssembler &st, uint8_t *slot, size_t cap,
                             uint8_t b) {
    if (st.idx == 1 && st.caret && b != 0x00) st.reset();  // not a caret frame after all
    if (st.idx == 0) {
        if (b == kFrameStart || (cfg.accept_caret && b == kCaretStart)) {
            st.caret = b == kCaretStart;
            slot[0] = b;
            st.idx = 1;
            st.expect = 0;
        }
        return ASM_MORE;  // anything else between frames is skipped silently
    }
    slot[st.idx++] = b;
    if (st.caret && st.idx == 3) {
        st.expect = b;
        if (st.expect < 6) {
            st.reset();
            return ASM_MORE;
        }
    } else if (!st.caret && st.idx == (cfg.wide_length ? 7u : 6u)) {
        st.expect = (cfg.wide_length ? (slot[5] | (slot[6] << 8)) : slot[5]) + kFrameOverhead;
    }
    if (st.expect > cap) {
        printf("%d/%s frame of %zu bytes exceeds the %zu-byte slot, dropped\n", __LINE__, cfg.recv_fn_name, st.expect,
               cap);
        st.reset();
        return ASM_BAD;
    }
    if (st.expect == 0 || st.idx < st.expect) return ASM_MORE;
    int ok = st.caret ? check_caret_msg_valid(slot, static_cast<int>(st.idx))
                      : check_orlin_msg_valid(slot, static_cast<int>(st.idx));
    if (!ok) {
        printf("%d/%s check_error \n", __LINE__, cfg.recv_fn_name);
        st.reset();
        return ASM_BAD;
    }
    return ASM_FRAME;
}

void SerialLine::recv_frames() {
    uint8_t *slot = pool_.take();
    if (slot == nullptr) {
        // Pool exhausted: wait for the dispatcher to free a slot rather than spin.
        pool_.wait_free(100);
        return;
    }
    FrameAssembler st;
    for (;;) {
        if (stop_requested()) {
            pool_.release(slot);
            return;
        }
        uint8_t b = 0;
        if (read_byte(&b, cfg_.byte_wait_ms) != 1) {
            st.reset();  // gap: the partial frame is dropped
            continue;
        }
        if (assemble_byte(cfg_, st, slot, pool_.slot_size(), b) != ASM_FRAME) continue;
        pool_.publish(slot, st.idx);
        st.reset();
        slot = pool_.take();
        if (slot == nullptr) {
            printf("%s", cfg_.no_buf_msg);
            return;
        }
    }
}

void SerialLine::dispatch_once(const std::function<void(const uint8_t *, size_t)> &deliver) {
    size_t len = 0;
    // The line's 2 s; a stop request wakes the wait (close_port wakes the
    // pool), and a timeout is treated like a wake-up either way.
    uint8_t *s = pool_.wait_ready(2000, &len);
    while (s != nullptr) {
        deliver(s, len);
        pool_.release(s);
        if (stop_requested()) return;
        s = pool_.wait_ready(0, &len);
    }
}

int SerialLine::request(const char *fn, const uint8_t *req, size_t len, int wait_ms, uint8_t *answer, int tag,
                        int idle_tag, int expect_id, int expect_src) {
    if (req == nullptr || answer == nullptr) {
        printf("%d/%s data is NULL.\n", __LINE__, fn);
        return 0;
    }
    const bool bus = len >= kFrameOverhead && req[0] == kFrameStart;
    if (expect_id == kAnswerOfRequest) expect_id = bus ? frame_msg_id(req) : kAnswerAny;
    if (expect_src == kAnswerOfRequest) expect_src = bus ? req[1] : kAnswerAny;
    std::lock_guard<std::mutex> one_at_a_time(req_mtx_);
    {
        // Armed before the write: an answer faster than this thread must not be lost.
        std::lock_guard<std::mutex> g(ans_mtx_);
        ans_ready_ = false;
        ans_len_ = 0;
        expect_id_ = expect_id;
        expect_src_ = expect_src;
        armed_ = true;
        tag_.store(tag);
    }
    int w = write_bytes(req, len);
    int n = 0;
    if (w != static_cast<int>(len)) {
        printf("%d/%s write_com data .\n", __LINE__, fn);
    } else {
        std::unique_lock<std::mutex> g(ans_mtx_);
        if (ans_cv_.wait_for(g, std::chrono::milliseconds(wait_ms), [this] { return ans_ready_; })) {
            n = static_cast<int>(ans_len_);
            memcpy(answer, answer_, ans_len_);
        } else {
            printf("----%d/%s---wait cond faild----\n", __LINE__, fn);
        }
    }
    std::lock_guard<std::mutex> g(ans_mtx_);
    tag_.store(idle_tag);
    armed_ = false;
    ans_ready_ = false;
    return n;
}

int SerialLine::deliver_answer(const uint8_t *frame, size_t len, int tag) {
    if (frame == nullptr) return 0;
    {
        std::lock_guard<std::mutex> g(ans_mtx_);
        if (!armed_ || tag_.load() != tag || ans_ready_) return 0;
        // Someone else's answer (another id, another node): not ours.
        if (expect_id_ != kAnswerAny || expect_src_ != kAnswerAny) {
            if (len < 7 || frame[0] != kFrameStart) return 0;
            if (expect_id_ != kAnswerAny && frame_msg_id(frame) != expect_id_) return 0;
            if (expect_src_ != kAnswerAny && frame[2] != expect_src_) return 0;
        }
        memset(answer_, 0, sizeof answer_);
        ans_len_ = len < sizeof answer_ ? len : sizeof answer_;
        memcpy(answer_, frame, ans_len_);
        ans_ready_ = true;
    }
    ans_cv_.notify_all();
    return 1;
}
