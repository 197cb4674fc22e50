// devsim's power peer: the nodes and FIFO it creates, the bytes its control
// commands put into the FIFO (ids, garbage, bursts, byte-by-byte writes), the
// record line it hands the host's control channel, and its log of the agent's
// writes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "power/power_peer.h"

namespace {

std::string slurp(const std::string &p) {
    std::ifstream f(p);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

template <class F>
bool wait_for(F cond, int ms = 3000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

struct TempRoot {
    std::string path;
    TempRoot() {
        char t[] = "/tmp/devsim_power_XXXXXX";
        path = mkdtemp(t);
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// Everything waiting in a non-blocking read end.
std::string drain(int fd) {
    std::string out;
    char buf[256];
    for (int idle = 0; idle < 20;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            out.append(buf, static_cast<size_t>(n));
            idle = 0;
        } else {
            ++idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return out;
}

}  // namespace

TEST(DevsimPower, CommandsPutExactBytesIntoTheWakeFifo) {
    TempRoot r;
    PowerPeer p;
    ASSERT_EQ(p.start(r.path), 0);
    struct stat st {};
    ASSERT_EQ(stat((r.path + "/tmp/wakemsgid_fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(slurp(r.path + "/sys/power/autosleep"), "off\n");
    EXPECT_EQ(slurp(r.path + "/sys/devices/virtual/android_usb/android0/dusb"), "1\n");
    int rd = open((r.path + "/tmp/wakemsgid_fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);

    std::string why;
    EXPECT_EQ(p.command("wake", "5", &why), 0);
    EXPECT_EQ(p.command("wake", "x!", &why), 0);
    EXPECT_EQ(p.command("raw", "3600ff", &why), 0);
    EXPECT_EQ(p.command("burst", "4 3", &why), 0);
    EXPECT_EQ(p.command("partial", "61 20", &why), 0);
    EXPECT_EQ(drain(rd), std::string("5x!6\0\xff" "44461", 11));

    // Refused without writing anything.
    EXPECT_EQ(p.command("wake", "", &why), -1);
    EXPECT_EQ(p.command("raw", "3", &why), -1);
    EXPECT_EQ(p.command("raw", "zz", &why), -1);
    EXPECT_EQ(p.command("burst", "4 0", &why), -1);
    EXPECT_EQ(p.command("burst", "4 1001", &why), -1);
    EXPECT_EQ(p.command("partial", "4 5000", &why), -1);
    EXPECT_EQ(p.command("sleep", "", &why), -1);
    EXPECT_EQ(drain(rd), "");
    close(rd);
}

TEST(DevsimPower, BatteryGoesThroughTheHostControlChannel) {
    TempRoot r;
    PowerPeer p;
    ASSERT_EQ(p.start(r.path), 0);
    std::string why;
    EXPECT_EQ(p.command("battery", "backup", &why), -1);  // no host listening
    EXPECT_EQ(why, "host control channel not open");

    std::filesystem::create_directories(r.path + "/var/host");
    const std::string ctl = r.path + "/var/host/control";
    ASSERT_EQ(mkfifo(ctl.c_str(), 0600), 0);
    int rd = open(ctl.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(rd, 0);
    EXPECT_EQ(p.command("battery", "backup", &why), 0);
    EXPECT_EQ(p.command("battery", "main", &why), 0);
    EXPECT_EQ(p.command("battery", "both", &why), -1);
    EXPECT_EQ(drain(rd), "bakbat 100e00010000\nbakbat 000000000000\n");
    close(rd);
    // The backup record reads as "backup" to the agent: first field non-zero, byte 3 is 1.
    EXPECT_EQ(power_bakbat_hex("backup").substr(6, 2), "01");
    EXPECT_NE(power_bakbat_hex("backup").substr(0, 4), "0000");
}

TEST(DevsimPower, LogsTheAgentsNodeWrites) {
    TempRoot r;
    PowerPeer p;
    ASSERT_EQ(p.start(r.path), 0);
    // A 24-byte wake-lock block, as the agent writes it.
    {
        std::string block = "LPM_LOCK_KEY";
        block.resize(24, '\0');
        std::ofstream f(r.path + "/sys/power/wake_unlock", std::ios::binary);
        f << block;
    }
    {
        std::ofstream f(r.path + "/sys/power/autosleep");
        f << "mem";
    }
    const std::string log = r.path + "/var/devsim/power.log";
    EXPECT_TRUE(wait_for([&] { return slurp(log).find(" W wake_unlock LPM_LOCK_KEY\n") != std::string::npos; }))
        << slurp(log);
    EXPECT_TRUE(wait_for([&] { return slurp(log).find(" W autosleep mem\n") != std::string::npos; })) << slurp(log);
    std::string why;
    ASSERT_EQ(p.command("wake", "6", &why), 0);
    EXPECT_NE(slurp(log).find(" C wake 6\n"), std::string::npos);
}
