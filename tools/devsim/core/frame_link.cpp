#include "core/frame_link.h"
#include "core/devsim_clock.h"

#include <cstdio>
#include <ctime>
#include <limits>

#include "core/control.h"

namespace {

constexpr uint8_t kStart = 0x02;
constexpr uint8_t kEnd = 0x03;
constexpr uint8_t kCaret = 0x5E;
constexpr size_t kCaretMin = 6;  // 5E 00 L cmd crc crc

// Longest waits a script may ask for: enough for any timing rule of the
// lines, small enough that the wire plan never overflows.
constexpr unsigned kMaxDelayMs = 600000;
constexpr unsigned kMaxGapMs = 10000;

uint8_t reflect8(uint8_t b) {
    uint8_t r = 0;
    for (int i = 0; i < 8; ++i)
        if (b & (1u << i)) r = static_cast<uint8_t>(r | (1u << (7 - i)));
    return r;
}

uint16_t reflect16(uint16_t v) {
    uint16_t r = 0;
    for (int i = 0; i < 16; ++i)
        if (v & (1u << i)) r = static_cast<uint16_t>(r | (1u << (15 - i)));
    return r;
}

// The textbook register: one bit at a time, MSB first, with the reflections
// of the catalogue's parameter set.  Slow and obviously right.
uint16_t crc16_model(const uint8_t *data, size_t len, uint16_t poly, uint16_t init, bool refin, bool refout,
                     uint16_t xorout) {
    uint16_t crc = init;
    for (size_t i = 0; i < len; ++i) {
        uint8_t b = refin ? reflect8(data[i]) : data[i];
        for (int bit = 7; bit >= 0; --bit) {
            bool in = ((b >> bit) & 1u) != 0;
            bool top = (crc & 0x8000u) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (in != top) crc = static_cast<uint16_t>(crc ^ poly);
        }
    }
    if (refout) crc = reflect16(crc);
    return static_cast<uint16_t>(crc ^ xorout);
}

int hexval(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool parse_flag(const std::string &v, bool *out) {
    if (v == "0" || v == "1") {
        *out = v == "1";
        return true;
    }
    return false;
}

// "<offset>[:<offset>...][,<pause ms>]"; "0" or "-" turns splitting off.
bool parse_split(const std::string &v, std::vector<size_t> *at, unsigned *pause, std::string *why) {
    at->clear();
    *pause = 1000;
    if (v == "0" || v == "-") return true;
    std::string offs = v;
    size_t comma = v.find(',');
    if (comma != std::string::npos) {
        offs = v.substr(0, comma);
        if (!parse_dec_number(v.substr(comma + 1), kMaxDelayMs, pause)) {
            *why = "split pause must be 0.." + std::to_string(kMaxDelayMs) + " ms";
            return false;
        }
    }
    size_t i = 0;
    while (i <= offs.size()) {
        size_t j = offs.find(':', i);
        if (j == std::string::npos) j = offs.size();
        unsigned k = 0;
        if (!parse_dec_number(offs.substr(i, j - i), 0xFFFF + kBusOverhead, &k) || k == 0) {
            *why = "split offsets are byte offsets 1..65545";
            return false;
        }
        at->push_back(k);
        i = j + 1;
    }
    return true;
}

}  // namespace

uint16_t devsim_crc_ccitt_false(const uint8_t *data, size_t len) {
    return crc16_model(data, len, 0x1021, 0xFFFF, false, false, 0x0000);
}

uint16_t devsim_crc_arc(const uint8_t *data, size_t len) {
    return crc16_model(data, len, 0x8005, 0x0000, true, true, 0x0000);
}

Bytes encode_bus_frame(uint8_t dst, uint8_t src, uint16_t id, const Bytes &payload) {
    if (payload.size() > kBusMaxPayload) return {};
    const size_t n = payload.size();
    Bytes f;
    f.reserve(n + kBusOverhead);
    f.push_back(kStart);
    f.push_back(dst);
    f.push_back(src);
    f.push_back(static_cast<uint8_t>(id & 0xFF));
    f.push_back(static_cast<uint8_t>(id >> 8));
    f.push_back(static_cast<uint8_t>(n & 0xFF));
    f.push_back(static_cast<uint8_t>(n >> 8));
    f.insert(f.end(), payload.begin(), payload.end());
    const uint16_t crc = devsim_crc_ccitt_false(f.data() + 1, 6 + n);
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(kEnd);
    return f;
}

Bytes encode_caret_frame(uint8_t cmd, const Bytes &data) {
    const size_t total = data.size() + kCaretMin;
    if (total > 255) return {};
    Bytes f = {kCaret, 0x00, static_cast<uint8_t>(total), cmd};
    f.insert(f.end(), data.begin(), data.end());
    const uint16_t crc = devsim_crc_arc(f.data(), f.size());
    f.push_back(static_cast<uint8_t>(crc >> 8));
    f.push_back(static_cast<uint8_t>(crc & 0xFF));
    return f;
}

bool parse_hex_bytes(const std::string &text, Bytes *out) {
    out->clear();
    if (text == "-") return true;
    int hi = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            if (hi >= 0) return false;  // a byte is two digits together
            continue;
        }
        int v = hexval(c);
        if (v < 0) return false;
        if (hi < 0) {
            hi = v;
        } else {
            out->push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return hi < 0;
}

bool parse_hex_number(const std::string &text, unsigned max, unsigned *out) {
    std::string s = text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
    if (s.empty() || s.size() > 8) return false;
    unsigned long v = 0;
    for (char c : s) {
        int d = hexval(c);
        if (d < 0) return false;
        v = v * 16 + static_cast<unsigned>(d);
    }
    if (v > max) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

bool parse_dec_number(const std::string &text, unsigned max, unsigned *out) {
    if (text.empty() || text.size() > 9) return false;
    unsigned long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > max) return false;
    *out = static_cast<unsigned>(v);
    return true;
}

std::string hex_of(const uint8_t *data, size_t len) {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    s.reserve(len * 3);
    for (size_t i = 0; i < len; ++i) {
        if (i) s += ' ';
        s += kHex[data[i] >> 4];
        s += kHex[data[i] & 0x0F];
    }
    return s;
}

// ---- FrameParser ------------------------------------------------------------------

void FrameParser::feed(const uint8_t *data, size_t len, int64_t now_ms, const ParseSink &sink) {
    expire(now_ms, sink);  // a frame idle past the gap is dead before these bytes count
    last_ms_ = now_ms;
    buf_.insert(buf_.end(), data, data + len);
    drain(sink);
}

void FrameParser::expire(int64_t now_ms, const ParseSink &sink) {
    if (buf_.empty() || now_ms - last_ms_ < lim_.gap_ms) return;
    sink(ParseEvent::Bad, nullptr, "gap", buf_.data(), buf_.size());
    buf_.clear();
}

void FrameParser::drain(const ParseSink &sink) {
    size_t pos = 0;
    size_t noise_from = 0;  // [noise_from, pos) is noise not yet reported
    auto flush_noise = [&](size_t upto) {
        if (upto > noise_from) sink(ParseEvent::Noise, nullptr, nullptr, buf_.data() + noise_from, upto - noise_from);
        noise_from = upto;
    };
    auto refuse_header = [&](size_t hdr) {
        flush_noise(pos);
        sink(ParseEvent::Bad, nullptr, "length", buf_.data() + pos, hdr);
        ++pos;  // what followed the start byte may still hold a real frame
        noise_from = pos;
    };
    while (pos < buf_.size()) {
        const uint8_t b = buf_[pos];
        const bool caret = lim_.caret && b == kCaret;
        if (b != kStart && !caret) {
            ++pos;
            continue;
        }
        const uint8_t *p = buf_.data() + pos;
        const size_t avail = buf_.size() - pos;
        size_t total = 0;
        if (caret) {
            if (avail < 2) break;
            if (p[1] != 0x00) {  // a '^' among other bytes, not a frame
                ++pos;
                continue;
            }
            if (avail < 3) break;
            total = p[2];
            if (total < kCaretMin || total > lim_.max_frame) {
                refuse_header(3);
                continue;
            }
        } else {
            if (avail < 7) break;
            total = static_cast<size_t>(p[5] | (p[6] << 8)) + kBusOverhead;
            if (total > lim_.max_frame) {
                refuse_header(7);
                continue;
            }
        }
        if (avail < total) break;
        flush_noise(pos);
        const char *why = nullptr;
        Frame f;
        if (caret) {
            const uint16_t want = static_cast<uint16_t>(p[total - 2] << 8 | p[total - 1]);
            if (devsim_crc_arc(p, total - 2) != want) {
                why = "crc";
            } else {
                f.caret = true;
                f.cmd = p[3];
                f.payload.assign(p + 4, p + total - 2);
            }
        } else {
            const uint16_t want = static_cast<uint16_t>(p[total - 3] | p[total - 2] << 8);
            if (p[total - 1] != kEnd) {
                why = "end";
            } else if (devsim_crc_ccitt_false(p + 1, total - 4) != want) {
                why = "crc";
            } else {
                f.dst = p[1];
                f.src = p[2];
                f.id = static_cast<uint16_t>(p[3] | p[4] << 8);
                f.payload.assign(p + 7, p + total - 3);
            }
        }
        if (why != nullptr) {
            sink(ParseEvent::Bad, nullptr, why, p, total);
        } else {
            f.raw.assign(p, p + total);
            sink(ParseEvent::Frame, &f, nullptr, p, total);
        }
        pos += total;
        noise_from = pos;
    }
    flush_noise(pos);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos));
}

