// The three serial lines over real pseudo-terminals: assembly, gaps, hostile
// input, pool exhaustion, request/response waits, hang-up and thread restart.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "cloud/orlin_handle.h"
#include "core/tavi_common.h"
#include "support/child.h"
#include "support/pty_peer.h"
#include "support/test_root.h"
#include "vehicle/frame_codec.h"
#include "vehicle/serial_line.h"
#include "vehicle/usart_ecu_handle.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

// Frames the dispatcher handed to the registered callback.
struct Collector {
    std::mutex m;
    std::condition_variable cv;
    std::vector<Bytes> frames;
    std::atomic<bool> hold{false};  // stalls the dispatcher while set

    void add(const uint8_t *f, int len) {
        while (hold.load()) std::this_thread::sleep_for(1ms);
        {
            std::lock_guard<std::mutex> g(m);
            frames.emplace_back(f, f + len);
        }
        cv.notify_all();
    }
    bool wait_count(size_t n, int ms) {
        std::unique_lock<std::mutex> g(m);
        return cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return frames.size() >= n; });
    }
    std::vector<Bytes> snapshot() {
        std::lock_guard<std::mutex> g(m);
        return frames;
    }
};

// Never destroyed: the line threads outlive the test body and may still be
// delivering while the process exits.
Collector &g_rx = *new Collector;

int collect(const unsigned char *f, int len) {
    g_rx.add(f, len);
    return 0;
}

// A handler rule for the request tests: answers carry ids 0xF1xx.
int collect_and_answer_lock(const unsigned char *f, int len) {
    if (frame_msg_id(f) >> 8 == 0xF1) lock_com_answer(f, len);
    g_rx.add(f, len);
    return 0;
}

int answer_mcu(const unsigned char *f, int len) {
    mcu_com_answer(f, len);
    g_rx.add(f, len);
    return 0;
}

SerialLineConfig cfg_of(SerialLine &l) { return l.config(); }

// Feeds bytes through the assembler of a line configuration and returns the
// frames it completes.
std::vector<Bytes> assemble(const SerialLineConfig &cfg, const Bytes &in) {
    std::vector<uint8_t> slot(cfg.slot_size + 64, 0xEE);  // guard bytes after the slot
    FrameAssembler st;
    std::vector<Bytes> out;
    for (uint8_t b : in) {
        if (assemble_byte(cfg, st, slot.data(), cfg.slot_size, b) == ASM_FRAME) {
            out.emplace_back(slot.begin(), slot.begin() + static_cast<long>(st.idx));
            st.reset();
        }
    }
    for (size_t i = cfg.slot_size; i < slot.size(); ++i) EXPECT_EQ(slot[i], 0xEE) << "written past the slot";
    return out;
}

class LockLine : public ::testing::Test {
protected:
    void SetUp() override {
        peer = std::make_unique<PtyPeer>(root.path(), "ttyHSL1");
        hostcore_GD32_recv_register(collect);
        ASSERT_EQ(init_lock_usart(), 1);
    }
    TestRoot root;
    std::unique_ptr<PtyPeer> peer;
};

}  // namespace

TEST_F(LockLine, PayloadWithStartAndEndBytesArrivesIntact) {
    Bytes f = bus_frame(0x06, 0x01, 0x1020, {0x02, 0x03, 0x02, 0x03, 0x00, 0x03});
    peer->send({0x55, 0xAA, 0x03});  // line noise before the frame
    peer->send(f);
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    EXPECT_EQ(g_rx.snapshot()[0], f);
}

TEST_F(LockLine, SplitAndSlowFramesStillArrive) {
    Bytes f = bus_frame(0x06, 0x05, 0x3001, Bytes(40, 0x11));
    peer->send(Bytes(f.begin(), f.begin() + 3));
    std::this_thread::sleep_for(1500ms);  // under the 2 s gap
    peer->send(Bytes(f.begin() + 3, f.end()), 5);
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    EXPECT_EQ(g_rx.snapshot()[0], f);
}

TEST_F(LockLine, ThreeSecondPauseDropsThePartialFrame) {
    Bytes first = bus_frame(0x06, 0x01, 0x1111, {1, 2, 3});
    Bytes good = bus_frame(0x06, 0x01, 0x2222, {4, 5, 6});
    peer->send(Bytes(first.begin(), first.begin() + 4));
    std::this_thread::sleep_for(3000ms);
    peer->send(good);
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    std::this_thread::sleep_for(200ms);
    auto got = g_rx.snapshot();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], good);
}

