#include "bike/peer_bike.h"
#include "core/devsim_clock.h"

#include <cstdio>
#include <limits>
#include <string>

#include "bike/boot_flash.h"
#include "core/control.h"
#include "core/devsim_files.h"

namespace {

constexpr unsigned kBroadcastMs = 1000;
constexpr size_t kSerialLen = 24;  // the agent keeps a serial answer only when it has all 24 bytes

void put16(Bytes *b, uint16_t v) {
    b->push_back(static_cast<uint8_t>(v & 0xFF));
    b->push_back(static_cast<uint8_t>(v >> 8));
}

void put32(Bytes *b, uint32_t v) {
    put16(b, static_cast<uint16_t>(v & 0xFFFF));
    put16(b, static_cast<uint16_t>(v >> 16));
}

void put_text(Bytes *b, const std::string &s, size_t pad) {
    b->assign(s.begin(), s.end());
    if (b->size() < pad) b->resize(pad, 0x00);
}

bool motor_answer(const BikeState &s, uint16_t id, Bytes *p) {
    switch (id) {
        case 0x010D: put32(p, s.odo); return true;
        case 0x1002: put16(p, s.error); return true;
        case 0x0117: p->push_back(s.assist); return true;
        case 0x0711: put16(p, s.motor_power); return true;
        case 0x0710: put16(p, s.human_power); return true;
        case 0x0120: put32(p, s.range); return true;
        case 0x011A: *p = {static_cast<uint8_t>(s.locked ? 1 : 0), 0x00}; return true;
        case 0x0119: *p = {static_cast<uint8_t>(s.light ? 1 : 0), 0x00}; return true;
        case 0xF106: *p = bike_disp_status_payload(s); return true;
        case 0x0002: p->assign(s.motor_version, s.motor_version + 4); return true;
        case 0x0003: p->assign(s.motor_boot_version, s.motor_boot_version + 4); return true;
        case 0x0004: put_text(p, s.serial, kSerialLen); return true;
        case 0xF41B: put_text(p, s.motor_model, 0); return true;
        case 0xF41C: put_text(p, s.motor_branch, 0); return true;
        default: return false;
    }
}

bool display_answer(const BikeState &s, uint16_t id, Bytes *p) {
    switch (id) {
        case 0x0002: p->assign(s.display_version, s.display_version + 4); return true;
        case 0xF41B: put_text(p, s.display_model, 0); return true;
        case 0xF41C: put_text(p, s.display_branch, 0); return true;
        case 0xF106: *p = bike_disp_status_payload(s); return true;
        case 0x0119: *p = {static_cast<uint8_t>(s.light ? 1 : 0), 0x00}; return true;
        default: return false;  // 0xF107 is answered with a broadcast, by the peer
    }
}

bool battery_answer(const BikeBattery &b, uint16_t id, Bytes *p) {
    switch (id) {
        case 0xF504: put16(p, b.temp); return true;
        case 0xF505: put16(p, b.voltage); return true;
        case 0xF506: put16(p, b.current); return true;
        case 0xF507: p->push_back(b.soc); return true;
        case 0xF508: put16(p, b.capacity); return true;
        case 0xF523: p->push_back(b.charging); return true;
        case 0x1002: put16(p, b.error); return true;
        default: return false;
    }
}

class BikePeer final : public FramePeer {
public:
    explicit BikePeer(PeerLine &line)
        : FramePeer(line, ParserLimits{false, 2100, 2000}),
          control_("bike", [this](const std::string &cmd, const std::string &args, std::string *why) {
              return bike_command(cmd, args, why);
          }) {
        if (!control_.registered()) fprintf(stderr, "devsim: bike: control name taken, no runtime commands\n");
    }

    int configure(const std::string &key, const std::string &value) override {
        if (key.rfind("boot", 0) == 0) {
            std::string why;
            const int r = boot_set(key, value, &why);
            if (r < 0) fprintf(stderr, "devsim: bike: %s\n", why.c_str());
            return r != 0 ? 1 : 0;
        }
        return FramePeer::configure(key, value);
    }

