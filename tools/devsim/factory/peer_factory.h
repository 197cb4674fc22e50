#pragma once
// ttyHSL3: the factory / dealer test tool.  The scripted FramePeer of the
// line (bus frames, 16-bit lengths, 100 ms gap, "ttyHSL3 ..." commands), plus
// a sequencer that runs test steps one after another: each step sends one
// frame to the box (destination 0x06, source the tool's node) and waits for a
// frame with the same id, or gives up after step_timeout_ms.  Results go to
// var/devsim/factory.log, one line per step:
//     <n> <id> ok <round trip ms> <answer frame hex>
//     <n> <id> timeout
// and "done <ok>/<steps>" at the end.
//
// Steps are written "<id hex>[:<payload hex>]", e.g. F41F:01 or F400.
// The default sequence (the whole factory run): enter factory mode, identity
// (IMEI, SN, ICCID, versions, model), relays to the MCU and the lock board,
// the two LED tests, the bike-bus test, leave factory mode.
//
// Settings ([ttyHSL3] or "ttyHSL3 tool <key> <value>"):
//   node = <hex>            the tool's node address (default 09)
//   step_timeout_ms = N     default 3000
//   script = <step> ...     run these steps once the line is up ("default":
//                           the default sequence)
// Commands: "ttyHSL3 run [<step> ...]" (no steps: the default sequence),
//           "ttyHSL3 repeat <count> <step>".  A run refuses to start while
//           another is going.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/frame_link.h"

struct ToolStep {
    uint16_t id = 0;
    Bytes payload;
};

// "<id hex>[:<payload hex>]": false when malformed.
bool tool_parse_step(const std::string &text, ToolStep *out);
// The default factory sequence.
std::vector<ToolStep> tool_default_sequence();

std::unique_ptr<Peer> make_factory_peer(PeerLine &line);