TEST_F(LockLine, HostileInputIsSurvivedAndTheLineRecovers) {
    Bytes good = bus_frame(0x06, 0x01, 0x4444, {0x10, 0x20});
    Bytes lying = {0x02, 0x06, 0x01, 0x44, 0x44, 0xC8, 0x00, 0x00};  // says 200 bytes, has none
    Bytes flood(600, 0x02);
    Bytes noise;
    for (int i = 0; i < 500; ++i) noise.push_back(static_cast<uint8_t>((i * 37) & 0xFF) | 0x80);
    peer->send(lying);
    peer->send(flood);
    peer->send(noise);
    std::this_thread::sleep_for(2200ms);  // let any half-built frame time out
    for (int i = 0; i < 3; ++i) peer->send(good);
    ASSERT_TRUE(g_rx.wait_count(3, 4000));
    for (auto &f : g_rx.snapshot()) EXPECT_EQ(f, good);
}

TEST_F(LockLine, ExhaustedPoolLosesNothingTheKernelStillHolds) {
    g_rx.hold = true;  // the dispatcher stalls on the first frame
    std::vector<Bytes> sent;
    for (int i = 0; i < 100; ++i) {
        sent.push_back(bus_frame(0x06, 0x01, static_cast<uint16_t>(0x5000 + i), {static_cast<uint8_t>(i)}));
        peer->send(sent.back());
    }
    auto used = [] {
        int n = 0;
        for (size_t i = 0; i < lock_line().pool().slots(); ++i) n += lock_line().pool().state(i) != 0;
        return n;
    };
    for (int i = 0; i < 300 && used() < 64; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(used(), 64);  // every slot taken, none beyond
    g_rx.hold = false;
    ASSERT_TRUE(g_rx.wait_count(100, 5000));
    EXPECT_EQ(g_rx.snapshot(), sent);  // all of them, in arrival order
}

TEST_F(LockLine, PeerThatVanishesAndComesBack) {
    peer->hang_up();
    std::this_thread::sleep_for(800ms);
    peer->reconnect();
    Bytes good = bus_frame(0x06, 0x01, 0x6666, {7});
    // The line reopens within a second or so; keep offering the frame.
    for (int i = 0; i < 40 && !g_rx.wait_count(1, 100); ++i) peer->send(good);
    ASSERT_TRUE(g_rx.wait_count(1, 2000));
    EXPECT_EQ(g_rx.snapshot()[0], good);
    EXPECT_GT(lock_write_com(good.data(), static_cast<int>(good.size())), 0);
}

TEST_F(LockLine, WritesGoOutWholeAndPollingThreadStopsOnRequest) {
    Bytes f = bus_frame(0x01, 0x06, 0xF105, {1});
    EXPECT_EQ(write_data_to_GD(f.data(), static_cast<int>(f.size())), static_cast<int>(f.size()));
    Bytes got;
    ASSERT_TRUE(peer->read_frame(got, 2000));
    EXPECT_EQ(got, f);
    com_uart_read_thread_destroy();
    EXPECT_FALSE(lock_line().poll_thread.running());
    com_uart_read_thread_create();
    EXPECT_TRUE(lock_line().poll_thread.running());
}

TEST(LockLineRequests, TwoRequestersWhileFramesStreamIn) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL1");
    hostcore_GD32_recv_register(collect_and_answer_lock);
    ASSERT_EQ(init_lock_usart(), 1);

    std::atomic<bool> done{false};
    std::atomic<int> broadcasts{0};
    // The bike side: answers every request with its id and a running number,
    // while a display broadcast streams in between.
    std::thread bike([&] {
        uint8_t n = 0;
        Bytes req;
        while (!done) {
            if (peer.read_frame(req, 20)) {
                uint16_t id = frame_msg_id(req.data());
                peer.send(bus_frame(req[2], req[1], id, {static_cast<uint8_t>(id & 0xFF), n++}));
            }
            peer.send(bus_frame(0x06, 0x03, 0x3050, {0xAB, 0xCD}));
            ++broadcasts;
        }
    });
    auto requester = [](uint16_t id, int count, std::atomic<int> &ok) {
        Bytes req = bus_frame(0x01, 0x06, id, {});
        for (int i = 0; i < count; ++i) {
            uint8_t ans[256] = {0};
            int n = request_lock_com(req.data(), static_cast<int>(req.size()), 2, ans);
            if (n == 12 && frame_msg_id(ans) == id && ans[7] == (id & 0xFF) && check_orlin_msg_valid(ans, n)) ++ok;
        }
    };
    std::atomic<int> ok_a{0}, ok_b{0};
    std::thread a(requester, 0xF101, 40, std::ref(ok_a));
    std::thread b(requester, 0xF102, 40, std::ref(ok_b));
    a.join();
    b.join();
    done = true;
    bike.join();
    EXPECT_EQ(ok_a.load(), 40);
    EXPECT_EQ(ok_b.load(), 40);
    // Every broadcast reached the dispatcher as well.
    ASSERT_TRUE(g_rx.wait_count(static_cast<size_t>(80 + broadcasts.load()), 5000));
    int seen = 0;
    for (auto &f : g_rx.snapshot()) seen += frame_msg_id(f.data()) == 0x3050;
    EXPECT_EQ(seen, broadcasts.load());
}