    void on_tick(int64_t now) override {
        FramePeer::on_tick(now);
        if (now - boot_mirrored_ >= 500) {
            for (BootTarget *t : {&gd32_, &display_, &kd11_, &hm52_}) {
                if (t->dirty()) boot_mirror(*t, now);
            }
        }
        // A board in its bootloader bridges nothing: the bus behind it is quiet.
        if (gd32_.in_boot()) return;
        const BikeState s = bike_state();
        mirror(s);
        if (!s.attached) {
            status_due_ = -1;
            next_broadcast_ = -1;
            return;
        }
        // A display in its bootloader broadcasts nothing.
        const bool talks = s.display_broadcast && !responder().silent && !display_.in_boot();
        if (status_due_ >= 0 && now >= status_due_) {
            status_due_ = -1;
            // The answer to a status query: a broadcast like the periodic one,
            // but spoilt as the line's answers are.
            if (talks) send_with(encode_bus_frame(BIKE_BROADCAST, BIKE_DISPLAY, 0xF107, bike_sys_status_payload(s)),
                                 responder().wire);
        }
        if (next_broadcast_ < 0 || now >= next_broadcast_) {
            next_broadcast_ = now + kBroadcastMs;
            if (talks) {
                send_with(encode_bus_frame(BIKE_BROADCAST, BIKE_DISPLAY, 0xF107, bike_sys_status_payload(s)), {});
                send_with(encode_bus_frame(BIKE_BOX, BIKE_DISPLAY, 0xF106, bike_disp_status_payload(s)), {});
            }
        }
    }

protected:
    void on_frame(const Frame &f) override {
        const BikeState s = bike_state();
        const bool scripted = f.is_request() && responder().answers.count(f.id) != 0;
        // The lock board's own bootloader, attached bike or not.
        if (!f.caret && !responder().silent && !scripted && f.dst == BIKE_GD32 && (f.id == 0x0003 || f.id == 0x0007)) {
            boot_frame(gd32_, f);
            return;
        }
        if (gd32_.in_boot()) return;
        if (!f.caret && !responder().silent && !scripted && f.src == 0xAA) {
            // The display's and the motor controller's bootloaders, and the
            // display's slave/master switch.
            if (f.dst == BIKE_DISPLAY && (f.id == 0x0003 || f.id == 0x0007)) {
                boot_frame(display_, f);
                return;
            }
            if (f.dst == BIKE_MOTOR && (f.id == 0x0003 || f.id == 0x0007)) {
                boot_frame(motor(), f);
                return;
            }
            if (f.dst == BIKE_DISPLAY && f.id == 0xFF12 && f.payload.size() >= 2 && !display_.in_boot()) {
                if (!slave_silent_) send_with(encode_bus_frame(f.src, f.dst, f.id, Bytes{f.payload[0], 0x00}), {});
                return;
            }
        }
        // The main battery's standby time, echoed back as set.
        if (!f.caret && !scripted && f.dst == BIKE_BMS1 && f.id == 0xF533 && f.payload.size() >= 2 &&
            !responder().silent && s.silent_battery != 1) {
            send_with(encode_bus_frame(f.src, f.dst, f.id, Bytes{f.payload[0], f.payload[1]}), {});
            return;
        }
        // Controllers in their bootloader answer nothing else.
        if ((f.dst == BIKE_DISPLAY && display_.in_boot()) || (f.dst == BIKE_MOTOR && motor().in_boot())) return;
        // Detached, silenced, or a scripted answer for this id: the bare line.
        if (!s.attached || f.caret || responder().silent || scripted) {
            FramePeer::on_frame(f);
            return;
        }
        const uint8_t node = f.dst;
        if (f.id == 0xF425) {
            // The board puts the bike-bus test frame on the bus and hands back
            // what came round, as it was.
            answer(s, f.raw);
            return;
        }
        if (f.is_request()) {
            if (node == BIKE_DISPLAY && f.id == 0xF107) {
                // One broadcast answers every query that came meanwhile.
                if (status_due_ < 0) status_due_ = devsim_mono_ms() + kBikeStatusSettleMs + s.answer_delay_ms;
                return;
            }
            Bytes p;
            if (bike_read_answer(s, node, f.id, &p)) answer(s, encode_bus_frame(f.src, node, f.id, p));
            return;
        }
        const uint8_t b0 = f.payload[0];
        const uint8_t state = b0 & 1;  // bit 0 is what the agent reads back as the state
        if (f.id == 0x011A && node == BIKE_MOTOR) {
            bike_set_locked(state != 0);
            printf("devsim: bike: motor %s\n", state ? "locked" : "unlocked");
            const uint8_t a = s.wrong_lock_byte ? static_cast<uint8_t>(state ^ 0x80) : state;
            answer(s, encode_bus_frame(f.src, node, f.id, Bytes{a, 0x00}));
        } else if (f.id == 0x0119 && (node == BIKE_MOTOR || node == BIKE_DISPLAY)) {
            bike_set_light(state != 0);
            printf("devsim: bike: light %s\n", state ? "on" : "off");
            answer(s, encode_bus_frame(f.src, node, f.id, Bytes{state, 0x00}));
        }
        mirror(bike_state());
    }

private:
    // A bootloader frame: answered as the target says, as late as its faults
    // and the line's pace make it.
    void boot_frame(BootTarget &t, const Frame &f) {
        BootBytes ans;
        const bool in_boot = t.in_boot();
        if (t.handle(f.id, f.payload, &ans)) {
            const Bytes frame = encode_bus_frame(f.src, f.dst, f.id, ans);
            SendOpts o;
            o.delay_ms = t.faults().delay_ms + (pace_ ? boot_line_ms(f.raw.size(), frame.size()) : 0);
            send_with(frame, o);
        }
        if (in_boot != t.in_boot()) {
            printf("devsim: bike: %s %s\n", t.geometry().name, t.in_boot() ? "in its bootloader" : "back in its application");
        }
        const uint8_t cmd = f.payload.empty() ? 0 : f.payload[0];
        if (cmd == 0x10 || cmd == 0x40) boot_mirror(t, devsim_mono_ms());
    }