// ---- Sending --------------------------------------------------------------------

std::vector<TimedChunk> frame_schedule(const Bytes &frame, const SendOpts &o) {
    Bytes f = frame;
    const size_t n = f.size();
    if (n >= kBusOverhead && f[0] == kStart) {
        if (o.bad_crc) f[n - 3] ^= 0xFF;
        if (o.bad_end) f[n - 1] ^= 0xFF;
    } else if (n >= kCaretMin && f[0] == kCaret) {
        if (o.bad_crc) f[n - 1] ^= 0xFF;
    }
    std::vector<TimedChunk> out;
    auto add = [&out](uint64_t at, const uint8_t *b, size_t len) {
        if (len == 0) return;
        const unsigned t = at > std::numeric_limits<unsigned>::max() ? std::numeric_limits<unsigned>::max()
                                                                     : static_cast<unsigned>(at);
        if (out.empty() || out.back().at_ms != t) out.push_back(TimedChunk{t, {}});
        out.back().bytes.insert(out.back().bytes.end(), b, b + len);
    };
    uint64_t at = o.delay_ms;
    add(at, o.noise_before.data(), o.noise_before.size());
    uint64_t pauses = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i > 0) {
            for (size_t k : o.split_at)
                if (k == i) ++pauses;
        }
        at = o.delay_ms + static_cast<uint64_t>(i) * o.gap_ms + pauses * o.split_pause_ms;
        add(at, &f[i], 1);
    }
    add(at, o.noise_after.data(), o.noise_after.size());
    return out;
}

