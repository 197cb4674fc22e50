// Requests that name their answer (bootloader sessions): the named frame
// completes the request before the relay rules see it, and every other frame
// keeps its rule, as on a real lock line.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "core/iot_common.h"
#include "core/iot_config.h"
#include "support/pty_peer.h"
#include "support/test_root.h"
#include "vehicle/frame_codec.h"
#include "vehicle/lock_link.h"
#include "vehicle/usart_lock_handle.h"

using Bytes = std::vector<uint8_t>;

namespace {

class NamedAnswer : public ::testing::Test {
protected:
    void SetUp() override {
        root.write("/iot/conf/iot.ini", "[IotCfg]\nWorkingMode=1\n");
        ASSERT_EQ(init_iotconfig(), 1);
        board = std::make_unique<PtyPeer>(root.path(), "ttyHSL1");
        dev_hostcore_register(&dev_hostcore);
        hostcore_GD32_recv_register(dev_GD32_recv_handler);
        vehicle_link_attach();
        ASSERT_EQ(init_lock_usart(), 1);
        com_uart_read_thread_destroy();
        Bytes stale;
        while (board->read_frame(stale, 300)) {}
    }
    int expect(const Bytes &req, uint16_t id, uint8_t src, uint8_t *ans) {
        return request_lock_expect(req.data(), static_cast<int>(req.size()), 2000, id, src, ans);
    }
    TestRoot root;
    std::unique_ptr<PtyPeer> board;
};

}  // namespace

TEST_F(NamedAnswer, BootVersionToTheBootloaderCompletesTheRequestAndIsNotRelayed) {
    uint8_t ans[256] = {};
    std::thread display([&] {
        Bytes req;
        ASSERT_TRUE(board->read_frame(req, 3000));
        EXPECT_EQ(req, bus_frame(0x03, 0xAA, 0x0003, {}));
        board->send(bus_frame(0xAA, 0x01, 0x0003, {0x09, 0, 0, 0}));  // another node: not the answer
        board->send(bus_frame(0xAA, 0x03, 0x0003, {0x02, 0, 0, 0}));
    });
    const int n = expect(bus_frame(0x03, 0xAA, 0x0003, {}), 0x0003, 0x03, ans);
    display.join();
    ASSERT_EQ(n, 14);
    EXPECT_EQ(ans[2], 0x03);
    EXPECT_EQ(ans[7], 0x02);
    // The other node's answer kept rule R (re-addressed from the box); the named one went nowhere else.
    Bytes f;
    ASSERT_TRUE(board->read_frame(f, 2000));
    EXPECT_EQ(f, bus_frame(0xAA, 0x06, 0x0003, {0x09, 0, 0, 0}));
    EXPECT_FALSE(board->read_frame(f, 300)) << "the named answer was relayed too";
}

TEST_F(NamedAnswer, StandbyTimeAnswerHasNoHandlerButReachesItsRequest) {
    uint8_t ans[256] = {};
    std::thread bms([&] {
        Bytes req;
        ASSERT_TRUE(board->read_frame(req, 3000));
        board->send(bus_frame(0x06, 0x15, 0xF533, {0x58, 0x02}));  // battery 2: not asked
        board->send(bus_frame(0x06, 0x05, 0xF533, {0x58, 0x02}));
    });
    const int n = expect(bus_frame(0x05, 0x06, 0xF533, {0x58, 0x02}), 0xF533, 0x05, ans);
    bms.join();
    ASSERT_EQ(n, 12);
    EXPECT_EQ(ans[2], 0x05);
    // No longer named: the same frame is ignored as before.
    EXPECT_EQ(lock_com_expected(ans, n), 0);
}

TEST_F(NamedAnswer, WithoutANamedRequestTheRelayRuleStands) {
    // An unnamed request for the same answer: the relay rule takes the answer
    // (re-addressed from the box and sent back out), the request times out.
    uint8_t ans[256];
    std::thread display([&] {
        Bytes req;
        ASSERT_TRUE(board->read_frame(req, 3000));
        board->send(bus_frame(0xAA, 0x03, 0x0003, {0x02, 0, 0, 0}));
    });
    Bytes req = bus_frame(0x03, 0xAA, 0x0003, {});
    EXPECT_EQ(request_lock_com(req.data(), static_cast<int>(req.size()), 1, ans), 0);
    display.join();
    Bytes f;
    ASSERT_TRUE(board->read_frame(f, 3000));
    EXPECT_EQ(f, bus_frame(0xAA, 0x06, 0x0003, {0x02, 0, 0, 0}));
}
