#pragma once
// Factory test mode and the factory/dealer tool on /dev/ttyHSL3: the tool
// switches the box into factory mode (polling and telemetry stand still),
// reads identities and self-test results, and reaches the MCU and the lock
// board through relays whose answers come back to it while factory mode is on.
#include <cstddef>
#include <cstdint>

void factory_test_init(void);
// Factory table (29 ids, first match): runs the handler of a frame from the
// tool; `len` is the frame's total length (16-bit payload length + 10).
// The handler's result; 0 for ids not in the table.
int factory_mode_dispatch(const unsigned char *frame, int len);
size_t factory_msg_table_size(void);
uint16_t factory_msg_table_id(size_t i);

// LED controls the tests switch.
#define FACTORY_NET_LED_PATH "/sys/bus/platform/drivers/ledctrl/net_led"
#define FACTORY_GPS_LED_PATH "/sys/bus/platform/drivers/ledctrl/gps_led"

// The 12-byte answer the LED and bike-bus tests give: addresses swapped, the
// id kept, payload length 2 and the first two payload bytes of `f` (zero where
// `f` has fewer).  Its length (12), or 0 when `f` is not a frame.
size_t factory_short_answer(const uint8_t *f, int len, uint8_t *out, size_t cap);
