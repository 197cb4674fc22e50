// The main MCU's firmware update, run in this process against devsim's MCU on
// a real pseudo-terminal: the boot switch (caret frames), the Secure DFU
// transfer over SLIP, resuming after a break, the target's refusals, and the
// watchdog frames on the MCU line.  Images arrive in var/devsim/nrf_<kind>.bin
// as the simulated bootloader executed them; its CRCs are its own.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"
#include "core/frame_link.h"
#include "dfu/dfu.h"
#include "dfu/dfu_serial.h"
#include "dfu/switch_mcu_handle.h"
#include "dfu/uart_slip.h"
#include "mcu/dfu_boot.h"
#include "platform/plat_clock.h"
#include "support/dfu_package.h"
#include "telagent/iotsdk.h"
#include "vehicle/mcu_watchdog.h"
#include "vehicle/usart_mcu_handle.h"
#include "vehicle/lock_link.h"

namespace {

constexpr int kWait = 5000;
const char *kPkg = "/iot/conf/nrf_pkg.zip";

struct WireLine {
    int64_t ms = 0;
    std::string dir;
    std::string hex;
};

std::vector<WireLine> wire(const Box &box) {
    std::istringstream in(box.file("/var/devsim/ttyHSL2.log"));
    std::vector<WireLine> out;
    std::string l;
    while (std::getline(in, l)) {
        std::istringstream ls(l);
        WireLine w;
        std::string port;
        ls >> w.ms >> port >> w.dir;
        if (w.dir == "RX-BAD") {
            std::string why;
            ls >> why;
            w.dir += " " + why;
        }
        std::getline(ls, w.hex);
        if (!w.hex.empty() && w.hex[0] == ' ') w.hex.erase(0, 1);
        out.push_back(w);
    }
    return out;
}

// RX packets whose hex starts with `prefix`.
std::vector<WireLine> rx_starting(const Box &box, const std::string &prefix) {
    std::vector<WireLine> out;
    for (const WireLine &w : wire(box))
        if (w.dir == "RX" && w.hex.rfind(prefix, 0) == 0) out.push_back(w);
    return out;
}

std::string hex_text(const std::string &s) {
    return hex_of(reinterpret_cast<const uint8_t *>(s.data()), s.size());
}

::testing::AssertionResult ctl(const Box &box, const std::string &line) {
    const std::string log = box.path("/var/devsim/control.log");
    const std::string ok = line + " -> ok\n";
    const size_t before = count_of(read_text(log), ok);
    int fd = open(box.path("/var/devsim/control").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return ::testing::AssertionFailure() << "no control FIFO";
    const std::string text = line + "\n";
    ssize_t w = write(fd, text.data(), text.size());
    close(fd);
    if (w != static_cast<ssize_t>(text.size())) return ::testing::AssertionFailure() << "short write";
    if (!poll_until([&] { return count_of(read_text(log), ok) > before; }, kWait))
        return ::testing::AssertionFailure() << line << ": " << read_text(log);
    return ::testing::AssertionSuccess();
}

class McuDfu : public ::testing::Test {
protected:
    // `knobs`: lines for devsim's [ttyHSL2] section.  The agent's sleeps run
    // on the fake clock unless `real_clock`.
    void start(const std::string &knobs = "", bool real_clock = false) {
        BoxOptions o;
        o.start_host = false;
        o.scenario = "[ttyHSL2]\n" + knobs;
        box_ = std::make_unique<Box>(o);
        ASSERT_TRUE(box_->ok()) << box_->error();
        setenv("TELAGENT_ROOT", box_->root().c_str(), 1);
        ASSERT_EQ(system(("mkdir -p " + box_->path("/iot/conf")).c_str()), 0);
        if (!real_clock) plat_clock_fake(1700000000);
    }
    // An application-only package of `size` bytes; returns the image.
    std::vector<uint8_t> app_package(size_t size, uint32_t seed = 1) {
        std::vector<uint8_t> img = dfu_test_image(size, seed);
        EXPECT_TRUE(write_dfu_package(box_->path(kPkg), dfu_manifest_json({{"application", "app"}}),
                                      {{"app.dat", dfu_init_packet("application", size)}, {"app.bin", img}}));
        return img;
    }
    std::string image(const std::string &kind) const { return box_->file("/var/devsim/nrf_" + kind + ".bin"); }
    // Byte-exact, with a short report instead of two images on the console.
    static ::testing::AssertionResult same(const std::string &got, const std::vector<uint8_t> &want) {
        if (got.size() == want.size() && memcmp(got.data(), want.data(), want.size()) == 0)
            return ::testing::AssertionSuccess();
        size_t i = 0;
        while (i < got.size() && i < want.size() && static_cast<uint8_t>(got[i]) == want[i]) ++i;
        return ::testing::AssertionFailure() << "image of " << got.size() << " bytes, expected " << want.size()
                                             << ", first difference at " << i;
    }
    bool devsim_says(const std::string &text) const {
        return poll_until([&] { return read_text(box_->path("/var/devsim.out")).find(text) != std::string::npos; },
                          kWait);
    }
    // Write packets that carried firmware or init bytes.
    size_t writes() const { return rx_starting(*box_, "08").size(); }

    std::unique_ptr<Box> box_;
};

}  // namespace

// ---- The whole exchange ------------------------------------------------------

TEST_F(McuDfu, UpdatesTheApplicationByteExactWithNoWastedRoundTrips) {
    ASSERT_NO_FATAL_FAILURE(start());
    // The MCU line is up with its threads, as on the box: the switch takes it over.
    vehicle_link_attach();
    ASSERT_EQ(init_mcu_usart(), 1);
    const auto img = app_package(10000);  // 4096 + 4096 + 1808
    dfu_serial_clear_round_trips();
    testing::internal::CaptureStdout();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("switch_mcu_to_boot success."), std::string::npos) << out;
    EXPECT_NE(out.find("___ err_code:0 _____"), std::string::npos) << out;
    EXPECT_TRUE(same(image("application"), img));
    EXPECT_TRUE(devsim_says("application image complete, 10000 bytes"));

