#pragma once
// Frames on the box's three serial lines, seen from devsim's side.  One module
// that the peers of ttyHSL1..3 share:
//   - its own CRCs, computed bit by bit from the polynomial definitions, so a
//     test checks the agent's table code instead of echoing it;
//   - a parser for what the agent writes (bus frames, caret frames on ttyHSL2);
//   - an encoder and a sender that can misbehave on purpose (byte gaps, split
//     frames, spoilt CRC or end byte, late frames, noise around them);
//   - FramePeer, a peer with a scripted responder driven by scenario keys and
//     control commands.  The bike, MCU and tool behaviours derive from it:
//     they override on_frame() and send with send_frame().
//
// Bus frame:   02 dst src id_lo id_hi len_lo len_hi payload crc_lo crc_hi 03
//              CRC-16/CCITT-FALSE over dst..payload.
// Caret frame: 5E 00 L cmd data crc_hi crc_lo   (L counts the whole frame)
//              CRC-16/ARC over the first L-2 bytes.
//
// Log lines in var/devsim/<port>.log:
//     <unix ms> <port> RX <hex>            a good frame, or bytes between frames
//     <unix ms> <port> RX-BAD <why> <hex>  a frame refused: crc, end, length, gap
//     <unix ms> <port> TX <hex>            what went on the wire (written by the loop)
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/control.h"
#include "core/peer.h"

using Bytes = std::vector<uint8_t>;

// ---- CRCs and encoding ------------------------------------------------------

// CRC-16/CCITT-FALSE: poly 0x1021, init 0xFFFF, MSB first, no final XOR.
uint16_t devsim_crc_ccitt_false(const uint8_t *data, size_t len);
// CRC-16/ARC: poly 0x8005 reflected, init 0, no final XOR.
uint16_t devsim_crc_arc(const uint8_t *data, size_t len);

inline constexpr size_t kBusOverhead = 10;
inline constexpr size_t kBusMaxPayload = 0xFFFF;

// Empty when the payload does not fit the 16-bit length.
Bytes encode_bus_frame(uint8_t dst, uint8_t src, uint16_t id, const Bytes &payload);
// Empty when the frame would be longer than 255 bytes.
Bytes encode_caret_frame(uint8_t cmd, const Bytes &data);

// Hex text to bytes: pairs of digits, optionally separated by spaces, tabs or
// ':'; "-" alone is the empty string.  false on anything else (odd digit count).
bool parse_hex_bytes(const std::string &text, Bytes *out);
// Unsigned hex number (optional 0x) no greater than `max`.
bool parse_hex_number(const std::string &text, unsigned max, unsigned *out);
// Decimal number no greater than `max`.
bool parse_dec_number(const std::string &text, unsigned max, unsigned *out);
std::string hex_of(const uint8_t *data, size_t len);  // "02 07 06"

// ---- Parsing ------------------------------------------------------------------

struct Frame {
    bool caret = false;
    Bytes raw;        // the whole frame, as on the wire
    uint8_t dst = 0;  // bus frames
    uint8_t src = 0;
    uint16_t id = 0;
    uint8_t cmd = 0;  // caret frames
    Bytes payload;    // bus payload or caret data
    // A read: payload length 0 asks the destination for message `id`.
    bool is_request() const { return !caret && payload.empty(); }
};

struct ParserLimits {
    bool caret = false;       // 5E 00 starts a caret frame (ttyHSL2)
    size_t max_frame = 2100;  // a header declaring more is refused
    int gap_ms = 2000;        // a partial frame idle this long is dropped
};

enum class ParseEvent { Frame, Bad, Noise };

// What the parser found.  `f` is set for ParseEvent::Frame; `why` for Bad
// ("crc", "end", "length", "gap").  `bytes` are the bytes concerned.
using ParseSink = std::function<void(ParseEvent ev, const Frame *f, const char *why, const uint8_t *bytes, size_t len)>;

// Frames are delimited by their length field alone (no escaping): bytes
// before a start byte are noise; a complete frame with a bad end byte or CRC
// is refused whole; a header declaring more than max_frame is refused (its
// RX-BAD line shows the header) and scanning goes on from the byte after its
// start byte, so a real frame behind a stray 02 is still found.  The buffer
// holds at most max_frame bytes between feeds.
class FrameParser {
public:
    explicit FrameParser(const ParserLimits &lim) : lim_(lim) {}
    void feed(const uint8_t *data, size_t len, int64_t now_ms, const ParseSink &sink);
    // Drops a partial frame that has been idle for gap_ms or more.
    void expire(int64_t now_ms, const ParseSink &sink);
    size_t pending() const { return buf_.size(); }
    const ParserLimits &limits() const { return lim_; }

private:
    void drain(const ParseSink &sink);
    ParserLimits lim_;
    Bytes buf_;
    int64_t last_ms_ = 0;
};

// ---- Sending --------------------------------------------------------------------

