// devsim's frame layer on its own: CRCs from their definitions, encoding,
// the parser against hostile input, the wire plan, the scripted responder and
// its control commands.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/control.h"
#include "core/devsim_clock.h"
#include "core/frame_link.h"

namespace {

Bytes B(const std::string &hex) {
    Bytes b;
    EXPECT_TRUE(parse_hex_bytes(hex, &b)) << hex;
    return b;
}

std::string H(const Bytes &b) { return hex_of(b.data(), b.size()); }

struct Event {
    ParseEvent ev;
    std::string why;
    std::string hex;
    Frame frame;
};

struct Collector {
    std::vector<Event> events;
    ParseSink sink() {
        return [this](ParseEvent ev, const Frame *f, const char *why, const uint8_t *b, size_t n) {
            Event e{ev, why ? why : "", hex_of(b, n), f ? *f : Frame{}};
            events.push_back(e);
        };
    }
    std::vector<Event> of(ParseEvent ev) const {
        std::vector<Event> out;
        for (const auto &e : events)
            if (e.ev == ev) out.push_back(e);
        return out;
    }
};

class FakeLine final : public PeerLine {
public:
    explicit FakeLine(std::string port) : port_(std::move(port)) {}
    const std::string &port() const override { return port_; }
    const std::string &root() const override { return root_; }
    int send(const uint8_t *data, size_t len, unsigned delay_ms) override {
        if (sends.size() >= limit) return -1;
        sends.push_back({delay_ms, Bytes(data, data + len)});
        return 0;
    }
    void trace(const char *dir, const uint8_t *data, size_t len) override {
        traces.push_back(std::string(dir) + " " + hex_of(data, len));
    }
    // Everything sent, in order, as one hex string.
    std::string wire() const {
        Bytes all;
        for (const auto &c : sends) all.insert(all.end(), c.bytes.begin(), c.bytes.end());
        return H(all);
    }
    std::vector<TimedChunk> sends;
    std::vector<std::string> traces;
    size_t limit = 100000;

private:
    std::string port_, root_ = "/nonexistent";
};

const char *kKeyOn = "02 07 06 03 f4 02 00 01 00 ea f1 03";
const char *kKeyOff = "02 07 06 03 f4 02 00 00 00 db c2 03";

}  // namespace

TEST(DevsimFrames, CrcsMatchTheCatalogueCheckValues) {
    const std::string check = "123456789";
    const auto *p = reinterpret_cast<const uint8_t *>(check.data());
    EXPECT_EQ(devsim_crc_ccitt_false(p, check.size()), 0x29B1);
    EXPECT_EQ(devsim_crc_arc(p, check.size()), 0xBB3D);
    // Nothing in: the initial register comes out unchanged.
    EXPECT_EQ(devsim_crc_ccitt_false(p, 0), 0xFFFF);
    EXPECT_EQ(devsim_crc_arc(p, 0), 0x0000);
}

TEST(DevsimFrames, EncodesTheKeyLineExamplesAndCaretFrames) {
    EXPECT_EQ(H(encode_bus_frame(0x07, 0x06, 0xF403, B("0100"))), kKeyOn);
    EXPECT_EQ(H(encode_bus_frame(0x07, 0x06, 0xF403, B("0000"))), kKeyOff);
    // A read: ten bytes, length 0.
    Bytes rd = encode_bus_frame(0x08, 0x06, 0xF107, {});
    ASSERT_EQ(rd.size(), 10u);
    EXPECT_EQ(H(Bytes(rd.begin(), rd.begin() + 7)), "02 08 06 07 f1 00 00");
    // Length is 16-bit, low byte first.
    Bytes big = encode_bus_frame(0x06, 0x01, 0x0001, Bytes(261, 0x55));
    ASSERT_EQ(big.size(), 271u);
    EXPECT_EQ(big[5], 0x05);
    EXPECT_EQ(big[6], 0x01);
    EXPECT_TRUE(encode_bus_frame(1, 2, 3, Bytes(0x10000, 0)).empty());

    Bytes c = encode_caret_frame(0x21, B("0a0b"));
    ASSERT_EQ(c.size(), 8u);
    EXPECT_EQ(H(Bytes(c.begin(), c.begin() + 6)), "5e 00 08 21 0a 0b");
    const uint16_t crc = devsim_crc_arc(c.data(), 6);
    EXPECT_EQ(c[6], crc >> 8) << "caret CRC travels high byte first";
    EXPECT_EQ(c[7], crc & 0xFF);
    EXPECT_EQ(encode_caret_frame(1, Bytes(249, 0)).size(), 255u);
    EXPECT_TRUE(encode_caret_frame(1, Bytes(250, 0)).empty());
}

