#pragma once
// ttyHSL2: the main MCU, its BLE bridge and the rider's phone app behind it.
// Built on the scripted FramePeer of the line (bus and caret frames, 2 s gap,
// "ttyHSL2 ..." control commands), plus:
//
// The MCU (node 0x07) answers reads addressed to it, to whoever asked:
//   0xF402 box supply: voltage high byte first, then charging, 00 (4 bytes)
//   0xF404 main battery status   0xF413 BLE version (4 bytes)
//   0xF414 BLE MAC (6 bytes)     0xF416 connected   0xF415 eeprom
//   0xF41A charging              0xF403 key line (state, 00)
// and the caret MAC query (0x0A) with 0A data 00 + the six MAC bytes.  A
// 0xF403 frame with a payload drives the bike's power key (bike_state.h).
// Caret 0xA2 (disconnect) clears `connected`, 0x54 (reboot) counts a reboot.
// Scripted answers (answer.<id>, caret.<cmd>) win over the MCU's own, and
// silent / answer_delay_ms / corrupt_crc / gap_ms / split / noise_* apply.
//
// Settings ([ttyHSL2] or "ttyHSL2 mcu <key> <value>"):
//   voltage = 0..65535, main_battery, connected, eeprom, charging = 0..255,
//   ble_version = a.b.c.d, mac = six hex bytes (C0:11:22:33:44:55),
//   caret_silent = 0|1   no caret answers (bus reads still answered)
//   mac_short = 0|1      the MAC answer carries only three MAC bytes
//   app.<n> = <delay ms> <dst> <id> <payload hex|->   an app frame sent once,
//                        <delay> after start (scripted app, in any order of n)
// State mirrored to var/devsim/mcu_state.
//
// The phone app (node 0x04): frames it sends reach the box through the
// bridge as plain bus frames from 0x04:
//   ttyHSL2 app <dst> <id> <payload hex|-> [frame options]
//   ttyHSL2 app_flood <count> <interval ms> <dst> <id> <payload hex|->
// What the box sends the app arrives in BLE packages
//   "AT>" 00 05 L <frame addressed to 0x04> 0D 0A
// each logged whole to var/devsim/ble_app.log as "<unix ms> PKG <hex>", or
// "<unix ms> PKG-BAD <why> <hex>" (header, length, trailer, crc, dst).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/frame_link.h"

// What the app got out of a chunk of BLE package bytes: scans `buf` (bytes
// the box wrote, appended), removes whole packages and calls `sink` for each
// ("" for a good one, else why it is bad).  Bytes that cannot start a package
// are dropped; a partial package stays.
void ble_app_scan(Bytes *buf, const std::function<void(const char *why, const Bytes &pkg)> &sink);

std::unique_ptr<Peer> make_mcu_peer(PeerLine &line);
