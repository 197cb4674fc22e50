#include "support/pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "vehicle/frame_codec.h"

PtyPeer::PtyPeer(const std::string &root, const std::string &name) : link_(root + "/dev/" + name) {
    std::filesystem::create_directories(root + "/dev");
    open_pair();
}

PtyPeer::~PtyPeer() {
    hang_up();
    unlink(link_.c_str());
}

void PtyPeer::open_pair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("openpt");
    const char *slave = ptsname(master_);
    if (slave == nullptr) throw std::runtime_error("ptsname");
    // Raw from the start, and held open so the line never hangs up between
    // the agent's open and close.
    slave_keep_ = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t {};
    tcgetattr(slave_keep_, &t);
    cfmakeraw(&t);
    tcsetattr(slave_keep_, TCSANOW, &t);
    unlink(link_.c_str());
    if (symlink(slave, link_.c_str()) != 0) throw std::runtime_error("symlink");
}

void PtyPeer::send(const std::vector<uint8_t> &bytes, int gap_ms) {
    size_t step = gap_ms > 0 ? 1 : bytes.size();
    for (size_t i = 0; i < bytes.size(); i += step) {
        size_t n = std::min(step, bytes.size() - i);
        size_t done = 0;
        while (done < n) {
            ssize_t w = write(master_, bytes.data() + i + done, n - done);
            if (w > 0) done += static_cast<size_t>(w);
            else if (w < 0 && errno != EINTR && errno != EAGAIN) return;
        }
        if (gap_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gap_ms));
    }
}

std::vector<uint8_t> PtyPeer::read_some(int timeout_ms) {
    std::vector<uint8_t> out;
    out.swap(pending_);
    struct pollfd p = {master_, POLLIN, 0};
    while (poll(&p, 1, out.empty() ? timeout_ms : 20) > 0) {
        uint8_t buf[512];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n <= 0) break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

bool PtyPeer::read_frame(std::vector<uint8_t> &frame, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        while (!pending_.empty() && pending_[0] != kFrameStart) pending_.erase(pending_.begin());
        if (pending_.size() >= 7) {
            size_t total = frame_payload_len(pending_.data()) + kFrameOverhead;
            if (pending_.size() >= total) {
                frame.assign(pending_.begin(), pending_.begin() + static_cast<long>(total));
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(total));
                return true;
            }
        }
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now()).count());
        if (left <= 0) return false;
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        uint8_t buf[512];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) pending_.insert(pending_.end(), buf, buf + n);
    }
}

void PtyPeer::hang_up() {
    if (slave_keep_ >= 0) close(slave_keep_);
    if (master_ >= 0) close(master_);
    slave_keep_ = master_ = -1;
}

void PtyPeer::reconnect() {
    hang_up();
    open_pair();
}

std::vector<uint8_t> bus_frame(uint8_t dst, uint8_t src, uint16_t id, const std::vector<uint8_t> &payload) {
    std::vector<uint8_t> f(payload.size() + kFrameOverhead);
    build_orlin_frame(dst, src, id, payload.data(), payload.size(), f.data(), f.size());
    return f;
}