TEST(LockLineRequests, MissingBuffersAndTimeouts) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL1");
    hostcore_GD32_recv_register(collect_and_answer_lock);
    ASSERT_EQ(init_lock_usart(), 1);
    uint8_t ans[256];
    Bytes req = bus_frame(0x01, 0x06, 0xF103, {});
    EXPECT_EQ(request_lock_com(nullptr, 10, 1, ans), 0);
    EXPECT_EQ(request_lock_com(req.data(), 10, 1, nullptr), 0);
    // Nobody answers: 0 after the wait, and the tag is clear again.
    EXPECT_EQ(request_lock_ms_data(req.data(), 10, 0, ans), 0);
    EXPECT_EQ(lock_com_pending(), 0);
    // An answer nobody waits for is not stored for a later request.
    peer.send(bus_frame(0x06, 0x01, 0xF103, {9}));
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    EXPECT_EQ(request_lock_ms_data(req.data(), 10, 0, ans), 0);
}

TEST(McuLine, AnswerTwoAndAHalfSecondsLateIsNotReturned) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(answer_mcu);
    ASSERT_EQ(init_mcu_usart(), 1);
    Bytes req = bus_frame(0x07, 0x06, 0xF413, {});
    Bytes late = bus_frame(0x06, 0x07, 0xF413, {1, 2, 3, 4});
    std::thread mcu([&] {
        Bytes r;
        if (peer.read_frame(r, 3000)) {
            std::this_thread::sleep_for(2500ms);
            peer.send(late);
        }
    });
    uint8_t ans[256] = {0};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1900ms);
    mcu.join();
    ASSERT_TRUE(g_rx.wait_count(1, 3000));  // it arrived, and went only to the handler
    // A prompt answer to the next request is returned in full.
    std::thread mcu2([&] {
        Bytes r;
        if (peer.read_frame(r, 3000)) peer.send(late);
    });
    EXPECT_EQ(request_mcu_data(req.data(), static_cast<int>(req.size()), 0, ans), 14);
    EXPECT_EQ(0, memcmp(ans, late.data(), late.size()));
    mcu2.join();
}

TEST(McuLine, CaretAnswersCompleteTheirTaggedRequest) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(collect);
    ASSERT_EQ(init_mcu_usart(), 1);
    uint8_t q[16], a[32];
    const uint8_t zeros[7] = {0};
    size_t qn = build_caret_frame(0x0A, zeros, 7, q, sizeof q);
    const uint8_t mac[7] = {0x01, 0xC0, 0xFF, 0xEE, 0x12, 0x34, 0x56};
    size_t an = build_caret_frame(0x0A, mac, 7, a, sizeof a);
    std::thread mcu([&] {
        Bytes r = peer.read_some(2000);
        if (!r.empty()) {
            // A bus frame first, then the caret answer split in two.
            peer.send(bus_frame(0x06, 0x07, 0xF404, {0x01}));
            peer.send(Bytes(a, a + 5));
            peer.send(Bytes(a + 5, a + an));
        }
    });
    uint8_t ans[256] = {0};
    int n = read_bluetooth_data(q, static_cast<int>(qn), 0x0A, ans);
    mcu.join();
    ASSERT_EQ(n, static_cast<int>(an));
    EXPECT_EQ(0, memcmp(ans, a, an));
    EXPECT_EQ(mcu_line().pending_tag(), 255);
    ASSERT_TRUE(g_rx.wait_count(1, 2000));
    EXPECT_EQ(frame_msg_id(g_rx.snapshot()[0].data()), 0xF404);
}