    void boot_mirror(BootTarget &t, int64_t now) {
        boot_mirrored_ = now;
        if (t.mirror(line().root()) != 0) fprintf(stderr, "devsim: bike: cannot write the flash mirror\n");
    }

    BootTarget &motor() { return hm52_model_ ? hm52_ : kd11_; }

    // boot.pace, or boot<node>.<fault>.
    int boot_set(const std::string &key, const std::string &value, std::string *why) {
        if (key == "boot.pace") {
            unsigned v = 0;
            if (!parse_dec_number(value, 1, &v)) {
                *why = "boot.pace takes 0|1";
                return -1;
            }
            pace_ = v != 0;
            return 1;
        }
        if (key == "boot01.model") {
            if (value != "kd11" && value != "hm52") {
                *why = "boot01.model takes kd11|hm52";
                return -1;
            }
            hm52_model_ = value == "hm52";
            return 1;
        }
        if (key == "boot03.slave_silent") {
            unsigned v = 0;
            if (!parse_dec_number(value, 1, &v)) {
                *why = "boot03.slave_silent takes 0|1";
                return -1;
            }
            slave_silent_ = v != 0;
            return 1;
        }
        int r = 0;
        if (key.rfind("boot08.", 0) == 0) {
            r = gd32_.set(key.substr(7), value, why);
        } else if (key.rfind("boot03.", 0) == 0) {
            r = display_.set(key.substr(7), value, why);
        } else if (key.rfind("boot01.", 0) == 0) {
            // Both models take the motor's faults, whichever is chosen.
            r = kd11_.set(key.substr(7), value, why);
            if (r == 1) hm52_.set(key.substr(7), value, why);
        }
        if (r != 0) return r;
        *why = "unknown key " + key;
        return 0;
    }