TEST(DevsimFrames, HexAndNumberParsingRefusesJunk) {
    Bytes b;
    EXPECT_TRUE(parse_hex_bytes("02 07:06F4", &b));
    EXPECT_EQ(H(b), "02 07 06 f4");
    EXPECT_TRUE(parse_hex_bytes("-", &b));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(parse_hex_bytes("0", &b));
    EXPECT_FALSE(parse_hex_bytes("0 2", &b));
    EXPECT_FALSE(parse_hex_bytes("zz", &b));
    unsigned n = 0;
    EXPECT_TRUE(parse_hex_number("0xF107", 0xFFFF, &n));
    EXPECT_EQ(n, 0xF107u);
    EXPECT_FALSE(parse_hex_number("10000", 0xFFFF, &n));
    EXPECT_FALSE(parse_hex_number("", 0xFF, &n));
    EXPECT_FALSE(parse_hex_number("0x", 0xFF, &n));
    EXPECT_FALSE(parse_dec_number("-1", 10, &n));
    EXPECT_FALSE(parse_dec_number("99999999999", 0xFFFFFFFF, &n));
    EXPECT_TRUE(parse_dec_number("2500", 600000, &n));
    EXPECT_EQ(n, 2500u);
}

TEST(DevsimFrames, ParserDelimitsByLengthAloneAcrossAnyChunking) {
    // 02 and 03 inside the payload must not end or start anything.
    const Bytes a = encode_bus_frame(0x06, 0x08, 0x0203, B("0302030203"));
    const Bytes b = B(kKeyOn);
    Bytes stream = B("ff 00");
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    stream.push_back(0x41);
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{7}, stream.size()}) {
        FrameParser p(ParserLimits{false, 2100, 2000});
        Collector c;
        for (size_t i = 0; i < stream.size(); i += chunk)
            p.feed(stream.data() + i, std::min(chunk, stream.size() - i), 0, c.sink());
        auto frames = c.of(ParseEvent::Frame);
        ASSERT_EQ(frames.size(), 2u) << "chunk " << chunk;
        EXPECT_EQ(frames[0].hex, H(a));
        EXPECT_EQ(frames[0].frame.id, 0x0203);
        EXPECT_EQ(H(frames[0].frame.payload), "03 02 03 02 03");
        EXPECT_EQ(frames[1].frame.dst, 0x07);
        EXPECT_EQ(frames[1].frame.src, 0x06);
        EXPECT_EQ(frames[1].frame.id, 0xF403);
        EXPECT_TRUE(c.of(ParseEvent::Bad).empty());
        std::string noise;
        for (const auto &e : c.of(ParseEvent::Noise)) noise += e.hex + " ";
        EXPECT_EQ(noise, "ff 00 41 ") << "chunk " << chunk;
        EXPECT_EQ(p.pending(), 0u);
    }
}

TEST(DevsimFrames, ParserRefusesBadFramesAndRecoversOnTheNextGoodOne) {
    FrameParser p(ParserLimits{false, 300, 2000});
    Collector c;
    Bytes badcrc = B(kKeyOn);
    badcrc[9] ^= 0x01;
    Bytes badend = B(kKeyOn);
    badend[11] = 0x04;
    // A stray 02 whose "header" declares 0xF4F4 + 10 bytes: refused at once,
    // and the real frame right behind it is still found.
    Bytes stray = B("02 00 00 00 00 f4 f4");
    for (const Bytes &x : {badcrc, badend, stray, B(kKeyOff)}) p.feed(x.data(), x.size(), 0, c.sink());
    auto bad = c.of(ParseEvent::Bad);
    ASSERT_EQ(bad.size(), 3u);
    EXPECT_EQ(bad[0].why, "crc");
    EXPECT_EQ(bad[0].hex, H(badcrc));
    EXPECT_EQ(bad[1].why, "end");
    EXPECT_EQ(bad[2].why, "length");
    auto frames = c.of(ParseEvent::Frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].hex, kKeyOff);
}

