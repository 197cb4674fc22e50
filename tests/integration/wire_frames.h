#pragma once
// Frames of devsim's wire log (var/devsim/<port>.log) in one direction ("RX"
// from the agent, "TX" to it), each with the time stamp of the log line that
// completed it.  devsim writes whatever is queued at once, so one line may
// hold several frames: the lines are split with devsim's own parser.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "box_harness.h"
#include "core/frame_link.h"

struct WireFrame {
    int64_t unix_ms;
    Frame f;
};

inline std::vector<WireFrame> wire_frames(const Box &box, const std::string &port, const std::string &dir,
                                          const ParserLimits &limits) {
    std::istringstream in(box.file("/var/devsim/" + port + ".log"));
    std::vector<WireFrame> out;
    FrameParser parser(limits);
    std::string l;
    const std::string tag = " " + port + " " + dir + " ";
    while (std::getline(in, l)) {
        const size_t p = l.find(tag);
        Bytes b;
        if (p == std::string::npos || !parse_hex_bytes(l.substr(p + tag.size()), &b)) continue;
        const int64_t ms = std::stoll(l.substr(0, p));
        parser.feed(b.data(), b.size(), 0, [&](ParseEvent ev, const Frame *f, const char *, const uint8_t *, size_t) {
            if (ev == ParseEvent::Frame) out.push_back({ms, *f});
        });
    }
    return out;
}
