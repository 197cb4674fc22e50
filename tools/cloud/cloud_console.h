#pragma once
// The operator's console: one broker session that follows every box of the
// fleet (telemetry and the responses anybody's requests get), and a page on
// 127.0.0.1 that shows them live and sends requests from buttons.
//
// The page, its script and style are the tool's own (tools/cloud/console/,
// compiled in); nothing is fetched from anywhere else.  HTTP:
//   GET  /                  the page (also /console.js, /console.css)
//   GET  /api/boxes         every box seen, with its recent history, as JSON
//   GET  /api/events        server-sent events: "snapshot" once, then "box" per report
//                           and "response" per response seen on the broker
//   POST /api/request       form body imei=<IMEI>&arg=<kind>&arg=<argument>...; answers
//                           {"ok":true,"text":..,"response":{..},"ms":N} or
//                           {"ok":false,"error":".."} once the box answered or the time ran out
// Every request must name this server as its Host (127.0.0.1 or localhost with
// the port), and a POST must carry "X-Telagent-Console: 1" and no foreign
// Origin, so another site open in the same browser cannot drive the fleet.
#include <atomic>
#include <string>

#include "cloud_mqtt.h"

struct ConsoleOptions {
    int http_port = 8090;      // 0 picks a free port
    int request_timeout_s = 0; // 0: each kind's own (15 s for commands, 30 s for extra data)
    size_t max_boxes = 10000;  // boxes beyond this are not followed (a hostile broker cannot grow us without end)
};

// Runs until *stop is set.  Prints "console on http://127.0.0.1:<port>/" once
// the page is served and the broker subscribed.  0 on a clean stop, 1 when the
// broker or the socket could not be set up.
int cloud_console(const BrokerOptions &broker, const ConsoleOptions &opt, const std::atomic<bool> *stop);
