#pragma once
// ttyHSL1: the lock/controller board and the bike bus behind it.  The bus
// nodes played here, all from the shared BikeState (bike_state.h):
//   0x01 motor controller  answers every id the agent polls, its versions,
//                          model, branch and serial; takes motor-lock (0x011A)
//                          and light (0x0119) commands and really changes state
//   0x03 display           broadcasts 0xF107 (to 0xFF) and 0xF106 (to 0x06)
//                          once a second; answers the 0xF107 status query with
//                          a broadcast, light commands, version/model/branch
//   0x05, 0x15, 0x25       batteries 1..3: their figures, while present and
//                          not silenced
//   0x08 GD32 board        its application (0xF40D) and boot (0xF40E) versions,
//                          and its bootloader (boot_flash.h): while it is in
//                          the bootloader the bus behind it is quiet
//
// The bike is on the bus only once the scenario or a control command set
// something in [bike] (see bike_state.h); until then the line is the bare
// scripted FramePeer, as the line tests want it.  Scripted answers
// ([ttyHSL1] answer.<id>) win over the bike's own for their id, and
// [ttyHSL1] silent / corrupt_crc / gap_ms ... apply to the bike's answers too
// (silent quiets its broadcasts as well; answer_delay_ms does not apply:
// the bike's lateness is its own answer_delay_ms).
//
// Bootloaders (boot_flash.h): the GD32 board's (0x08, spoken to by 0x06) and,
// spoken to by 0xAA, the display's (0x03) and the motor controller's (0x01,
// KD11 unless boot01.model = hm52).  A controller in its bootloader answers
// nothing else and the display broadcasts nothing.  The display answers the
// slave/master switch 0xFF12 from 0xAA with the mode asked (boot03.slave_silent
// = 1: no answer), battery 1 echoes a standby time 0xF533.
// Faults: [ttyHSL1] boot<node>.<key> = <value> and boot.pace, or
// "bike boot<node>.<key> <value>" at run time.
//
// Control commands: "bike <key> <value>" (any bike_state key), "bike attach",
// "bike detach", "bike press" (one key press), "bike reset" (default bike,
// detached).  Every change is mirrored to var/devsim/bike_state.
#include <cstdint>
#include <memory>

#include "bike/bike_state.h"
#include "core/frame_link.h"

// Bus nodes of the bike.
enum : uint8_t {
    BIKE_MOTOR = 0x01,
    BIKE_BOX_QUERY = 0x02,
    BIKE_DISPLAY = 0x03,
    BIKE_BMS1 = 0x05,
    BIKE_BOX = 0x06,
    BIKE_GD32 = 0x08,
    BIKE_BMS2 = 0x15,
    BIKE_BMS3 = 0x25,
    BIKE_BROADCAST = 0xFF,
};

// The display waits this long after a status query before it broadcasts: the
// power key pressed just before (on the MCU line) has taken effect by then.
inline constexpr unsigned kBikeStatusSettleMs = 100;

// Battery 1..3 of a node address, 0 for any other node.
int bike_battery_of(uint8_t node);
// The payload `node` answers to a read of `id`; false when it stays silent
// (not one of its ids, a battery absent or silenced).
bool bike_read_answer(const BikeState &s, uint8_t node, uint16_t id, Bytes *payload);
// Display status (0xF106): speed in bytes 2-3 as (b3 << 2) | (b2 >> 6), cadence in byte 5.
Bytes bike_disp_status_payload(const BikeState &s);
// System status (0xF107): byte 0 is 2 while the bike is on, 0 while off.
Bytes bike_sys_status_payload(const BikeState &s);

std::unique_ptr<Peer> make_bike_peer(PeerLine &line);