TEST(McuLine, FirmwareUpdateModeDropsFramesAndReceiveThreadRestarts) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(collect);
    ASSERT_EQ(init_mcu_usart(), 1);
    set_ota_mode(1);
    peer.send(bus_frame(0x06, 0x07, 0x0001, {1}));
    std::this_thread::sleep_for(300ms);
    set_ota_mode(0);
    ble_recv_thread_destroy();
    EXPECT_FALSE(mcu_line().recv_thread.running());
    Bytes f = bus_frame(0x06, 0x07, 0x0002, {2});
    peer.send(f);  // waits in the kernel while nobody reads
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(g_rx.snapshot().empty());
    ble_recv_thread_create();
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    EXPECT_EQ(g_rx.snapshot()[0], f);
    // The dispatcher frees the slot right after the callback returns.
    auto ready_slots = [] {
        int n = 0;
        for (size_t i = 0; i < 64; ++i) n += mcu_line().pool().state(i) == 2;
        return n;
    };
    for (int i = 0; i < 100 && ready_slots() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(ready_slots(), 0);
}

TEST(McuLine, ClosedPortsThreadsNeverReadTheNextFileToGetItsNumber) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(collect);
    ASSERT_EQ(init_mcu_usart(), 1);
    // The MCU keeps talking (filler between frames), so the receive thread is
    // always somewhere between poll and read when the port is closed.
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        while (!stop.load()) peer.send(Bytes(64, 0x00));
    });
    int reused = 0, stolen = 0;
    for (int round = 0; round < 100; ++round) {
        const int old_fd = mcu_line().fd();
        CloseMCUCom();
        // What the bootloader's own open would do: take the lowest free number.
        int p[2];
        ASSERT_EQ(pipe(p), 0);
        if (p[0] == old_fd) ++reused;
        const uint8_t marker[8] = {0xA5, 1, 2, 3, 4, 5, 6, 7};
        ASSERT_EQ(write(p[1], marker, sizeof marker), static_cast<ssize_t>(sizeof marker));
        std::this_thread::sleep_for(2ms);
        int avail = 0;
        ASSERT_EQ(ioctl(p[0], FIONREAD, &avail), 0);
        if (avail != static_cast<int>(sizeof marker)) ++stolen;
        EXPECT_FALSE(mcu_line().recv_thread.running());
        EXPECT_FALSE(mcu_line().dispatch_thread.running());
        EXPECT_FALSE(mcu_line().poll_thread.running());
        // Unblocks a thread that might be sitting in a read of the pipe.
        ssize_t more = write(p[1], marker, sizeof marker);
        (void)more;
        close(p[1]);
        close(p[0]);
        ASSERT_EQ(OpenMCUCom(), 1);
    }
    stop = true;
    chatter.join();
    EXPECT_GT(reused, 70) << "the pipe rarely got the port's number; the test proves little";
    EXPECT_EQ(stolen, 0) << "bytes of the next file were read by the closed port's threads";
    // Opened again, the line works as before: its threads are back.
    EXPECT_TRUE(mcu_line().recv_thread.running());
    EXPECT_TRUE(mcu_line().dispatch_thread.running());
    EXPECT_TRUE(mcu_line().poll_thread.running());
    Bytes f = bus_frame(0x06, 0x07, 0x0003, {3});
    peer.send(f);
    ASSERT_TRUE(g_rx.wait_count(1, 3000));
    EXPECT_EQ(g_rx.snapshot().back(), f);
}

