#include "mcu/peer_mcu.h"

#include <cstdio>

#include "bike/bike_state.h"
#include "mcu/dfu_boot.h"

namespace {

constexpr uint8_t kNodeMcu = 0x07;
constexpr uint16_t kIdKeyLine = 0xF403;

class McuPeer final : public FramePeer {
public:
    explicit McuPeer(PeerLine &line) : FramePeer(line, ParserLimits{true, 2100, 2000}), dfu_(line) {}

    int configure(const std::string &key, const std::string &value) override {
        std::string why;
        const int r = dfu_.configure(key, value, &why);
        if (r < 0) fprintf(stderr, "devsim: ttyHSL2: %s = %s: %s\n", key.c_str(), value.c_str(), why.c_str());
        return r != 0 ? 1 : FramePeer::configure(key, value);
    }

    // Boot switch: while the MCU runs its bootloader the line carries SLIP packets.
    void on_bytes(const uint8_t *data, size_t len) override {
        if (dfu_.in_boot()) return dfu_.feed(data, len);
        FramePeer::on_bytes(data, len);
    }

protected:
    void on_frame(const Frame &f) override {
        if (f.caret && dfu_.on_app_caret(f.cmd, f.payload)) return;
        // A read of 0xF403 (no payload) is the lock board asking for the line's
        // state: scripted, like any other read.
        if (!f.caret && f.dst == kNodeMcu && f.id == kIdKeyLine && !f.payload.empty()) {
            const bool on = f.payload[0] != 0;
            bike_key_line(on);
            if (on) printf("devsim: bike: power key pressed, bike %s\n", bike_state().on ? "on" : "off");
        }
        FramePeer::on_frame(f);
    }

    int on_command(const std::string &cmd, const std::string &args, std::string *why) override {
        if (cmd == "dfu") return dfu_.command(args, why);
        return 1;
    }

private:
    DfuBoot dfu_;
};

}  // namespace

std::unique_ptr<Peer> make_mcu_peer(PeerLine &line) { return std::make_unique<McuPeer>(line); }