TEST(DevsimFrames, ParserDropsAPartialFrameAfterTheGap) {
    FrameParser p(ParserLimits{false, 2100, 100});
    Collector c;
    Bytes f = B(kKeyOn);
    p.feed(f.data(), 5, 1000, c.sink());
    p.expire(1099, c.sink());
    EXPECT_TRUE(c.events.empty()) << "99 ms is within the gap";
    EXPECT_EQ(p.pending(), 5u);
    // The rest arrives too late: the head was dropped, the tail is no frame.
    p.feed(f.data() + 5, f.size() - 5, 1100, c.sink());
    auto bad = c.of(ParseEvent::Bad);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].why, "gap");
    EXPECT_EQ(bad[0].hex, "02 07 06 03 f4");
    EXPECT_TRUE(c.of(ParseEvent::Frame).empty());
    // Within the gap the same split frame is whole.
    Collector c2;
    FrameParser q(ParserLimits{false, 2100, 100});
    q.feed(f.data(), 5, 1000, c2.sink());
    q.feed(f.data() + 5, f.size() - 5, 1099, c2.sink());
    ASSERT_EQ(c2.of(ParseEvent::Frame).size(), 1u);
}

TEST(DevsimFrames, CaretFramesOnlyWhereAllowed) {
    const Bytes car = encode_caret_frame(0x21, B("0a0b"));
    Bytes bad = car;
    bad.back() ^= 0x01;
    Bytes stream = B("5e 41");  // a '^' in text
    stream.insert(stream.end(), car.begin(), car.end());
    stream.insert(stream.end(), bad.begin(), bad.end());
    const Bytes shortl = B("5e 00 05");
    stream.insert(stream.end(), shortl.begin(), shortl.end());

    FrameParser mcu(ParserLimits{true, 2100, 2000});
    Collector c;
    mcu.feed(stream.data(), stream.size(), 0, c.sink());
    auto frames = c.of(ParseEvent::Frame);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].frame.caret);
    EXPECT_EQ(frames[0].frame.cmd, 0x21);
    EXPECT_EQ(H(frames[0].frame.payload), "0a 0b");
    auto badev = c.of(ParseEvent::Bad);
    ASSERT_EQ(badev.size(), 2u);
    EXPECT_EQ(badev[0].why, "crc");
    EXPECT_EQ(badev[1].why, "length");

    FrameParser lock(ParserLimits{false, 2100, 2000});
    Collector c2;
    lock.feed(stream.data(), stream.size(), 0, c2.sink());
    EXPECT_TRUE(c2.of(ParseEvent::Frame).empty());
    EXPECT_TRUE(c2.of(ParseEvent::Bad).empty());
}

