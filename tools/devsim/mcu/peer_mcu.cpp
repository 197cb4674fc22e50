#include "mcu/peer_mcu.h"

#include <cstdio>

#include "bike/bike_state.h"

namespace {

constexpr uint8_t kNodeMcu = 0x07;
constexpr uint16_t kIdKeyLine = 0xF403;

class McuPeer final : public FramePeer {
public:
    explicit McuPeer(PeerLine &line) : FramePeer(line, ParserLimits{true, 2100, 2000}) {}

protected:
    void on_frame(const Frame &f) override {
        // A read of 0xF403 (no payload) is the lock board asking for the line's
        // state: scripted, like any other read.
        if (!f.caret && f.dst == kNodeMcu && f.id == kIdKeyLine && !f.payload.empty()) {
            const bool on = f.payload[0] != 0;
            bike_key_line(on);
            if (on) printf("devsim: bike: power key pressed, bike %s\n", bike_state().on ? "on" : "off");
        }
        FramePeer::on_frame(f);
    }
};

}  // namespace

std::unique_ptr<Peer> make_mcu_peer(PeerLine &line) { return std::make_unique<McuPeer>(line); }
