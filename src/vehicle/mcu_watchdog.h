#pragma once
// The main MCU's watchdog over the box: caret frames 0xFF on the MCU line
// (5E 00 09 FF <sub> <value hi> <value lo> <CRC-16/ARC hi lo>).  The power
// manager arms it on sleep and wake and feeds it from its timer.
#include <cstddef>
#include <cstdint>

inline constexpr size_t kMcuPingFrameLen = 9;

// The frame for a sub-command and value, as written to the line.
void mcu_ping_frame(uint8_t sub, uint16_t value, uint8_t out[kMcuPingFrameLen]);

int ping_timer(void);        // feed: FF, 60 s
int ping_set_timeout(void);  // A0, 60 s
int ping_enable(void);       // B1, 60 s
int ping_disable(void);      // B0, 1
// Set timeout, 500 ms, enable; marks the watchdog enabled.
int mcu_ping_init(void);
// Non-zero: arm and feed twice (100 ms apart); zero: disarm.  Returns 1.
int iot_ctl_mcu_watchdog(int flag);
// 1 while the watchdog is marked enabled.
int get_ping_status(void);
// Feeds once when enabled.  Returns 1.
int px510_timer(void);