// ---- Responder ------------------------------------------------------------------

int responder_set(ResponderConfig *rc, const std::string &key, const std::string &value, bool caret_allowed,
                  std::string *why) {
    unsigned n = 0;
    bool flag = false;
    if (key.rfind("answer.", 0) == 0) {
        if (!parse_hex_number(key.substr(7), 0xFFFF, &n)) {
            *why = "message id must be hex 0..ffff";
            return -1;
        }
        if (value == "-") {
            rc->answers.erase(static_cast<uint16_t>(n));
            return 1;
        }
        Bytes payload;
        if (!parse_hex_bytes(value, &payload) || payload.empty() || payload.size() > kBusMaxPayload) {
            *why = "an answer carries a payload of hex bytes";
            return -1;
        }
        rc->answers[static_cast<uint16_t>(n)] = payload;
        return 1;
    }
    if (key.rfind("caret.", 0) == 0) {
        if (!caret_allowed) {
            *why = "no caret frames on this line";
            return -1;
        }
        if (!parse_hex_number(key.substr(6), 0xFF, &n)) {
            *why = "caret command must be hex 0..ff";
            return -1;
        }
        if (value == "-") {
            rc->caret.erase(static_cast<uint8_t>(n));
            return 1;
        }
        Bytes data;
        if (!parse_hex_bytes(value, &data) || data.size() + kCaretMin > 255) {
            *why = "caret data must be hex, at most 249 bytes";
            return -1;
        }
        rc->caret[static_cast<uint8_t>(n)] = data;
        return 1;
    }
    if (key == "answer_delay_ms") {
        if (!parse_dec_number(value, kMaxDelayMs, &n)) {
            *why = "answer_delay_ms must be 0.." + std::to_string(kMaxDelayMs);
            return -1;
        }
        rc->answer_delay_ms = n;
        return 1;
    }
    if (key == "gap_ms") {
        if (!parse_dec_number(value, kMaxGapMs, &n)) {
            *why = "gap_ms must be 0.." + std::to_string(kMaxGapMs);
            return -1;
        }
        rc->wire.gap_ms = n;
        return 1;
    }
    if (key == "silent" || key == "corrupt_crc" || key == "wrong_end") {
        if (!parse_flag(value, &flag)) {
            *why = key + " must be 0 or 1";
            return -1;
        }
        if (key == "silent") rc->silent = flag;
        if (key == "corrupt_crc") rc->wire.bad_crc = flag;
        if (key == "wrong_end") rc->wire.bad_end = flag;
        return 1;
    }
    if (key == "split") {
        std::vector<size_t> at;
        unsigned pause = 0;
        if (!parse_split(value, &at, &pause, why)) return -1;
        rc->wire.split_at = at;
        rc->wire.split_pause_ms = pause;
        return 1;
    }
    if (key == "noise_before" || key == "noise_after") {
        Bytes b;
        if (!parse_hex_bytes(value, &b)) {
            *why = key + " must be hex bytes";
            return -1;
        }
        (key == "noise_before" ? rc->wire.noise_before : rc->wire.noise_after) = b;
        return 1;
    }
    return 0;
}