TEST(DevsimFrames, ParserSurvivesRandomBytesAndFindsFramesAmongNoise) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 300; ++round) {
        const bool caret = round % 2 == 0;
        FrameParser p(ParserLimits{caret, 64 + static_cast<size_t>(rng() % 2100), 1 + static_cast<int>(rng() % 50)});
        size_t frames = 0;
        bool reencodes = true;
        ParseSink sink = [&](ParseEvent ev, const Frame *f, const char *, const uint8_t *b, size_t n) {
            if (ev != ParseEvent::Frame) return;
            ++frames;
            Bytes again = f->caret ? encode_caret_frame(f->cmd, f->payload)
                                   : encode_bus_frame(f->dst, f->src, f->id, f->payload);
            if (again != Bytes(b, b + n) || again != f->raw) reencodes = false;
        };
        int64_t now = 0;
        for (int i = 0; i < 40; ++i) {
            Bytes junk(rng() % 300);
            for (auto &x : junk) x = static_cast<uint8_t>(rng() % 4 == 0 ? (rng() % 2 ? 0x02 : 0x5E) : rng());
            p.feed(junk.data(), junk.size(), now, sink);
            now += rng() % 30;
            if (rng() % 5 == 0) p.expire(now, sink);
            ASSERT_LE(p.pending(), p.limits().max_frame);
        }
        EXPECT_TRUE(reencodes) << "round " << round;
        (void)frames;
    }

    // Good frames separated by noise free of start bytes are all found, in order.
    FrameParser p(ParserLimits{true, 2100, 2000});
    std::vector<std::string> sent, got;
    ParseSink sink = [&](ParseEvent ev, const Frame *, const char *, const uint8_t *b, size_t n) {
        if (ev == ParseEvent::Frame) got.push_back(hex_of(b, n));
    };
    Bytes stream;
    for (int i = 0; i < 200; ++i) {
        Bytes payload(rng() % 40);
        for (auto &x : payload) x = static_cast<uint8_t>(rng());
        Bytes f = i % 3 == 0 ? encode_caret_frame(static_cast<uint8_t>(rng()), payload)
                             : encode_bus_frame(static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()),
                                                static_cast<uint16_t>(rng()), payload);
        sent.push_back(H(f));
        stream.insert(stream.end(), f.begin(), f.end());
        for (unsigned k = rng() % 4; k > 0; --k) stream.push_back(static_cast<uint8_t>(0x80 + rng() % 0x40));
    }
    for (size_t i = 0; i < stream.size();) {
        size_t n = std::min<size_t>(1 + rng() % 64, stream.size() - i);
        p.feed(stream.data() + i, n, 0, sink);
        i += n;
    }
    EXPECT_EQ(got, sent);
}

TEST(DevsimFrames, WirePlanGapsSplitsSpoilsAndNoise) {
    const Bytes f = B(kKeyOn);
    auto whole = frame_schedule(f, SendOpts{});
    ASSERT_EQ(whole.size(), 1u);
    EXPECT_EQ(whole[0].at_ms, 0u);
    EXPECT_EQ(H(whole[0].bytes), kKeyOn);

    SendOpts g;
    g.gap_ms = 30;
    g.delay_ms = 100;
    auto bytes = frame_schedule(f, g);
    ASSERT_EQ(bytes.size(), f.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        EXPECT_EQ(bytes[i].at_ms, 100 + 30 * i);
        EXPECT_EQ(bytes[i].bytes, Bytes{f[i]});
    }

    SendOpts s;
    s.split_at = {5, 9};
    s.split_pause_ms = 3000;
    s.noise_before = B("aa bb");
    s.noise_after = B("cc");
    auto parts = frame_schedule(f, s);
    ASSERT_EQ(parts.size(), 3u);
    EXPECT_EQ(parts[0].at_ms, 0u);
    EXPECT_EQ(H(parts[0].bytes), "aa bb 02 07 06 03 f4");
    EXPECT_EQ(parts[1].at_ms, 3000u);
    EXPECT_EQ(H(parts[1].bytes), "02 00 01 00");
    EXPECT_EQ(parts[2].at_ms, 6000u);
    EXPECT_EQ(H(parts[2].bytes), "ea f1 03 cc");

    SendOpts spoil;
    spoil.bad_crc = true;
    spoil.bad_end = true;
    Bytes out = frame_schedule(f, spoil)[0].bytes;
    EXPECT_NE(out[9], f[9]);
    EXPECT_EQ(out[10], f[10]);
    EXPECT_NE(out[11], 0x03);
    const Bytes car = encode_caret_frame(0x10, B("01"));
    Bytes cout = frame_schedule(car, spoil)[0].bytes;
    EXPECT_EQ(H(Bytes(cout.begin(), cout.end() - 1)), H(Bytes(car.begin(), car.end() - 1)));
    EXPECT_NE(cout.back(), car.back());
    // Raw bytes are never "spoilt": they are not a frame.
    EXPECT_EQ(H(frame_schedule(B("02 03"), spoil)[0].bytes), "02 03");

    // Huge gaps and pauses saturate instead of wrapping round.
    SendOpts huge;
    huge.split_at = std::vector<size_t>(40, 1);
    huge.split_pause_ms = 600000000;
    auto sat = frame_schedule(f, huge);
    ASSERT_EQ(sat.size(), 2u);
    EXPECT_EQ(sat[1].at_ms, 0xFFFFFFFFu);
}

