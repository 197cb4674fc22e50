// The agent's three serial lines, run in this test process, against devsim's
// frame peers on real pseudo-terminals.  Expected bytes are built with devsim's
// encoder, whose CRCs are computed bit by bit and not by the agent's tables.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"
#include "core/frame_link.h"
#include "support/child.h"
#include "vehicle/serial_line.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/lock_link.h"

namespace {

constexpr int kWait = 5000;
enum LineIdx { LOCK = 0, MCU = 1, ECU = 2 };
const char *const kPort[] = {"ttyHSL1", "ttyHSL2", "ttyHSL3"};

const char *kKeyOn = "02 07 06 03 f4 02 00 01 00 ea f1 03";
const char *kKeyOff = "02 07 06 03 f4 02 00 00 00 db c2 03";

Bytes B(const std::string &hex) {
    Bytes b;
    EXPECT_TRUE(parse_hex_bytes(hex, &b)) << hex;
    return b;
}
std::string H(const Bytes &b) { return hex_of(b.data(), b.size()); }
std::string compact(const Bytes &b) {  // hex without blanks, as a control command's payload
    std::string s = H(b), out;
    for (char c : s)
        if (c != ' ') out += c;
    return out.empty() ? "-" : out;
}

// What the agent's receive side handed on, per line.
std::mutex g_mu;
std::vector<std::string> g_got[3];

void record(int line, const uint8_t *f, size_t n) {
    std::lock_guard<std::mutex> g(g_mu);
    g_got[line].push_back(hex_of(f, n));
}

std::vector<std::string> got(int line) {
    std::lock_guard<std::mutex> g(g_mu);
    return g_got[line];
}

bool wait_got(int line, size_t n) {
    return poll_until([&] { return got(line).size() >= n; }, kWait);
}

// The handlers the board and bridge links will install do what these do for
// requests: the matching frame completes the waiting requester.
int on_lock(const unsigned char *f, int n) {
    record(LOCK, f, static_cast<size_t>(n));
    if (lock_com_pending()) lock_com_answer(f, n);
    return 0;
}

int on_bt(const unsigned char *f, int n) {
    record(MCU, f, static_cast<size_t>(n));
    mcu_com_answer(f, n);
    return 0;
}

void ecu_capture() {
    ecu_line().dispatch_once([](const uint8_t *f, size_t n) { record(ECU, f, n); });
}

// Lines of var/devsim/<port>.log with the given direction tag ("RX", "TX", "RX-BAD crc").
std::vector<std::string> wire(const Box &box, int line, const std::string &dir) {
    std::istringstream in(box.file(std::string("/var/devsim/") + kPort[line] + ".log"));
    std::vector<std::string> out;
    std::string l;
    const std::string tag = std::string(" ") + kPort[line] + " " + dir + " ";
    while (std::getline(in, l)) {
        size_t p = l.find(tag);
        if (p != std::string::npos) out.push_back(l.substr(p + tag.size()));
    }
    return out;
}

std::string joined(const std::vector<std::string> &v) {
    std::string s;
    for (const auto &x : v) s += (s.empty() ? "" : " ") + x;
    return s;
}

// Writes one command to devsim's control FIFO and waits until it was carried out.
::testing::AssertionResult ctl(const Box &box, const std::string &line) {
    const std::string log = box.path("/var/devsim/control.log");
    const std::string ok = line + " -> ok\n";
    const size_t before = count_of(read_text(log), ok);
    int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ::testing::AssertionFailure() << "no control FIFO";
    const std::string text = line + "\n";
    size_t off = 0;
    const int64_t end = harness_mono_ms() + kWait;
    while (off < text.size() && harness_mono_ms() < end) {
        ssize_t w = write(fd, text.data() + off, text.size() - off);
        if (w > 0) {
            off += static_cast<size_t>(w);
        } else {
            struct pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, 50);
        }
    }
    close(fd);
    if (off < text.size()) return ::testing::AssertionFailure() << "control FIFO full";
    if (!poll_until([&] { return count_of(read_text(log), ok) > before; }, kWait))
        return ::testing::AssertionFailure() << line.substr(0, 120) << ": " << read_text(log).substr(0, 2000);
    return ::testing::AssertionSuccess();
}

