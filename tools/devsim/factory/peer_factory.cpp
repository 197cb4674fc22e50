#include "factory/peer_factory.h"
#include "core/devsim_clock.h"

#include <cstdio>
#include <string>

#include "core/devsim_files.h"

namespace {

constexpr uint8_t kNodeBox = 0x06;
constexpr unsigned kMaxRepeat = 100000;

const char *const kDefaultSequence[] = {
    "F41F:01",  // enter factory mode
    "F400",     // IMEI
    "F417",     // modem serial number
    "F408",     // ICCID
    "F418",     // application version
    "F41B",     // model
    "F413",     // BLE version, from the MCU
    "F414",     // BLE MAC, from the MCU
    "F402",     // box supply, from the MCU
    "F40D",     // GD32 application version, from the lock board
    "F426:0102",  // network LED
    "F427:0304",  // GNSS LED
    "F425:0506",  // bike bus
    "F41F:00",  // leave factory mode
};

class FactoryPeer final : public FramePeer {
public:
    explicit FactoryPeer(PeerLine &line) : FramePeer(line, ParserLimits{false, 2100, 100}) {}

    int configure(const std::string &key, const std::string &value) override {
        std::string why;
        int r = set(key, value, &why);
        if (r < 0) {
            fprintf(stderr, "devsim: %s: %s = %s: %s\n", line().port().c_str(), key.c_str(), value.c_str(),
                    why.c_str());
            return 1;
        }
        return r == 1 ? 1 : FramePeer::configure(key, value);
    }

    void on_tick(int64_t now) override {
        FramePeer::on_tick(now);
        if (!script_started_) {
            script_started_ = true;
            if (!script_.empty()) start(script_);
        }
        if (running() && waiting_ && now - sent_ms_ >= static_cast<int64_t>(timeout_ms_)) {
            log(std::to_string(cur_ + 1) + " " + id_text(steps_[cur_].id) + " timeout\n");
            next(now);
        }
    }

protected:
    void on_frame(const Frame &f) override {
        FramePeer::on_frame(f);
        if (!running() || !waiting_ || f.caret || f.id != steps_[cur_].id) return;
        const int64_t now = devsim_mono_ms();
        ++ok_;
        log(std::to_string(cur_ + 1) + " " + id_text(f.id) + " ok " + std::to_string(now - sent_ms_) + " " +
            hex_of(f.raw.data(), f.raw.size()) + "\n");
        next(now);
    }

    int on_command(const std::string &cmd, const std::string &args, std::string *why) override {
        const std::vector<std::string> w = control_words(args);
        if (cmd == "tool") {
            if (w.empty()) {
                *why = "tool <key> <value>";
                return -1;
            }
            int r = set(w[0], control_rest(args, 1), why);
            if (r == 0) *why = "unknown key " + w[0];
            return r == 1 ? 0 : -1;
        }
        if (cmd == "run" || cmd == "repeat") {
            if (running()) {
                *why = "a run is going";
                return -1;
            }
            std::vector<ToolStep> steps;
            if (cmd == "repeat") {
                unsigned n = 0;
                ToolStep s;
                if (w.size() != 2 || !parse_dec_number(w[0], kMaxRepeat, &n) || n == 0 || !tool_parse_step(w[1], &s)) {
                    *why = "repeat <count 1..100000> <id>[:<payload>]";
                    return -1;
                }
                steps.assign(n, s);
            } else if (!parse_steps(w, &steps, why)) {
                return -1;
            }
            start(steps);
            return 0;
        }
        return 1;
    }

private:
    static std::string id_text(uint16_t id) {
        char b[8];
        snprintf(b, sizeof b, "%04X", id);
        return b;
    }

    static bool parse_steps(const std::vector<std::string> &w, std::vector<ToolStep> *steps, std::string *why) {
        if (w.empty() || (w.size() == 1 && w[0] == "default")) {
            *steps = tool_default_sequence();
            return true;
        }
        for (const std::string &t : w) {
            ToolStep s;
            if (!tool_parse_step(t, &s)) {
                *why = "bad step " + t + " (<id hex>[:<payload hex>])";
                return false;
            }
            steps->push_back(s);
        }
        return true;
    }

    int set(const std::string &key, const std::string &value, std::string *why) {
        unsigned n = 0;
        if (key == "node") {
            if (!parse_hex_number(value, 0xFF, &n)) {
                *why = "node is hex 0..ff";
                return -1;
            }
            node_ = static_cast<uint8_t>(n);
            return 1;
        }
        if (key == "step_timeout_ms") {
            if (!parse_dec_number(value, 600000, &n) || n == 0) {
                *why = "step_timeout_ms must be 1..600000";
                return -1;
            }
            timeout_ms_ = n;
            return 1;
        }
        if (key == "script") {
            std::vector<ToolStep> steps;
            if (!parse_steps(control_words(value), &steps, why)) return -1;
            script_ = steps;
            return 1;
        }
        return 0;
    }

    bool running() const { return cur_ < steps_.size(); }

    void start(const std::vector<ToolStep> &steps) {
        steps_ = steps;
        cur_ = 0;
        ok_ = 0;
        send_current(devsim_mono_ms());
    }

    void send_current(int64_t now) {
        if (!running()) return;
        const ToolStep &s = steps_[cur_];
        send_frame(encode_bus_frame(kNodeBox, node_, s.id, s.payload), SendOpts{});
        sent_ms_ = now;
        waiting_ = true;
    }

    void next(int64_t now) {
        waiting_ = false;
        ++cur_;
        if (running()) {
            send_current(now);
        } else {
            log("done " + std::to_string(ok_) + "/" + std::to_string(steps_.size()) + "\n");
        }
    }

    void log(const std::string &text) { devsim_append_file(line().root() + "/var/devsim/factory.log", text); }

    uint8_t node_ = 0x09;
    unsigned timeout_ms_ = 3000;
    std::vector<ToolStep> script_;
    bool script_started_ = false;
    std::vector<ToolStep> steps_;
    size_t cur_ = 0;
    size_t ok_ = 0;
    bool waiting_ = false;
    int64_t sent_ms_ = 0;
};

}  // namespace

bool tool_parse_step(const std::string &text, ToolStep *out) {
    const size_t colon = text.find(':');
    unsigned id = 0;
    if (!parse_hex_number(text.substr(0, colon), 0xFFFF, &id)) return false;
    out->id = static_cast<uint16_t>(id);
    out->payload.clear();
    if (colon == std::string::npos) return true;
    return parse_hex_bytes(text.substr(colon + 1), &out->payload) && !out->payload.empty();
}

std::vector<ToolStep> tool_default_sequence() {
    std::vector<ToolStep> out;
    for (const char *t : kDefaultSequence) {
        ToolStep s;
        tool_parse_step(t, &s);
        out.push_back(s);
    }
    return out;
}

std::unique_ptr<Peer> make_factory_peer(PeerLine &line) { return std::make_unique<FactoryPeer>(line); }