    // Open (ping, receipts, MTU) 3 + init packet (select, create, CRC, execute)
    // 4 + firmware select 1 + per object (create, CRC, execute) 3 x 3.
    EXPECT_EQ(dfu_serial_round_trips(), 17u);
    // The boot switch's frames, as the MCU saw them.
    EXPECT_EQ(rx_starting(*box_, "5e 00 07 20 01 0c c0").size(), 1u);
    EXPECT_EQ(rx_starting(*box_, "5e 00 07 54 01 0c e7").size(), 1u);
    // The bootloader check, then the session's own ping (its first id is 1 too).
    EXPECT_EQ(rx_starting(*box_, "09 01").size(), 2u);
    EXPECT_EQ(get_mcu_dfu_uart_status(), 1);              // the link stays handed over
    // 64-byte chunks at the default MTU of 131: 157 writes for the image, 1 for the init packet.
    EXPECT_EQ(writes(), 158u);

    // The line comes back to the MCU link on request and carries frames again.
    ASSERT_EQ(mcu_line_take_back(), 1);
    EXPECT_EQ(get_mcu_dfu_uart_status(), 0);
    uint8_t ping[kMcuPingFrameLen];
    mcu_ping_frame(0xFF, 60, ping);
    EXPECT_EQ(write_com(ping, sizeof ping), static_cast<int>(sizeof ping));
    EXPECT_TRUE(poll_until([&] { return box_->file("/var/devsim/mcu_watchdog").find("feeds=1") != std::string::npos; },
                           kWait));
}