int parse_send_opts(const std::vector<std::string> &words, size_t from, SendOpts *o, std::string *why) {
    for (size_t i = from; i < words.size(); ++i) {
        const std::string &w = words[i];
        const size_t eq = w.find('=');
        const std::string name = w.substr(0, eq);
        const std::string val = eq == std::string::npos ? "" : w.substr(eq + 1);
        if (w == "badcrc") {
            o->bad_crc = true;
        } else if (w == "badend") {
            o->bad_end = true;
        } else if (name == "gap" && eq != std::string::npos) {
            if (!parse_dec_number(val, kMaxGapMs, &o->gap_ms)) {
                *why = "gap=0.." + std::to_string(kMaxGapMs);
                return -1;
            }
        } else if (name == "delay" && eq != std::string::npos) {
            if (!parse_dec_number(val, kMaxDelayMs, &o->delay_ms)) {
                *why = "delay=0.." + std::to_string(kMaxDelayMs);
                return -1;
            }
        } else if (name == "split" && eq != std::string::npos) {
            if (!parse_split(val, &o->split_at, &o->split_pause_ms, why)) return -1;
        } else if ((name == "pre" || name == "post") && eq != std::string::npos) {
            if (!parse_hex_bytes(val, name == "pre" ? &o->noise_before : &o->noise_after)) {
                *why = name + "= takes hex bytes";
                return -1;
            }
        } else {
            *why = "unknown option " + w;
            return -1;
        }
    }
    return 0;
}

// ---- FramePeer --------------------------------------------------------------------

FramePeer::FramePeer(PeerLine &line, const ParserLimits &lim) : line_(line), parser_(lim) {
    control_ = std::make_unique<ControlRegistration>(
        line_.port(),
        [this](const std::string &cmd, const std::string &args, std::string *why) { return command(cmd, args, why); });
    if (!control_->registered())
        fprintf(stderr, "devsim: %s: control name taken, no runtime commands\n", line_.port().c_str());
}

FramePeer::~FramePeer() = default;

int FramePeer::configure(const std::string &key, const std::string &value) {
    std::string why;
    int r = responder_set(&rc_, key, value, parser_.limits().caret, &why);
    if (r < 0) {
        // Known key, bad value: say so here, the scenario check only knows unused keys.
        fprintf(stderr, "devsim: %s: %s = %s: %s\n", line_.port().c_str(), key.c_str(), value.c_str(), why.c_str());
        return 1;
    }
    return r;
}

void FramePeer::on_parsed(ParseEvent ev, const Frame *f, const char *why, const uint8_t *bytes, size_t len) {
    if (ev == ParseEvent::Bad) {
        const std::string dir = std::string("RX-BAD ") + why;
        line_.trace(dir.c_str(), bytes, len);
        return;
    }
    line_.trace("RX", bytes, len);
    if (ev == ParseEvent::Frame) on_frame(*f);
}

void FramePeer::on_bytes(const uint8_t *data, size_t len) {
    parser_.feed(data, len, devsim_mono_ms(),
                 [this](ParseEvent ev, const Frame *f, const char *why, const uint8_t *b, size_t n) {
                     on_parsed(ev, f, why, b, n);
                 });
}

void FramePeer::on_tick(int64_t mono_ms) {
    parser_.expire(mono_ms, [this](ParseEvent ev, const Frame *f, const char *why, const uint8_t *b, size_t n) {
        on_parsed(ev, f, why, b, n);
    });
}