TEST(McuLine, ByteReaderTakesABurstInOneReadAndServesItInOrder) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(collect);
    ASSERT_EQ(init_mcu_usart(), 1);
    ble_recv_thread_destroy();  // the reader below is the only one
    ble_read_thread_destroy();
    Bytes burst;
    for (int i = 0; i < 40; ++i) burst.push_back(static_cast<uint8_t>(0x30 + i));
    peer.send(burst);
    std::this_thread::sleep_for(50ms);
    uint8_t b = 0;
    ASSERT_EQ(read_com_byte(&b, 1), 1);
    EXPECT_EQ(b, 0x30);
    // The rest came in with that one read: nothing is left in the kernel.
    int queued = -1;
    ASSERT_EQ(ioctl(mcu_line().fd(), FIONREAD, &queued), 0);
    EXPECT_EQ(queued, 0);
    // Served one by one, in order, each at once; then the wait applies again.
    for (int i = 1; i < 40; ++i) {
        ASSERT_EQ(read_com_byte(&b, 1), 1);
        EXPECT_EQ(b, 0x30 + i);
    }
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read_com_byte(&b, 1), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 900ms);
    // Bytes read before a close are not served after the port opens again.
    peer.send({0xA1, 0xA2, 0xA3});
    std::this_thread::sleep_for(50ms);
    ASSERT_EQ(read_com_byte(&b, 1), 1);
    EXPECT_EQ(b, 0xA1);
    CloseMCUCom();
    ASSERT_EQ(OpenMCUCom(), 1);
    ble_recv_thread_destroy();
    ble_read_thread_destroy();
    peer.send({0xB1});
    ASSERT_EQ(read_com_byte(&b, 1), 1);
    EXPECT_EQ(b, 0xB1);
    // With the receive thread back, frames split across reads still assemble.
    ble_recv_thread_create();
    Bytes f1 = bus_frame(0x06, 0x07, 0x0011, {1, 2, 3});
    Bytes f2 = bus_frame(0x06, 0x07, 0x0012, {4});
    Bytes two = f1;
    two.insert(two.end(), f2.begin(), f2.end());
    peer.send(Bytes(two.begin(), two.begin() + 5));
    std::this_thread::sleep_for(100ms);
    peer.send(Bytes(two.begin() + 5, two.end()));
    ASSERT_TRUE(g_rx.wait_count(2, 3000));
    EXPECT_EQ(g_rx.snapshot()[0], f1);
    EXPECT_EQ(g_rx.snapshot()[1], f2);
}

TEST(McuLine, MissingDeviceStartsNothing) {
    TestRoot root;
    ChildResult r = run_child([] { _exit(init_mcu_usart() == 0 && !mcu_line().recv_thread.running() ? 0 : 1); });
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("/init_mcu_usart open com failed.\n"), std::string::npos) << r.out;
    EXPECT_EQ(write_com(reinterpret_cast<const uint8_t *>("x"), 1), 0);
}

// The lines run what the links above them hand down, and nothing before that.
std::atomic<int> g_init_calls{0};

void poll_lock_marker() {
    const Bytes m = bus_frame(0x01, 0x06, 0x0ABC, {});
    write_data_to_GD(m.data(), static_cast<int>(m.size()));
    line_sleep_ms(300);
}

void poll_mcu_marker() {
    const Bytes m = bus_frame(0x07, 0x06, 0x0DEF, {});
    write_com(m.data(), static_cast<int>(m.size()));
    line_sleep_ms(300);
}

void caret_seen(const unsigned char *f, int len) { g_rx.add(f, len); }

void mcu_line_init() { g_init_calls.fetch_add(1); }

TEST(LineHooks, PollingIdlesUntilTheLinkHandsDownItsCycle) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL1");
    hostcore_GD32_recv_register(collect);
    ASSERT_EQ(init_lock_usart(), 1);
    Bytes got;
    EXPECT_FALSE(peer.read_frame(got, 1500)) << "a polling thread with no cycle sent something";
    EXPECT_TRUE(lock_line().poll_thread.running());
    lock_line_poll_register(poll_lock_marker);
    ASSERT_TRUE(peer.read_frame(got, 2500));
    EXPECT_EQ(got, bus_frame(0x01, 0x06, 0x0ABC, {}));
    // Stopped and started again around an update, it runs the same cycle.
    com_uart_read_thread_destroy();
    while (peer.read_frame(got, 400)) {}
    com_uart_read_thread_create();
    ASSERT_TRUE(peer.read_frame(got, 2500));
    EXPECT_EQ(got, bus_frame(0x01, 0x06, 0x0ABC, {}));
}

TEST(LineHooks, McuLineHandsCaretFramesAndItsStartToTheLink) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL2");
    hostcore_bluetooth_recv_register(collect);
    static const mcu_line_hooks_t hooks = {poll_mcu_marker, caret_seen, mcu_line_init};
    mcu_line_hooks_register(&hooks);
    ASSERT_EQ(init_mcu_usart(), 1);
    EXPECT_EQ(g_init_calls.load(), 1);
    Bytes got;
    ASSERT_TRUE(peer.read_frame(got, 2500));
    EXPECT_EQ(got, bus_frame(0x07, 0x06, 0x0DEF, {}));
    // A caret frame goes to the link's hook; a bus frame to the receive callback.
    uint8_t c[32];
    const uint8_t data[3] = {1, 2, 3};
    const size_t cn = build_caret_frame(0x0B, data, sizeof data, c, sizeof c);
    peer.send(Bytes(c, c + cn));
    const Bytes bus = bus_frame(0x06, 0x07, 0xF402, {5});
    peer.send(bus);
    ASSERT_TRUE(g_rx.wait_count(2, 3000));
    const std::vector<Bytes> rx = g_rx.snapshot();
    EXPECT_EQ(rx[0], Bytes(c, c + cn));
    EXPECT_EQ(rx[1], bus);
}

