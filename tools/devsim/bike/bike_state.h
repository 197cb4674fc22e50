#pragma once
// The simulated bike behind the lock board: what its motor controller,
// display, batteries and GD32 board know.  One per devsim.  The lock line's
// peer (peer_bike) answers from it and changes it on commands; the MCU line's
// peer (peer_mcu) presses the bike's power key through it.  Both run on the
// loop's thread, but the record is shared between two modules, so it is only
// ever copied or changed under its own small lock.
//
// Power key: every key-line-on frame the agent sends to the MCU is one press
// (the MCU pulses the key) and toggles the bike on/off; key-line-off only
// releases the line.  The agent's retries (key-line-on before each try, one
// key-line-off at the end) then reach the wanted state by the second press at
// the latest.
//
// Settings (scenario section [bike], or "bike <key> <value>" on the control
// FIFO), numbers in decimal:
//   attached = 0|1          the bike is on the bus; any other key attaches it too
//   on, locked, light = 0|1
//   odo, range              32-bit raw (the agent divides range by 10000)
//   error, motor_power, human_power   16-bit raw
//   assist, cadence         0..255
//   speed                   0..1023 km/h, the 10 bits of display status bytes 2-3
//   batteryN.present = 0|1, batteryN.soc (0..255), batteryN.voltage,
//   batteryN.current (-32768..65535), batteryN.temp (tenths of a degree),
//   batteryN.capacity, batteryN.error (16-bit raw; the agent keeps byte 0),
//   batteryN.charging (0..255)                                   (N = 1..3)
//   silent_battery = 0..3   that battery stops answering (0: none)
//   display_broadcast = 0|1 the display's once-a-second 0xF107/0xF106 broadcasts,
//                           and its broadcast answering a status query
//   wrong_lock_byte = 0|1   motor-lock command answers carry byte 0 with bit 7
//                           flipped (the motor still does as told)
//   answer_delay_ms = 0..600000   every answer of the bike comes this late
//   motor_version, motor_boot_version, display_version, gd_version,
//   gd_boot_version = a.b.c.d           (4 bytes)
//   motor_model, display_model (<= 20 chars), motor_branch, display_branch
//   (<= 30 chars), serial (<= 24 chars, sent padded with zero bytes to 24)
#include <cstdint>
#include <string>

struct BikeBattery {
    bool present = false;
    uint8_t soc = 0;
    uint16_t voltage = 0;
    uint16_t current = 0;  // two's complement when negative
    uint16_t temp = 0;     // tenths of a degree, as on the wire
    uint16_t capacity = 0;
    uint8_t charging = 0;
    uint16_t error = 0;
};

struct BikeState {
    bool attached = false;
    bool on = true;
    bool locked = false;
    bool light = false;
    bool key_line = false;  // as the MCU last drove it
    unsigned presses = 0;   // key presses since start

    uint32_t odo = 0;
    uint32_t range = 0;
    uint16_t error = 0;
    uint16_t motor_power = 0;
    uint16_t human_power = 0;
    uint8_t assist = 0;
    uint16_t speed = 0;
    uint8_t cadence = 0;
    BikeBattery battery[3];

    int silent_battery = 0;
    bool display_broadcast = true;
    bool wrong_lock_byte = false;
    unsigned answer_delay_ms = 0;

    uint8_t motor_version[4] = {};
    uint8_t motor_boot_version[4] = {};
    uint8_t display_version[4] = {};
    uint8_t gd_version[4] = {};
    uint8_t gd_boot_version[4] = {};
    std::string motor_model;
    std::string display_model;
    std::string motor_branch;
    std::string display_branch;
    std::string serial;

    uint64_t revision = 0;  // bumped by every change, so watchers know when to look
};

// The default bike: on, unlocked, light off, two batteries, plausible figures.
BikeState bike_default_state();

// A copy of the current state.
BikeState bike_state();
// Back to the default bike, detached.
void bike_state_reset();

// One setting: 1 applied, 0 not a bike key, -1 a bike key with a bad value (*why).
int bike_state_set(const std::string &key, const std::string &value, std::string *why);
// The [bike] scenario section: a bad value is reported on stderr (the unused-key
// check only knows unknown keys) and counts as used.  1 used, 0 unknown.
int bike_state_configure(const std::string &key, const std::string &value);

// The MCU's key line: on = a press (toggles power), off = released.
void bike_key_line(bool on);
// Motor-lock and light commands from the bus.
void bike_set_locked(bool locked);
void bike_set_light(bool on);

// "key = value" lines of everything above, in a fixed order (var/devsim/bike_state).
std::string bike_state_text(const BikeState &s);
