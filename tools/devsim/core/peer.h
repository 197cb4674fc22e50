#pragma once
// A peer plays the far end of one of the box's lines (lock board, main MCU,
// factory tool, modem...).  Each peer is one module; devsim_peers.cpp says which
// module serves which port.  A peer sees what the agent wrote, may answer with
// a delay of its choosing and gets a periodic tick.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

// What a peer can do on its line.  Owned by the loop; outlives the peer.
class PeerLine {
public:
    virtual ~PeerLine() = default;
    virtual const std::string &port() const = 0;  // "ttyHSL1"
    virtual const std::string &root() const = 0;  // device root on this machine
    // Bytes for the agent, put on the wire delay_ms from now (0: this loop turn).
    // Sends with the same due time keep their order.  0 queued, -1 queue full.
    virtual int send(const uint8_t *data, size_t len, unsigned delay_ms) = 0;
    // One line "<unix ms> <port> <dir> <hex>" in var/devsim/<port>.log.
    virtual void trace(const char *dir, const uint8_t *data, size_t len) = 0;
};

class Peer {
public:
    virtual ~Peer() = default;
    // A key from the scenario section named after the port: 1 used, 0 unknown.
    virtual int configure(const std::string &key, const std::string &value) {
        (void)key;
        (void)value;
        return 0;
    }
    // A chunk the agent wrote, as read from the line (framing is the peer's job).
    virtual void on_bytes(const uint8_t *data, size_t len) = 0;
    // Called every tick_ms() on the monotonic clock.
    virtual void on_tick(int64_t mono_ms) { (void)mono_ms; }
    virtual unsigned tick_ms() const { return 1000; }
};

using PeerFactory = std::unique_ptr<Peer> (*)(PeerLine &line);

struct PeerSlot {
    const char *port;  // name of the link under <root>/dev
    PeerFactory make;
};

// Every port devsim serves and the module that plays it.
const PeerSlot *devsim_peer_table(size_t *count);