int FramePeer::send_frame(const Bytes &frame, const SendOpts &opts) {
    for (const TimedChunk &c : frame_schedule(frame, opts)) {
        if (line_.send(c.bytes.data(), c.bytes.size(), c.at_ms) != 0) {
            fprintf(stderr, "devsim: %s: send queue full, frame cut short\n", line_.port().c_str());
            return -1;
        }
    }
    return 0;
}

int FramePeer::send_answer(const Bytes &frame) {
    SendOpts o = rc_.wire;
    o.delay_ms = rc_.answer_delay_ms;
    return send_frame(frame, o);
}

void FramePeer::on_frame(const Frame &f) {
    if (rc_.silent) return;
    if (f.caret) {
        auto it = rc_.caret.find(f.cmd);
        if (it != rc_.caret.end()) send_answer(encode_caret_frame(f.cmd, it->second));
        return;
    }
    if (!f.is_request()) return;
    auto it = rc_.answers.find(f.id);
    // The answer goes back where the request came from.
    if (it != rc_.answers.end()) send_answer(encode_bus_frame(f.src, f.dst, f.id, it->second));
}

int FramePeer::command(const std::string &cmd, const std::string &args, std::string *why) {
    const std::vector<std::string> w = control_words(args);
    const bool caret_ok = parser_.limits().caret;
    if (cmd == "send") {
        Bytes b;
        if (!parse_hex_bytes(args, &b) || b.empty()) {
            *why = "send takes hex bytes";
            return -1;
        }
        if (send_frame(b, SendOpts{}) != 0) {
            *why = "send queue full";
            return -1;
        }
        return 0;
    }
    if (cmd == "frame" || cmd == "caret") {
        Bytes frame, payload;
        SendOpts o;
        unsigned dst = 0, src = 0, id = 0;
        const size_t fixed = cmd == "frame" ? 4 : 2;
        if (cmd == "caret" && !caret_ok) {
            *why = "no caret frames on this line";
            return -1;
        }
        if (w.size() < fixed) {
            *why = cmd == "frame" ? "frame <dst> <src> <id> <payload hex|-> [options]"
                                  : "caret <cmd> <data hex|-> [options]";
            return -1;
        }
        if (cmd == "frame") {
            if (!parse_hex_number(w[0], 0xFF, &dst) || !parse_hex_number(w[1], 0xFF, &src) ||
                !parse_hex_number(w[2], 0xFFFF, &id)) {
                *why = "dst and src are hex 0..ff, id hex 0..ffff";
                return -1;
            }
        } else if (!parse_hex_number(w[0], 0xFF, &id)) {
            *why = "caret command is hex 0..ff";
            return -1;
        }
        if (!parse_hex_bytes(w[fixed - 1], &payload)) {
            *why = "payload must be hex bytes written together, or -";
            return -1;
        }
        if (parse_send_opts(w, fixed, &o, why) != 0) return -1;
        frame = cmd == "frame"
                    ? encode_bus_frame(static_cast<uint8_t>(dst), static_cast<uint8_t>(src), static_cast<uint16_t>(id),
                                       payload)
                    : encode_caret_frame(static_cast<uint8_t>(id), payload);
        if (frame.empty()) {
            *why = "payload too long for the frame";
            return -1;
        }
        if (send_frame(frame, o) != 0) {
            *why = "send queue full";
            return -1;
        }
        return 0;
    }
    if (cmd == "set") {
        if (w.empty()) {
            *why = "set <key> <value>";
            return -1;
        }
        // The value is the rest of the line: hex may be written with spaces.
        const std::string value = control_rest(args, 1);
        int r = responder_set(&rc_, w[0], value, caret_ok, why);
        if (r == 0) *why = "unknown key " + w[0];
        return r == 1 ? 0 : -1;
    }
    if (cmd == "reset") {
        rc_ = ResponderConfig{};
        return 0;
    }
    int r = on_command(cmd, args, why);
    if (r == 1) {
        *why = "unknown command " + cmd;
        return -1;
    }
    return r;
}

std::unique_ptr<Peer> make_lock_line_peer(PeerLine &line) {
    return std::make_unique<FramePeer>(line, ParserLimits{false, 2100, 2000});
}

std::unique_ptr<Peer> make_mcu_line_peer(PeerLine &line) {
    return std::make_unique<FramePeer>(line, ParserLimits{true, 2100, 2000});
}

std::unique_ptr<Peer> make_tool_line_peer(PeerLine &line) {
    return std::make_unique<FramePeer>(line, ParserLimits{false, 2100, 100});
}