    void send_with(const Bytes &frame, const SendOpts &o) {
        if (!frame.empty()) send_frame(frame, o);
    }

    // Answers come as late as the bike is set to be, spoilt as the line's
    // scripted answers are.
    void answer(const BikeState &s, const Bytes &frame) {
        SendOpts o = responder().wire;
        o.delay_ms = s.answer_delay_ms;
        send_with(frame, o);
    }

    void mirror(const BikeState &s) {
        if (s.revision == mirrored_) return;
        mirrored_ = s.revision;
        const std::string path = line().root() + "/var/devsim/bike_state";
        if (devsim_write_file(path, bike_state_text(s)) != 0)
            fprintf(stderr, "devsim: bike: cannot write %s\n", path.c_str());
    }

    int bike_command(const std::string &cmd, const std::string &args, std::string *why) {
        int rc = 0;
        if (cmd.rfind("boot", 0) == 0) {
            const int r = boot_set(cmd, args, why);
            rc = r == 1 ? 0 : -1;
        } else if (cmd == "attach" || cmd == "detach") {
            bike_state_set("attached", cmd == "attach" ? "1" : "0", why);
        } else if (cmd == "reset") {
            bike_state_reset();
        } else if (cmd == "press") {
            bike_key_line(true);
            bike_key_line(false);
        } else if (args.empty()) {
            *why = "bike <key> <value> | attach | detach | press | reset";
            rc = -1;
        } else {
            const int r = bike_state_set(cmd, args, why);
            if (r == 0) *why = "unknown key " + cmd;
            rc = r == 1 ? 0 : -1;
        }
        mirror(bike_state());
        return rc;
    }

    ControlRegistration control_;
    BootTarget gd32_{boot_geometry_gd32()};
    BootTarget display_{boot_geometry_display()};
    BootTarget kd11_{boot_geometry_kd11()};
    BootTarget hm52_{boot_geometry_hm52()};
    bool hm52_model_ = false;
    bool slave_silent_ = false;
    bool pace_ = false;
    int64_t boot_mirrored_ = -1000000;
    int64_t next_broadcast_ = -1;
    int64_t status_due_ = -1;  // a status query waiting for its broadcast
    uint64_t mirrored_ = std::numeric_limits<uint64_t>::max();
};

}  // namespace

int bike_battery_of(uint8_t node) {
    switch (node) {
        case BIKE_BMS1: return 1;
        case BIKE_BMS2: return 2;
        case BIKE_BMS3: return 3;
        default: return 0;
    }
}

bool bike_read_answer(const BikeState &s, uint8_t node, uint16_t id, Bytes *payload) {
    payload->clear();
    if (node == BIKE_MOTOR) return motor_answer(s, id, payload);
    if (node == BIKE_DISPLAY) return display_answer(s, id, payload);
    if (node == BIKE_GD32) {
        if (id == 0xF40D) payload->assign(s.gd_version, s.gd_version + 4);
        if (id == 0xF40E || id == 0x0003) payload->assign(s.gd_boot_version, s.gd_boot_version + 4);
        return !payload->empty();
    }
    const int n = bike_battery_of(node);
    if (n == 0 || !s.battery[n - 1].present || s.silent_battery == n) return false;
    return battery_answer(s.battery[n - 1], id, payload);
}

Bytes bike_disp_status_payload(const BikeState &s) {
    const uint16_t v = static_cast<uint16_t>(s.speed & 0x3FF);
    Bytes p(8, 0x00);
    p[2] = static_cast<uint8_t>((v & 0x03) << 6);
    p[3] = static_cast<uint8_t>(v >> 2);
    p[5] = s.cadence;
    return p;
}

Bytes bike_sys_status_payload(const BikeState &s) {
    return Bytes{static_cast<uint8_t>(s.on ? 2 : 0), 0x00, 0x00, 0x00};
}

std::unique_ptr<Peer> make_bike_peer(PeerLine &line) { return std::make_unique<BikePeer>(line); }