TEST_F(McuDfu, SendsSoftDeviceBootloaderFirstThenPausesBeforeTheApplication) {
    ASSERT_NO_FATAL_FAILURE(start("", true));  // the pause is real here
    const auto sb = dfu_test_image(5000, 7), app = dfu_test_image(3000, 8);
    // The application comes first in the manifest; the send order does not follow it.
    ASSERT_TRUE(write_dfu_package(box_->path(kPkg),
                                  dfu_manifest_json({{"application", "app"}, {"softdevice_bootloader", "sdbl"}}),
                                  {{"app.dat", dfu_init_packet("application", app.size())},
                                   {"app.bin", app},
                                   {"sdbl.dat", dfu_init_packet("softdevice_bootloader", sb.size())},
                                   {"sdbl.bin", sb}}));
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    EXPECT_TRUE(same(image("softdevice_bootloader"), sb));
    EXPECT_TRUE(same(image("application"), app));

    const auto inits = rx_starting(*box_, "08 69 6e 69 74");  // "init ..."
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_NE(inits[0].hex.find(hex_text("softdevice_bootloader")), std::string::npos);
    EXPECT_NE(inits[1].hex.find(hex_text("application")), std::string::npos);
    // The second image's session opens (its ping) at least 5 s after the
    // first image's last execute: walk back from the application's init packet.
    const auto all = wire(*box_);
    size_t i = all.size();
    while (i > 0 && !(all[i - 1].dir == "RX" && all[i - 1].hex == inits[1].hex)) --i;
    ASSERT_GT(i, 0u);
    int64_t ping_ms = -1, exec_ms = -1;
    for (size_t j = i; j-- > 0;) {
        if (all[j].dir != "RX") continue;
        if (ping_ms < 0 && all[j].hex.rfind("09 ", 0) == 0) ping_ms = all[j].ms;
        if (ping_ms >= 0 && all[j].hex == "04") {
            exec_ms = all[j].ms;
            break;
        }
    }
    ASSERT_GE(ping_ms, 0);
    ASSERT_GE(exec_ms, 0);
    EXPECT_GE(ping_ms - exec_ms, 5000);
}