// A payload of `n` bytes whose frame, from `skip` on, holds no 02: what is
// left of it after the agent gave up on the frame must not look like the
// start of another one and swallow the frame behind it.
Bytes payload_free_of_start(uint8_t dst, uint8_t src, uint16_t id, size_t n, size_t skip) {
    for (unsigned fill = 0x40; fill < 0x100; ++fill) {
        Bytes p(n);
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(fill + i % 7);
        Bytes f = encode_bus_frame(dst, src, id, p);
        bool clean = true;
        for (size_t i = skip; i < f.size(); ++i) clean = clean && f[i] != 0x02;
        if (clean) return p;
    }
    ADD_FAILURE() << "no clean payload";
    return {};
}

class Lines : public ::testing::Test {
protected:
    void start(const std::string &scenario = "") {
        BoxOptions o;
        o.start_host = false;
        o.scenario = scenario;
        box_ = std::make_unique<Box>(o);
        ASSERT_TRUE(box_->ok()) << box_->error();
        setenv("TELAGENT_ROOT", box_->root().c_str(), 1);
    }
    void up(int line) {
        switch (line) {
            case LOCK:
                hostcore_GD32_recv_register(on_lock);
                vehicle_link_attach();
                ASSERT_EQ(init_lock_usart(), 1);
                break;
            case MCU:
                hostcore_bluetooth_recv_register(on_bt);
                vehicle_link_attach();
                ASSERT_EQ(init_mcu_usart(), 1);
                break;
            default:
                ASSERT_EQ(init_factory_usart(), 1);
                // The factory table has no listener yet: watch what its dispatcher would get.
                ecu_line().dispatch_thread.stop();
                ecu_line().dispatch_thread.start(ecu_capture);
                break;
        }
    }
    // A frame from devsim: the agent passes on only the good one behind two spoilt ones.
    void spoilt_frames_are_not_delivered(int line) {
        const Bytes good = encode_bus_frame(0x06, 0x08, 0x2233, B("0203"));
        const std::string cmd = std::string(kPort[line]) + " frame 06 08 2233 0203";
        ASSERT_TRUE(ctl(*box_, cmd + " badcrc"));
        ASSERT_TRUE(ctl(*box_, cmd + " badend"));
        ASSERT_TRUE(ctl(*box_, cmd));
        ASSERT_TRUE(wait_got(line, 1));
        harness_sleep_ms(200);  // nothing else trails in
        EXPECT_EQ(got(line), std::vector<std::string>{H(good)});
        // The spoilt ones did go over the wire.
        Bytes badcrc = good, badend = good;
        badcrc[badcrc.size() - 3] ^= 0xFF;
        badend.back() ^= 0xFF;
        EXPECT_EQ(joined(wire(*box_, line, "TX")), H(badcrc) + " " + H(badend) + " " + H(good));
    }
    std::unique_ptr<Box> box_;
};

}  // namespace

// ---- ttyHSL1: lock/controller board -------------------------------------------

TEST_F(Lines, LockLineCarriesFramesBothWaysByteExact) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(LOCK));

    const Bytes on = B(kKeyOn);
    const Bytes inner = encode_bus_frame(0x08, 0x06, 0x0302, B("02 03 03 02 02"));  // start/end bytes inside
    ASSERT_EQ(write_data_to_GD(on.data(), static_cast<int>(on.size())), 12);
    ASSERT_EQ(write_data_to_GD(inner.data(), static_cast<int>(inner.size())), static_cast<int>(inner.size()));
    EXPECT_TRUE(poll_until([&] { return wire(*box_, LOCK, "RX").size() >= 2; }, kWait));
    EXPECT_EQ(wire(*box_, LOCK, "RX"), (std::vector<std::string>{kKeyOn, H(inner)}));

    // devsim to the agent: the key-line example as a frame command and as raw
    // bytes, then the largest frame the board's 256-byte slot takes.
    const Bytes big = encode_bus_frame(0x06, 0x08, 0x0100, Bytes(246, 0x03));
    ASSERT_EQ(big.size(), 256u);
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 07 06 f403 0000"));
    ASSERT_TRUE(ctl(*box_, std::string("ttyHSL1 send ") + kKeyOn));
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 06 08 0100 " + compact(Bytes(246, 0x03))));
    ASSERT_TRUE(wait_got(LOCK, 3));
    EXPECT_EQ(got(LOCK), (std::vector<std::string>{kKeyOff, kKeyOn, H(big)}));
}

