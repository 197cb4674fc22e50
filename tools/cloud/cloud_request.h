#pragma once
// Cloud requests from the operator's side: building a request frame from a
// kind name and plain arguments, and decoding the box's response into text
// or JSON.  The frame layouts are those the box parses (cmd, ota and
// extra_data topics).
#include <cstdint>
#include <string>
#include <vector>

struct CloudRequest {
    std::string kind;            // "cmd", "ota" or "extra_data" (the topic level)
    std::vector<uint8_t> frame;  // request bytes, sent as upper-case hex text
    uint16_t cmd_id = 0;         // cmd requests
    bool expects_response = true;
    int default_timeout_s = 15;
};

// Builds a request from `args` (kind name first):
//   lock | unlock | light on|off | power on|off | speaker | interval <0..255>
//   diag <hex> | servers <host:port[,user,password]> | cmd <id> <hex body>
//   extra | ota <motor|display|lib|ble|gd32|number> <url> [controller id]
// `ident` goes to bytes 4-7.  0, or -1 with *why set.
int build_cloud_request(const std::vector<std::string> &args, const uint8_t ident[4], CloudRequest *out,
                        std::string *why);

// Decodes a response payload (hex text) of `kind` that answers `ident`.
// 1 with *text (one human line) and *json (one JSON object) set; 0 when the
// payload is not such a response (*why says why).
int decode_cloud_response(const std::string &kind, const std::string &payload, const uint8_t ident[4],
                          std::string *text, std::string *json, std::string *why);

// Hex text of bytes, upper case.
std::string cloud_hex(const std::vector<uint8_t> &bytes);