TEST_F(McuDfu, TheSharedLibraryExportsTheUpdateTheHostCalls) {
    // As the host does: the entry looked up by name in libTelAgent.so.
    ASSERT_NO_FATAL_FAILURE(start("", true));
    const auto img = app_package(3000, 4);
    void *lib = dlopen(TELAGENT_LIB_FILE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto update = reinterpret_cast<int (*)(const char *, const char *)>(dlsym(lib, "uart_mcu_update"));
    ASSERT_NE(update, nullptr);
    EXPECT_EQ(update("ttyHSL2", kPkg), 0);
    EXPECT_TRUE(same(image("application"), img));
    // The library's internals stay hidden.
    EXPECT_EQ(dlsym(lib, "dfu_send_package"), nullptr);
    EXPECT_EQ(dlsym(lib, "switch_mcu_to_boot"), nullptr);
}

TEST_F(McuDfu, ThroughTheHostTheLineComesBackAndThePhoneAppIsServedAgain) {
    // The real host and agent: the update from the host's control channel
    // takes the MCU line away; afterwards the host gives it back.
    box_ = std::make_unique<Box>(BoxOptions{});
    ASSERT_TRUE(box_->ok()) << box_->error();
    const auto img = app_package(3000, 5);
    ASSERT_TRUE(box_->wait_console("app init success", 30000)) << box_->console();
    const int fd = open(box_->path("/var/host/control").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const std::string cmd = std::string("mcu_update /dev/ttyHSL2 ") + kPkg + "\n";
    EXPECT_EQ(write(fd, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    close(fd);
    ASSERT_TRUE(box_->wait_console("[host] control: mcu_update /dev/ttyHSL2 " + std::string(kPkg) + " -> 0\n", 60000))
        << box_->console();
    EXPECT_TRUE(same(image("application"), img));
    // The phone app asks the box for its model and gets the answer.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 app 06 f41b -"));
    EXPECT_TRUE(poll_until([&] { return box_->file("/var/devsim/ble_app.log").find(hex_text("KBox40")) !=
                                        std::string::npos; },
                           kWait))
        << box_->file("/var/devsim/ble_app.log");
}

// ---- Resuming ------------------------------------------------------------------

TEST_F(McuDfu, ResumesInsideAnObjectAfterTheMcuHung) {
    // 1 init write, 64 writes for object 1, then 15 into object 2.
    ASSERT_NO_FATAL_FAILURE(start("dfu.silent_after_writes = 80\n"));
    const auto img = app_package(9192);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);  // no answer to the CRC request
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Read no data from UART!"), std::string::npos);
    const size_t first = writes();

    testing::internal::CaptureStdout();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    // The MCU was still in its bootloader: aborted back to its application first.
    EXPECT_NE(out.find("reset_dfu_boot_to_app,try again."), std::string::npos) << out;
    EXPECT_TRUE(same(image("application"), img));
    // Only what was missing went again: the rest of object 2 and object 3.
    const size_t second = writes() - first;
    EXPECT_EQ(second, (4096u - 15 * 64) / 64 + (1000 + 63) / 64);
}

TEST_F(McuDfu, ResumeOfTheLastShortObjectStopsAtTheImageEnd) {
    // Object 2 is the last one, 1000 bytes; the MCU hangs 8 writes into it.
    ASSERT_NO_FATAL_FAILURE(start("dfu.silent_after_writes = 73\n"));
    const auto img = app_package(4096 + 1000);
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    const size_t first = writes();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    EXPECT_TRUE(same(image("application"), img));
    EXPECT_EQ(writes() - first, (1000u - 8 * 64 + 63) / 64);  // 488 bytes: 8 writes, nothing beyond the end
    for (const WireLine &w : wire(*box_)) EXPECT_NE(w.dir, "RX-BAD mtu");
}

TEST_F(McuDfu, ResumeWithEveryByteWrittenOnlyExecutes) {
    // Everything arrived but the MCU hung at the last execute: no answer is
    // no validated image, so the first run fails.
    ASSERT_NO_FATAL_FAILURE(start("dfu.hang_at_execute = 2\n"));
    const auto img = app_package(4096 + 1000);
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_EQ(image("application").size(), 4096u);  // only object 1 was executed
    const size_t first = writes();
    // The next run finds every byte there: it executes and sends nothing again.
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    EXPECT_EQ(writes(), first);
    EXPECT_TRUE(same(image("application"), img));
    EXPECT_TRUE(devsim_says("application image complete, 5096 bytes"));
}

TEST_F(McuDfu, ResumesFromAnObjectBoundaryAfterARestartAndFromAReportedOffset) {
    // The restart loses the object being written: the transfer goes on from
    // the end of object 1.  Then a reported offset inside object 2.
    ASSERT_NO_FATAL_FAILURE(start("dfu.reset_after_writes = 100\n"));
    const auto img = app_package(3 * 4096);
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    const size_t first = writes();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    EXPECT_TRUE(same(image("application"), img));
    EXPECT_EQ(writes() - first, 2u * 64);

    // A new image (its init packet differs): hang 35 writes into object 2,
    // then report 5000 bytes as written.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu silent_after_writes 100"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu resume_offset 5000"));
    const auto img2 = app_package(3 * 4096 - 100, 2);
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    const size_t second = writes();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    EXPECT_TRUE(same(image("application"), img2));
    // From 5000: 3192 bytes to the end of object 2, then 3996 bytes of object 3.
    EXPECT_EQ(writes() - second, (8192u - 5000 + 63) / 64 + (3996u + 63) / 64);
}

// ---- Refusals and faults ---------------------------------------------------------

TEST_F(McuDfu, CrcAndOffsetMismatchesGiveResult2) {
    ASSERT_NO_FATAL_FAILURE(start("dfu.bad_crc_object = 2\n"));
    app_package(10000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid CRC (0x"), std::string::npos);

    // The next run resumes behind object 2; the MCU then answers object 3's
    // CRC request with an offset one too far.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu wrong_offset_object 1"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid offset (10000 -> 10001)!"), std::string::npos);

    // A byte lost on the line shows in the MCU's count (a new image, from the start).
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu drop_byte 100"));
    app_package(9000, 5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 2);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid offset (4096 -> 4095)!"), std::string::npos);
}

TEST_F(McuDfu, ErrorResultsGiveResult1IncludingTheLastExecute) {
    ASSERT_NO_FATAL_FAILURE(start("dfu.error = 01:04\n"));
    app_package(5000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Bad result code (0x4)!"), std::string::npos);

    // The MCU refuses the image when it validates it at the last execute.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu error -"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu final_error 05"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Bad result code (0x5)!"), std::string::npos);

    // Nor is a target that says nothing to the last execute.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu final_error -"));
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu final_silent 1"));
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_TRUE(poll_until(
        [&] { return count_of(read_text(box_->path("/var/devsim.out")), "application image complete") == 2; },
        kWait));

    // An object size of 0 is refused, not divided by.
    ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu max_data 0"));
    app_package(3000, 9);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Invalid object response!"), std::string::npos);
}

TEST_F(McuDfu, SilentMcuFailsEveryAttemptAndTheTransfer) {
    ASSERT_NO_FATAL_FAILURE(start("dfu.app = silent\n"));
    app_package(1000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Read no data from UART!"), std::string::npos);
    EXPECT_EQ(rx_starting(*box_, "5e 00 07 20 01 0c c0").size(), 9u);  // 3 tries x 3 attempts
    EXPECT_EQ(rx_starting(*box_, "5e 00 07 54").size(), 0u);
    EXPECT_TRUE(image("application").empty());
}

TEST_F(McuDfu, McuAlreadyInItsBootloaderIsAbortedAndTheNextAttemptWorks) {
    ASSERT_NO_FATAL_FAILURE(start("dfu.mode = boot\n"));
    const auto img = app_package(2000);
    testing::internal::CaptureStdout();
    EXPECT_EQ(uart_mcu_update("ttyHSL2", kPkg), 0);
    const std::string out = testing::internal::GetCapturedStdout();
    const size_t retry = out.find("reset_dfu_boot_to_app,try again.");
    ASSERT_NE(retry, std::string::npos) << out;
    EXPECT_NE(out.find("switch_mcu_to_boot try 1."), std::string::npos);
    EXPECT_GT(out.find("switch_mcu_to_boot success."), retry);
    EXPECT_TRUE(same(image("application"), img));
    // The bootloader saw the abort (and the caret query it cannot read).
    EXPECT_EQ(rx_starting(*box_, "0c").size(), 1u);
}

TEST_F(McuDfu, LargeMtuSplitAndLateAnswersStillCarryTheImage) {
    ASSERT_NO_FATAL_FAILURE(start("dfu.mtu = 259\ndfu.split = 1\ndfu.delay_ms = 40\n"));
    const auto img = app_package(4096 + 300);
    EXPECT_EQ(uart_mcu_update("/dev/ttyHSL2", kPkg), 0);  // the whole path names the same port
    EXPECT_TRUE(same(image("application"), img));
    size_t longest = 0;
    for (const WireLine &w : rx_starting(*box_, "08")) longest = std::max(longest, (w.hex.size() + 1) / 3);
    EXPECT_EQ(longest, 128u);  // opcode + 127 bytes: the most one SLIP packet may hold
    for (const WireLine &w : wire(*box_)) EXPECT_NE(w.dir, "RX-BAD mtu");
}

// ---- Watchdog frames on the MCU line -----------------------------------------

TEST_F(McuDfu, WatchdogFramesTheirGapsAndTheFeedTimer) {
    ASSERT_NO_FATAL_FAILURE(start("", true));
    vehicle_link_attach();
    ASSERT_EQ(init_mcu_usart(), 1);
    EXPECT_EQ(px510_timer(), 1);  // not armed: nothing goes out
    EXPECT_EQ(iot_ctl_mcu_watchdog(1), 1);
    EXPECT_EQ(get_ping_status(), 1);
    EXPECT_TRUE(poll_until(
        [&] { return box_->file("/var/devsim/mcu_watchdog") == "enabled=1 timeout=60 feeds=2\n"; }, kWait))
        << box_->file("/var/devsim/mcu_watchdog");
    auto frames = rx_starting(*box_, "5e 00 09 ff");
    ASSERT_EQ(frames.size(), 4u);
    // Byte-exact, CRC-16/ARC computed by devsim's own code.
    EXPECT_EQ(frames[0].hex, hex_of(encode_caret_frame(0xFF, {0xA0, 0x00, 0x3C}).data(), 9));
    EXPECT_EQ(frames[1].hex, hex_of(encode_caret_frame(0xFF, {0xB1, 0x00, 0x3C}).data(), 9));
    EXPECT_EQ(frames[2].hex, hex_of(encode_caret_frame(0xFF, {0xFF, 0x00, 0x3C}).data(), 9));
    EXPECT_EQ(frames[3].hex, frames[2].hex);
    // 500 ms between timeout and enable, 100 ms before each feed (a little
    // slack for the line's own timestamps).
    EXPECT_GE(frames[1].ms - frames[0].ms, 480);
    EXPECT_GE(frames[2].ms - frames[1].ms, 90);
    EXPECT_GE(frames[3].ms - frames[2].ms, 90);

    EXPECT_EQ(px510_timer(), 1);
    EXPECT_TRUE(poll_until([&] { return box_->file("/var/devsim/mcu_watchdog").find("feeds=3") != std::string::npos; },
                           kWait));
    EXPECT_EQ(iot_ctl_mcu_watchdog(0), 1);
    EXPECT_EQ(get_ping_status(), 0);
    EXPECT_TRUE(poll_until(
        [&] { return box_->file("/var/devsim/mcu_watchdog") == "enabled=0 timeout=60 feeds=3\n"; }, kWait));
    EXPECT_EQ(rx_starting(*box_, "5e 00 09 ff b0 00 01").size(), 1u);
    EXPECT_EQ(px510_timer(), 1);  // disarmed: no feed
    harness_sleep_ms(300);
    EXPECT_EQ(rx_starting(*box_, "5e 00 09 ff ff").size(), 3u);
}

// ---- Transfer time against the line rate (figures for docs/performance.md) ------

TEST_F(McuDfu, TransferTimeAgainstTheLineRate) {
    if (getenv("TELAGENT_DFU_MEASURE") == nullptr) GTEST_SKIP() << "set TELAGENT_DFU_MEASURE=1 to measure";
    const unsigned bauds[] = {115200, 38400};
    ASSERT_NO_FATAL_FAILURE(start("", true));
    for (unsigned baud : bauds) {
        // A fresh image each time (its init packet differs), so nothing is resumed.
        const auto img = dfu_test_image(256 * 1024, baud);
        auto init = dfu_init_packet("application", img.size());
        const std::string tag = " baud=" + std::to_string(baud);
        init.insert(init.end(), tag.begin(), tag.end());
        ASSERT_TRUE(write_dfu_package(box_->path(kPkg), dfu_manifest_json({{"application", "app"}}),
                                      {{"app.dat", init}, {"app.bin", img}}));
        ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu baud " + std::to_string(baud)));
        ASSERT_TRUE(ctl(*box_, "ttyHSL2 dfu mode boot"));
        const size_t lines_before = wire(*box_).size();
        uart_drv_t u = {"ttyHSL2", -1};
        ASSERT_EQ(uart_slip_open(&u), 0);
        dfu_param_t p = {&u, kPkg};
        dfu_serial_clear_round_trips();
        const int64_t t0 = harness_mono_ms();
        EXPECT_EQ(dfu_send_package(&p), 0);
        const int64_t took = harness_mono_ms() - t0;
        uart_slip_close(&u);
        EXPECT_TRUE(same(image("application"), img));
        // Wire bytes both ways after SLIP.
        size_t bytes = 0;
        const auto all = wire(*box_);
        for (size_t i = lines_before; i < all.size(); ++i) {
            Bytes b;
            if (!parse_hex_bytes(all[i].hex, &b)) continue;
            if (all[i].dir == "RX") bytes += devsim_slip_encode(b).size();
            if (all[i].dir == "TX") bytes += b.size();
        }
        const double bound_ms = bytes * 10.0 * 1000.0 / baud;
        printf("[measure] baud %u: %zu wire bytes, bound %.0f ms, took %lld ms (%.3fx), %u round trips, %u objects\n",
               baud, bytes, bound_ms, static_cast<long long>(took), took / bound_ms, dfu_serial_round_trips(),
               static_cast<unsigned>((img.size() + 4095) / 4096));
        EXPECT_GT(took, 0);
    }
}
