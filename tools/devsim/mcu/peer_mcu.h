#pragma once
// ttyHSL2: the main MCU and its BLE bridge.  The scripted FramePeer of the
// line (bus and caret frames, 2 s gap, "ttyHSL2 ..." control commands), plus
// the bike's power-key line: a 0xF403 frame to the MCU (0x07) with a payload
// drives it, byte 0 non-zero on, zero off (bike_key_line in bike_state.h).
#include <memory>

#include "core/frame_link.h"

std::unique_ptr<Peer> make_mcu_peer(PeerLine &line);
