#pragma once
// The far end of one of the box's serial lines in a unit test: a real
// pseudo-terminal whose slave side is linked at <root>/dev/<name>, so the
// agent's termios, poll and read code runs unchanged.
#include <cstdint>
#include <string>
#include <vector>

class PtyPeer {
public:
    // Creates the pair and the link; `root` is the machine path of the device root.
    PtyPeer(const std::string &root, const std::string &name);
    ~PtyPeer();
    PtyPeer(const PtyPeer &) = delete;
    PtyPeer &operator=(const PtyPeer &) = delete;

    // Writes all bytes (blocking), optionally one byte at a time with a gap.
    void send(const std::vector<uint8_t> &bytes, int gap_ms = 0);
    // Reads one bus frame the agent wrote (start byte, 16-bit length), within
    // `timeout_ms`.  Bytes before a start byte are skipped.  false on timeout.
    bool read_frame(std::vector<uint8_t> &frame, int timeout_ms);
    // Everything available within `timeout_ms`.
    std::vector<uint8_t> read_some(int timeout_ms);
    // Closes the master side: the agent sees the line hang up.
    void hang_up();
    // Makes a fresh pair and re-points the link (a peer that comes back).
    void reconnect();

private:
    void open_pair();
    std::string link_;
    int master_ = -1;
    int slave_keep_ = -1;
    std::vector<uint8_t> pending_;
};

// A bus frame as bytes.
std::vector<uint8_t> bus_frame(uint8_t dst, uint8_t src, uint16_t id, const std::vector<uint8_t> &payload);