TEST_F(Lines, LockLineDropsFramesLongerThanItsSlotAndRecovers) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(LOCK));
    // 257 bytes: one more than a slot.  The agent gives up at the length byte.
    const Bytes p = payload_free_of_start(0x06, 0x08, 0x0101, 247, 6);
    ASSERT_EQ(encode_bus_frame(0x06, 0x08, 0x0101, p).size(), 257u);
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 06 08 0101 " + compact(p)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 07 06 f403 0100"));
    ASSERT_TRUE(wait_got(LOCK, 1));
    harness_sleep_ms(200);
    EXPECT_EQ(got(LOCK), std::vector<std::string>{kKeyOn});
}

TEST_F(Lines, LockLineRequestIsAnsweredByTheScriptAndTimesOutWhenLate) {
    ASSERT_NO_FATAL_FAILURE(start("[ttyHSL1]\nanswer.f403 = 0100\n"));
    ASSERT_NO_FATAL_FAILURE(up(LOCK));
    const Bytes req = encode_bus_frame(0x08, 0x06, 0xF403, {});
    const Bytes want = encode_bus_frame(0x06, 0x08, 0xF403, B("0100"));
    uint8_t ans[kAnswerSize] = {};
    ASSERT_EQ(request_lock_com(req.data(), static_cast<int>(req.size()), 2, ans), 12);
    EXPECT_EQ(hex_of(ans, 12), H(want));
    EXPECT_EQ(wire(*box_, LOCK, "RX"), std::vector<std::string>{H(req)});

    // The 100 ms request gives up on an answer 300 ms late; the 2 s one does not.
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 set answer_delay_ms 300"));
    EXPECT_EQ(request_lock_ms_data(req.data(), static_cast<int>(req.size()), 0, ans), 0);
    ASSERT_TRUE(wait_got(LOCK, 2));  // the late answer still comes, to nobody's request
    EXPECT_EQ(request_lock_com(req.data(), static_cast<int>(req.size()), 2, ans), 12);
    EXPECT_EQ(hex_of(ans, 12), H(want));

    ASSERT_TRUE(ctl(*box_, "ttyHSL1 set silent 1"));
    EXPECT_EQ(request_lock_com(req.data(), static_cast<int>(req.size()), 1, ans), 0);
}

TEST_F(Lines, LockLineDropsSpoiltFramesAndTakesTheNextGoodOne) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(LOCK));
    spoilt_frames_are_not_delivered(LOCK);
}

TEST_F(Lines, LockLineDropsAFrameSplitByThreeSecondsButNotByOne) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(LOCK));
    const Bytes split = encode_bus_frame(0x06, 0x08, 0x1234, B("556677"));
    for (size_t i = 5; i < split.size(); ++i) ASSERT_NE(split[i], 0x02) << "the tail must not start a frame";

    // One second between the halves is within the line's 2 s gap.
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 06 08 1234 556677 split=5,1000"));
    ASSERT_TRUE(wait_got(LOCK, 1));
    EXPECT_EQ(got(LOCK), std::vector<std::string>{H(split)});

    // Three seconds: the head is dropped, the tail is noise, the next frame arrives alone.
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 06 08 1234 556677 split=5,3000"));
    ASSERT_TRUE(poll_until([&] { return wire(*box_, LOCK, "TX").size() == 4; }, kWait));
    ASSERT_TRUE(ctl(*box_, "ttyHSL1 frame 07 06 f403 0100"));
    ASSERT_TRUE(wait_got(LOCK, 2));
    harness_sleep_ms(200);
    EXPECT_EQ(got(LOCK), (std::vector<std::string>{H(split), kKeyOn}));
}

