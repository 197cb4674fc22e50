// The recovery thread in the real agent on a simulated box: after a
// self-update (BleAuth = 1) it backs up the application file system through
// the platform seam and clears the flag; a failing step is reported as such.
#include <gtest/gtest.h>

#include <string>

#include "box_harness.h"

namespace {

// A box whose settings ask for the backup, with the service present on the
// remounted file system; the host starts once the files are in place.
void prepare(Box &box, const std::string &refuse) {
    box.put_file("/iot/conf/iot.ini", box.file("/iot/conf/iot.ini") + "BleAuth=1\n");
    box.put_file("/sdcard/iot/bin/telAgent", "service");
    if (!refuse.empty()) box.put_file("/var/actions.refuse", refuse + "\n");
}

}  // namespace

TEST(BoxRecovery, BackupAfterSelfUpdateRunsThroughTheSeamAndClearsTheFlag) {
    BoxOptions o;
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    prepare(box, "");
    ASSERT_EQ(box.start_host(o.host_args), 0);
    ASSERT_TRUE(box.wait_console("HOSTCORE: backup_system_success.", 30000)) << box.console();
    const std::string acts = box.actions();
    const size_t mount = acts.find(" shell mount -t ubifs /dev/ubi0_0 /sdcard\n");
    const size_t image = acts.find(" shell ubinize -o /run/runsysfs.ubi");
    const size_t write = acts.find(" shell ubiformat /dev/mtd16 -f /run/runsysfs.ubi\n");
    ASSERT_NE(mount, std::string::npos) << acts;
    ASSERT_NE(image, std::string::npos) << acts;
    ASSERT_NE(write, std::string::npos) << acts;
    EXPECT_LT(mount, image);
    EXPECT_LT(image, write);
    EXPECT_TRUE(box.wait_file("/iot/conf/iot.ini", "BleAuth=0", 5000)) << box.file("/iot/conf/iot.ini");
    EXPECT_EQ(box.console().find("backup_system_failed"), std::string::npos);
}

TEST(BoxRecovery, RefusedPartitionWriteIsReportedAndUnmounts) {
    BoxOptions o;
    o.start_host = false;
    Box box(o);
    ASSERT_TRUE(box.ok()) << box.error();
    prepare(box, "ubiformat");
    ASSERT_EQ(box.start_host(o.host_args), 0);
    ASSERT_TRUE(box.wait_console("HOSTCORE: backup_system_failed.", 30000)) << box.console();
    const std::string acts = box.actions();
    const size_t refused = acts.find("ubiformat /dev/mtd16 -f /run/runsysfs.ubi [refused]\n");
    ASSERT_NE(refused, std::string::npos) << acts;
    EXPECT_NE(acts.find(" shell umount /sdcard/\n", refused), std::string::npos) << acts;
    EXPECT_EQ(box.console().find("backup_system_success"), std::string::npos);
    EXPECT_TRUE(box.wait_file("/iot/conf/iot.ini", "BleAuth=0", 5000)) << box.file("/iot/conf/iot.ini");
}
