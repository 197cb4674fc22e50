#include "core/peer_logger.h"

namespace {

class LoggerPeer final : public Peer {
public:
    explicit LoggerPeer(PeerLine &line) : line_(line) {}
    void on_bytes(const uint8_t *data, size_t len) override { line_.trace("RX", data, len); }

private:
    PeerLine &line_;
};

}  // namespace

std::unique_ptr<Peer> make_logger_peer(PeerLine &line) { return std::make_unique<LoggerPeer>(line); }