TEST(FactoryLine, SixteenBitLengthVersusLowByteLines) {
    Bytes payload(0x0105, 0x00);
    Bytes big = bus_frame(0x06, 0x09, 0xF40C, payload);  // 271 bytes
    ASSERT_EQ(big.size(), 271u);
    Bytes good = bus_frame(0x06, 0x01, 0x0101, {1});
    Bytes stream = big;
    stream.insert(stream.end(), good.begin(), good.end());

    SerialLine &lock = lock_line();
    SerialLine &ecu = ecu_line();
    testing::internal::CaptureStdout();
    auto on_lock = assemble(cfg_of(lock), stream);
    auto on_ecu = assemble(cfg_of(ecu), stream);
    std::string out = testing::internal::GetCapturedStdout();
    // Lock line: the length is read as 0x05, the 15-byte "frame" fails, the
    // next good frame still arrives.
    ASSERT_EQ(on_lock.size(), 1u);
    EXPECT_EQ(on_lock[0], good);
    EXPECT_NE(out.find("test_lock_com_recv check_error"), std::string::npos) << out;
    // Factory line: read in full.
    ASSERT_EQ(on_ecu.size(), 2u);
    EXPECT_EQ(on_ecu[0], big);
    EXPECT_EQ(on_ecu[1], good);
}

TEST(FactoryLine, FramesLongerThanTheSlotAreDroppedNotStored) {
    SerialLine &lock = lock_line();
    SerialLine &ecu = ecu_line();
    Bytes good = bus_frame(0x06, 0x01, 0x0101, {1});
    Bytes over_lock = bus_frame(0x06, 0x01, 0x0102, Bytes(247, 0x00));  // 257 > 256
    Bytes fits_lock = bus_frame(0x06, 0x01, 0x0103, Bytes(246, 0x00));  // exactly 256
    Bytes over_ecu = bus_frame(0x06, 0x01, 0x0104, Bytes(2091, 0x00));  // 2101 > 2100
    testing::internal::CaptureStdout();
    Bytes s1 = over_lock;
    s1.insert(s1.end(), fits_lock.begin(), fits_lock.end());
    s1.insert(s1.end(), good.begin(), good.end());
    auto got = assemble(cfg_of(lock), s1);
    Bytes s2 = over_ecu;
    s2.insert(s2.end(), good.begin(), good.end());
    auto got2 = assemble(cfg_of(ecu), s2);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], fits_lock);
    EXPECT_EQ(got[1], good);
    ASSERT_EQ(got2.size(), 1u);
    EXPECT_EQ(got2[0], good);
    EXPECT_NE(out.find("frame of 257 bytes exceeds the 256-byte slot"), std::string::npos) << out;
}

TEST(FactoryLine, FramesTravelBothWaysAtFullSpeed) {
    TestRoot root;
    PtyPeer peer(root.path(), "ttyHSL3");
    Child c([] {
        if (init_factory_usart() != 1) _exit(2);
        Bytes hello = bus_frame(0x09, 0x06, 0xF001, {0x55});
        write_data_to_ecu(hello.data(), static_cast<int>(hello.size()));
        for (;;) pause();
    });
    Bytes got;
    ASSERT_TRUE(peer.read_frame(got, 3000));
    EXPECT_EQ(got, bus_frame(0x09, 0x06, 0xF001, {0x55}));
    peer.send(bus_frame(0x06, 0x09, 0xF10C, {1, 2}));
    EXPECT_TRUE(c.wait_output("[factory_mode] ## msg_id =f10c \r\n", 3000)) << c.output();
    // A 100 ms gap on this line drops the partial frame.
    Bytes f = bus_frame(0x06, 0x09, 0xF10D, {3});
    peer.send(Bytes(f.begin(), f.begin() + 5));
    std::this_thread::sleep_for(300ms);
    peer.send(Bytes(f.begin() + 5, f.end()));
    peer.send(bus_frame(0x06, 0x09, 0xF10E, {4}));
    EXPECT_TRUE(c.wait_output("msg_id =f10e", 3000));
    EXPECT_EQ(c.output().find("msg_id =f10d"), std::string::npos);
}