// ---- ttyHSL2: main MCU and BLE bridge ---------------------------------------------

TEST_F(Lines, McuLineCarriesBusAndCaretFramesBothWays) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(MCU));
    const Bytes on = B(kKeyOn);
    const Bytes car = encode_caret_frame(0x30, B("5e 00 02"));
    EXPECT_EQ(write_data_to_bluetooth(on.data(), static_cast<int>(on.size())), 1);
    EXPECT_EQ(write_data_to_mcu(car.data(), static_cast<int>(car.size())), 1);
    EXPECT_TRUE(poll_until([&] { return wire(*box_, MCU, "RX").size() >= 2; }, kWait));
    EXPECT_EQ(wire(*box_, MCU, "RX"), (std::vector<std::string>{kKeyOn, H(car)}));

    const Bytes app = encode_bus_frame(0x06, 0x04, 0xF107, B("5e0002030203"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 frame 06 04 f107 5e0002030203"));
    ASSERT_TRUE(wait_got(MCU, 1));
    EXPECT_EQ(got(MCU), std::vector<std::string>{H(app)});
}

TEST_F(Lines, McuLineRequestAnsweredInTimeOrLateAfterTwoSeconds) {
    ASSERT_NO_FATAL_FAILURE(start("[ttyHSL2]\nanswer.f107 = 01 02 03\n"));
    ASSERT_NO_FATAL_FAILURE(up(MCU));
    const Bytes req = encode_bus_frame(0x07, 0x06, 0xF107, {});
    const Bytes want = encode_bus_frame(0x06, 0x07, 0xF107, B("010203"));
    uint8_t ans[kAnswerSize] = {};
    ASSERT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 13);
    EXPECT_EQ(hex_of(ans, 13), H(want));

    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set answer_delay_ms 2500"));
    memset(ans, 0, sizeof ans);
    EXPECT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 0);
    EXPECT_EQ(ans[0], 0) << "nothing copied on a timeout";
    ASSERT_TRUE(wait_got(MCU, 2)) << "devsim did answer, after the agent stopped waiting";
    EXPECT_EQ(got(MCU)[1], H(want));

    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set answer_delay_ms 1500"));
    EXPECT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 13);
}

TEST_F(Lines, McuLineCaretAnswerCompletesReadBluetoothData) {
    ASSERT_NO_FATAL_FAILURE(start("[ttyHSL2]\ncaret.21 = 0a0b\n"));
    ASSERT_NO_FATAL_FAILURE(up(MCU));
    const Bytes req = encode_caret_frame(0x21, {});
    const Bytes want = encode_caret_frame(0x21, B("0a0b"));
    uint8_t ans[kAnswerSize] = {};
    ASSERT_EQ(read_bluetooth_data(req.data(), static_cast<int>(req.size()), 0x21, ans), 8);
    EXPECT_EQ(hex_of(ans, 8), H(want));

    // An answer for another command does not complete it, nor does a spoilt one.
    EXPECT_EQ(read_bluetooth_data(req.data(), static_cast<int>(req.size()), 0x22, ans), 0);
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 set corrupt_crc 1"));
    EXPECT_EQ(read_bluetooth_data(req.data(), static_cast<int>(req.size()), 0x21, ans), 0);
    EXPECT_TRUE(got(MCU).empty()) << "caret frames are not for the BLE handler";
}

TEST_F(Lines, McuLineDropsSpoiltFramesAndTakesTheNextGoodOne) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(MCU));
    spoilt_frames_are_not_delivered(MCU);
}

// ---- ttyHSL3: factory and dealer tool -----------------------------------------------

