// The boot-switch port on its own, against a pseudo-terminal: the receiver
// ends before its descriptor closes, answers complete after a second of
// silence, late and missing answers, and the receive buffer's bound.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dfu/switch_mcu_handle.h"
#include "platform/plat_clock.h"
#include "support/pty_peer.h"
#include "support/test_root.h"

using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

namespace {

// Answers `answer` once the request has arrived, after `delay`.
std::thread answer_after(PtyPeer &mcu, Bytes want, Bytes answer, std::chrono::milliseconds delay) {
    return std::thread([&mcu, want, answer, delay] {
        Bytes got;
        auto end = std::chrono::steady_clock::now() + 3s;
        while (got.size() < want.size() && std::chrono::steady_clock::now() < end) {
            Bytes b = mcu.read_some(100);
            got.insert(got.end(), b.begin(), b.end());
        }
        if (got != want) return;
        std::this_thread::sleep_for(delay);
        mcu.send(answer);
    });
}

}  // namespace

TEST(BootSwitch, ReceiverEndsBeforeItsDescriptorIsReused) {
    TestRoot root;
    root.mkdirs("/dev");
    PtyPeer mcu(root.path(), "ttyHSL2");
    ASSERT_EQ(OpenDfuCom(38400), 1);
    ASSERT_EQ(start_dfu_uart_recv(), 1);
    EXPECT_EQ(start_dfu_uart_recv(), 0);  // one receiver per opening
    testing::internal::CaptureStdout();
    const auto t0 = std::chrono::steady_clock::now();
    CloseDfuCom();
    // The receiver was woken, not left to its 1-second wait, and has ended.
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("break exit"), std::string::npos);

    // The numbers just freed go to a pipe, and the MCU sends meanwhile: a
    // receiver still polling the old port would wake and read the pipe.
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "\x42", 1), 1);
    mcu.send({0x01});
    std::this_thread::sleep_for(1200ms);
    char c = 0;
    EXPECT_EQ(read(p[0], &c, 1), 1);
    EXPECT_EQ(c, 0x42);
    close(p[0]);
    close(p[1]);
    EXPECT_EQ(read_dfu_byte(reinterpret_cast<uint8_t *>(&c), 0), 0);  // port closed
    EXPECT_EQ(write_dfucom(reinterpret_cast<const uint8_t *>("x"), 1), 0);
}

TEST(BootSwitch, AnswersCompleteAfterSilenceAndLateOnesAreLost) {
    TestRoot root;
    root.mkdirs("/dev");
    PtyPeer mcu(root.path(), "ttyHSL2");
    ASSERT_EQ(OpenDfuCom(38400), 1);
    ASSERT_EQ(start_dfu_uart_recv(), 1);
    const Bytes version = {0x5E, 0x00, 0x07, 0x20, 0x01, 0x0C, 0xC0};

    // An answer in two pieces 300 ms apart is still one answer.
    std::thread t = std::thread([&] {
        Bytes got = mcu.read_some(1500);
        if (got != version) return;
        mcu.send({0x5E, 0x00, 0x09});
        std::this_thread::sleep_for(300ms);
        mcu.send({0xB0, 0x01, 0x02, 0x03, 0x11, 0x22});
    });
    EXPECT_EQ(check_mcu_app_version(), 1);
    t.join();

    // A wrong command byte is refused; so is an answer later than 2 s.
    t = answer_after(mcu, version, {0x5E, 0x00, 0x07, 0xB1, 0x01, 0x00, 0x00}, 0ms);
    EXPECT_EQ(check_mcu_app_version(), 0);
    t.join();
    testing::internal::CaptureStdout();
    t = answer_after(mcu, version, {0x5E, 0x00, 0x07, 0xB0, 0x01, 0x00, 0x00}, 2500ms);
    EXPECT_EQ(check_mcu_app_version(), 0);
    t.join();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("wait cond faild"), std::string::npos);
    std::this_thread::sleep_for(1200ms);  // let the late answer's signal pass

    // The bootloader's ping answer 60 09 01 01 is accepted on its byte 1.
    t = answer_after(mcu, {0x09, 0x01, 0xC0}, {0x60, 0x09, 0x01, 0x01, 0xC0}, 0ms);
    EXPECT_EQ(check_mcu_boot_mode(), 1);
    t.join();

    // A flood longer than the 64-byte buffer stays inside it.
    uint8_t ans[kDfuRecvBufSize + 8];
    std::fill(std::begin(ans), std::end(ans), 0xEE);
    t = answer_after(mcu, {0x0C, 0xC0}, Bytes(300, 0x55), 0ms);
    const uint8_t abort_req[] = {0x0C, 0xC0};
    int n = request_dfu_data(abort_req, 2, ans);
    t.join();
    EXPECT_GT(n, 0);
    EXPECT_LT(n, kDfuRecvBufSize);
    for (size_t i = kDfuRecvBufSize; i < sizeof ans; ++i) EXPECT_EQ(ans[i], 0xEE);

    testing::internal::CaptureStdout();
    EXPECT_EQ(request_dfu_data(nullptr, 2, ans), 0);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("data is NULL."), std::string::npos);
    CloseDfuCom();
}

TEST(BootSwitch, NoPortMeansNoSwitchAndAnError) {
    TestRoot root;
    plat_clock_fake(1700000000);  // the switch's sleeps pass at once
    testing::internal::CaptureStdout();
    EXPECT_EQ(switch_mcu_to_boot(), 0);
    EXPECT_EQ(uart_mcu_update("ttyHSL2", "/iot/conf/pkg.zip"), 1);
    EXPECT_EQ(uart_mcu_update(nullptr, "/iot/conf/pkg.zip"), 1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("open com failed."), std::string::npos);
    EXPECT_NE(out.find("switch_mcu_to_boot try 2."), std::string::npos);
    EXPECT_NE(out.find("___ err_code:1 _____"), std::string::npos);
}