struct SendOpts {
    unsigned delay_ms = 0;         // before anything goes out
    unsigned gap_ms = 0;           // between the frame's bytes; 0: all at once
    std::vector<size_t> split_at;  // offsets into the frame where it pauses
    unsigned split_pause_ms = 0;   // length of each of those pauses
    bool bad_crc = false;          // CRC bytes spoilt (bus: low byte, caret: last byte)
    bool bad_end = false;          // bus frames: end byte other than 03
    Bytes noise_before;            // bytes ahead of the frame, at delay_ms
    Bytes noise_after;             // bytes right after the last frame byte
};

struct TimedChunk {
    unsigned at_ms;  // from the moment of sending
    Bytes bytes;
};

// The wire plan for `frame` with `opts`: chunks in order, at non-decreasing
// times, spoilt as asked.  Bytes due at the same moment share one chunk.
std::vector<TimedChunk> frame_schedule(const Bytes &frame, const SendOpts &opts);

// ---- Responder ------------------------------------------------------------------

struct ResponderConfig {
    std::map<uint16_t, Bytes> answers;  // bus message id -> payload of the answer
    std::map<uint8_t, Bytes> caret;     // caret command -> data of the answer
    unsigned answer_delay_ms = 0;
    bool silent = false;
    SendOpts wire;  // gap, split, spoiling applied to every answer (delay comes from answer_delay_ms)
};

// Applies one scenario or control key:
//   answer.<id hex> = <payload hex>    ("-" removes it)
//   caret.<cmd hex> = <data hex>       (only where caret frames are allowed)
//   answer_delay_ms = N, silent = 0|1, corrupt_crc = 0|1, wrong_end = 0|1,
//   gap_ms = N, split = <offset>[:<offset>...][,<pause ms>] (pause 1000 by default; "0" off),
//   noise_before = <hex>, noise_after = <hex>
// 1 applied, 0 not a responder key, -1 a responder key with a bad value (*why).
int responder_set(ResponderConfig *rc, const std::string &key, const std::string &value, bool caret_allowed,
                  std::string *why);

// Frame options of a control command: gap=N split=K[:K..][,P] badcrc badend
// delay=N pre=<hex> post=<hex>.  0 / -1 with *why.
int parse_send_opts(const std::vector<std::string> &words, size_t from, SendOpts *o, std::string *why);

// ---- The peer -------------------------------------------------------------------

// A peer that speaks frames: logs every frame the agent writes (RX / RX-BAD),
// answers requests as its ResponderConfig says, and takes control commands
// under its port name:
//   <port> send <hex bytes>                      raw bytes, as they are
//   <port> frame <dst> <src> <id> <payload hex|-> [options]
//   <port> caret <cmd> <data hex|-> [options]    (ttyHSL2)
//   <port> set <key> <value>                     as in the scenario
//   <port> reset                                 forget every responder setting
class FramePeer : public Peer {
public:
    FramePeer(PeerLine &line, const ParserLimits &lim);
    ~FramePeer() override;
    FramePeer(const FramePeer &) = delete;
    FramePeer &operator=(const FramePeer &) = delete;

    int configure(const std::string &key, const std::string &value) override;
    void on_bytes(const uint8_t *data, size_t len) override;
    void on_tick(int64_t mono_ms) override;
    unsigned tick_ms() const override { return 20; }

    // Puts a frame (or any bytes) on the wire as `opts` says.  0 / -1 (queue full).
    int send_frame(const Bytes &frame, const SendOpts &opts);
    // Sends an answer with the responder's delay and wire options.
    int send_answer(const Bytes &frame);
    // One control command for this port.  0 / -1 with *why.
    int command(const std::string &cmd, const std::string &args, std::string *why);

    const ResponderConfig &responder() const { return rc_; }

protected:
    // A good frame from the agent.  The default answers scripted requests.
    virtual void on_frame(const Frame &f);
    // Control commands a derived peer adds: 0 / -1, or 1 when not its command.
    virtual int on_command(const std::string &cmd, const std::string &args, std::string *why) {
        (void)cmd;
        (void)args;
        (void)why;
        return 1;
    }
    PeerLine &line() { return line_; }
    ResponderConfig &responder_config() { return rc_; }

private:
    void on_parsed(ParseEvent ev, const Frame *f, const char *why, const uint8_t *bytes, size_t len);

    PeerLine &line_;
    FrameParser parser_;
    ResponderConfig rc_;
    std::unique_ptr<ControlRegistration> control_;  // commands under the port name
};


// The three serial ports' peers until their own behaviours land.
std::unique_ptr<Peer> make_lock_line_peer(PeerLine &line);  // ttyHSL1: bus frames, 2 s gap
std::unique_ptr<Peer> make_mcu_line_peer(PeerLine &line);   // ttyHSL2: bus + caret frames, 2 s gap
std::unique_ptr<Peer> make_tool_line_peer(PeerLine &line);  // ttyHSL3: bus frames, 100 ms gap