TEST(DevsimFrames, ResponderKeysAndOptionsAreChecked) {
    ResponderConfig rc;
    std::string why;
    EXPECT_EQ(responder_set(&rc, "answer.F107", "01 02", false, &why), 1);
    EXPECT_EQ(H(rc.answers[0xF107]), "01 02");
    EXPECT_EQ(responder_set(&rc, "answer.f107", "-", false, &why), 1);
    EXPECT_TRUE(rc.answers.empty());
    EXPECT_EQ(responder_set(&rc, "answer.f107", "", false, &why), -1) << "an answer needs a payload";
    EXPECT_EQ(responder_set(&rc, "answer.10000", "01", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "caret.21", "0a", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "caret.21", "0a", true, &why), 1);
    EXPECT_EQ(responder_set(&rc, "answer_delay_ms", "2500", false, &why), 1);
    EXPECT_EQ(rc.answer_delay_ms, 2500u);
    EXPECT_EQ(responder_set(&rc, "answer_delay_ms", "soon", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "silent", "2", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "corrupt_crc", "1", false, &why), 1);
    EXPECT_TRUE(rc.wire.bad_crc);
    EXPECT_EQ(responder_set(&rc, "split", "5", false, &why), 1);
    EXPECT_EQ(rc.wire.split_at, std::vector<size_t>{5});
    EXPECT_EQ(rc.wire.split_pause_ms, 1000u);
    EXPECT_EQ(responder_set(&rc, "split", "3:7,250", false, &why), 1);
    EXPECT_EQ(rc.wire.split_at, (std::vector<size_t>{3, 7}));
    EXPECT_EQ(rc.wire.split_pause_ms, 250u);
    EXPECT_EQ(responder_set(&rc, "split", "0", false, &why), 1);
    EXPECT_TRUE(rc.wire.split_at.empty());
    EXPECT_EQ(responder_set(&rc, "split", "x,1", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "gap_ms", "10001", false, &why), -1);
    EXPECT_EQ(responder_set(&rc, "speed", "9600", false, &why), 0);

    SendOpts o;
    EXPECT_EQ(parse_send_opts({"x", "gap=5", "split=4,3000", "badcrc", "badend", "delay=7", "pre=aa", "post=bb"}, 1,
                              &o, &why),
              0)
        << why;
    EXPECT_EQ(o.gap_ms, 5u);
    EXPECT_EQ(o.split_pause_ms, 3000u);
    EXPECT_TRUE(o.bad_crc && o.bad_end);
    EXPECT_EQ(o.delay_ms, 7u);
    EXPECT_EQ(H(o.noise_before), "aa");
    EXPECT_EQ(parse_send_opts({"gap"}, 0, &o, &why), -1);
    EXPECT_EQ(parse_send_opts({"bogus=1"}, 0, &o, &why), -1);
}