TEST_F(Lines, FactoryLineCarriesFramesBothWaysAndAnswersArrive) {
    ASSERT_NO_FATAL_FAILURE(start("[ttyHSL3]\nanswer.0001 = 0102\n"));
    ASSERT_NO_FATAL_FAILURE(up(ECU));
    const Bytes req = encode_bus_frame(0x03, 0x06, 0x0001, {});
    ASSERT_EQ(write_data_to_ecu(req.data(), static_cast<int>(req.size())), 10);
    ASSERT_TRUE(wait_got(ECU, 1));
    EXPECT_EQ(got(ECU), std::vector<std::string>{H(encode_bus_frame(0x06, 0x03, 0x0001, B("0102")))});
    EXPECT_EQ(wire(*box_, ECU, "RX"), std::vector<std::string>{H(req)});

    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 f107 020303"));
    ASSERT_TRUE(wait_got(ECU, 2));
    EXPECT_EQ(got(ECU)[1], H(encode_bus_frame(0x06, 0x03, 0xF107, B("020303"))));
}

TEST_F(Lines, FactoryLineTakesSixteenBitLengthsUpToItsSlot) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(ECU));
    // 271 bytes: payload 0x0105, whose low byte alone would say 5.
    Bytes p271(261);
    for (size_t i = 0; i < p271.size(); ++i) p271[i] = static_cast<uint8_t>(i);
    const Bytes f271 = encode_bus_frame(0x06, 0x03, 0x0002, p271);
    ASSERT_EQ(f271.size(), 271u);
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0002 " + compact(p271)));
    ASSERT_TRUE(wait_got(ECU, 1));
    EXPECT_EQ(got(ECU), std::vector<std::string>{H(f271)});

    // 2100 bytes fill the slot exactly; 2101 do not and the frame after them still arrives.
    const Bytes p2090 = payload_free_of_start(0x06, 0x03, 0x0003, 2090, 7);
    const Bytes p2091 = payload_free_of_start(0x06, 0x03, 0x0004, 2091, 7);
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0003 " + compact(p2090)));
    ASSERT_TRUE(wait_got(ECU, 2));
    EXPECT_EQ(got(ECU)[1], H(encode_bus_frame(0x06, 0x03, 0x0003, p2090)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0004 " + compact(p2091)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0005 01"));
    ASSERT_TRUE(wait_got(ECU, 3));
    harness_sleep_ms(200);
    ASSERT_EQ(got(ECU).size(), 3u);
    EXPECT_EQ(got(ECU)[2], H(encode_bus_frame(0x06, 0x03, 0x0005, B("01"))));
}

TEST_F(Lines, FactoryLineDropsSpoiltFramesAndSlowBytes) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(up(ECU));
    spoilt_frames_are_not_delivered(ECU);

    // 150 ms between bytes is beyond the line's 100 ms gap; 20 ms is not.
    const Bytes f = encode_bus_frame(0x06, 0x03, 0x4455, B("66"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 4455 66 gap=150"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 4455 66 gap=20 delay=2000"));
    ASSERT_TRUE(wait_got(ECU, 2));
    harness_sleep_ms(200);
    ASSERT_EQ(got(ECU).size(), 2u) << "only the good frame and the quick one";
    EXPECT_EQ(got(ECU)[1], H(f));
}

TEST_F(Lines, FactoryDispatcherNamesShortFramesOnTheConsole) {
    ASSERT_NO_FATAL_FAILURE(start());
    // The real dispatcher prints to stdout: run the line in a child that captures it.
    Child child([] {
        if (init_factory_usart() != 1) _exit(3);
        printf("line up\n");
        fflush(stdout);
        sleep(20);
    });
    ASSERT_TRUE(child.wait_output("line up\n", kWait)) << child.output();
    // 255 bytes are past the console's limit, 254 are not.
    const Bytes p245(245, 0x11);
    const Bytes p244(244, 0x22);
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0abc " + compact(p245)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 0def " + compact(p244)));
    ASSERT_TRUE(ctl(*box_, "ttyHSL3 frame 06 03 f107 01"));
    EXPECT_TRUE(child.wait_output("[factory_mode] ## msg_id =f107 \r\n", kWait)) << child.output();
    const std::string out = child.output();
    EXPECT_NE(out.find("[factory_mode] ## msg_id =def \r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("msg_id =abc"), std::string::npos) << out;
}