TEST(DevsimFrames, PeerAnswersScriptedRequestsAndLogsWhatItSees) {
    FakeLine line("ttyHSL2");
    auto peer = make_mcu_line_peer(line);
    EXPECT_EQ(peer->configure("answer.f403", "0100"), 1);
    EXPECT_EQ(peer->configure("answer_delay_ms", "250"), 1);
    EXPECT_EQ(peer->configure("caret.21", "0a0b"), 1);
    EXPECT_EQ(peer->configure("answer.f403x", "01"), 1) << "a known key with a bad value is reported, not 'unused'";
    EXPECT_EQ(peer->configure("baud", "9600"), 0);

    // A read from 07 to 06 is answered from 06 to 07 with the script's payload.
    Bytes req = encode_bus_frame(0x06, 0x07, 0xF403, {});
    Bytes junk = B("ff");
    peer->on_bytes(junk.data(), junk.size());
    peer->on_bytes(req.data(), req.size());
    ASSERT_EQ(line.sends.size(), 1u);
    EXPECT_EQ(line.sends[0].at_ms, 250u);
    EXPECT_EQ(H(line.sends[0].bytes), kKeyOn);
    ASSERT_EQ(line.traces.size(), 2u);
    EXPECT_EQ(line.traces[0], "RX ff");
    EXPECT_EQ(line.traces[1], "RX " + H(req));

    // Not a read (payload > 0), an unknown id, a bad CRC: no answer.
    Bytes notreq = encode_bus_frame(0x06, 0x07, 0xF403, B("01"));
    Bytes other = encode_bus_frame(0x06, 0x07, 0xF404, {});
    Bytes bad = req;
    bad[7] ^= 0x01;
    for (const Bytes &x : {notreq, other, bad}) peer->on_bytes(x.data(), x.size());
    EXPECT_EQ(line.sends.size(), 1u);
    EXPECT_EQ(line.traces.back(), "RX-BAD crc " + H(bad));

    Bytes car = encode_caret_frame(0x21, {});
    peer->on_bytes(car.data(), car.size());
    ASSERT_EQ(line.sends.size(), 2u);
    EXPECT_EQ(H(line.sends[1].bytes), H(encode_caret_frame(0x21, B("0a0b"))));

    EXPECT_EQ(peer->configure("silent", "1"), 1);
    peer->on_bytes(req.data(), req.size());
    EXPECT_EQ(line.sends.size(), 2u);

    // A partial frame is logged as dropped once the gap passes on the tick.
    peer->on_bytes(req.data(), 4);
    peer->on_tick(devsim_mono_ms() + 2000);
    EXPECT_EQ(line.traces.back(), "RX-BAD gap " + hex_of(req.data(), 4));
}

TEST(DevsimFrames, ControlCommandsReachThePeerOfTheirPort) {
    FakeLine l1("ttyHSL1"), l3("ttyHSL3");
    {
        auto p1 = make_lock_line_peer(l1);
        auto p3 = make_tool_line_peer(l3);
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403 0100"), 0);
        EXPECT_EQ(l1.wire(), kKeyOn);
        EXPECT_TRUE(l3.sends.empty());

        l1.sends.clear();
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403 0000 split=5,3000 delay=10"), 0);
        ASSERT_EQ(l1.sends.size(), 2u);
        EXPECT_EQ(l1.sends[0].at_ms, 10u);
        EXPECT_EQ(l1.sends[1].at_ms, 3010u);
        EXPECT_EQ(l1.wire(), kKeyOff);

        l3.sends.clear();
        EXPECT_EQ(control_dispatch("  ttyHSL3   send 02 03 5e  "), 0);
        EXPECT_EQ(l3.wire(), "02 03 5e");
        EXPECT_EQ(control_dispatch("ttyHSL3 set answer.0001 01 02 03"), 0);
        Bytes req = encode_bus_frame(0x03, 0x06, 0x0001, {});
        l3.sends.clear();
        p3->on_bytes(req.data(), req.size());
        EXPECT_EQ(l3.wire(), H(encode_bus_frame(0x06, 0x03, 0x0001, B("010203"))));
        EXPECT_EQ(control_dispatch("ttyHSL3 reset"), 0);
        l3.sends.clear();
        p3->on_bytes(req.data(), req.size());
        EXPECT_TRUE(l3.sends.empty());

        EXPECT_EQ(control_dispatch("ttyHSL1 caret 21 -"), -1) << "no caret frames on the lock line";
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403"), -1);
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 107 06 f403 -"), -1);
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403 01 00"), -1) << "payload is one word";
        EXPECT_EQ(control_dispatch("ttyHSL1 send"), -1);
        EXPECT_EQ(control_dispatch("ttyHSL1 set speed 9600"), -1);
        EXPECT_EQ(control_dispatch("ttyHSL1 dance"), -1);
        EXPECT_EQ(control_dispatch("ttyHSL1"), -1);
        l1.limit = l1.sends.size() + 3;
        EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403 0100 gap=1"), -1) << "queue full is an error";
    }
    // Peers gone: their names are free again.
    EXPECT_EQ(control_dispatch("ttyHSL1 frame 07 06 f403 0100"), -2);
}
