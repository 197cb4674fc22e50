// Cloud requests from hostile text: the hex decoder into a request buffer,
// the topic split, the command and OTA request parsers and the OTA URL
// splitter.  Every accepted request lies inside the bytes that arrived, and
// every accepted URL gives a host and a path inside their buffers.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/orlin_handle.h"
#include "cloud/uplink_frame.h"

// The parsers explain refusals on the console; the fuzzer keeps standard error.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Layout: the topic up to the first NUL, then the payload text.
    const char *text = reinterpret_cast<const char *>(data);
    size_t cut = 0;
    while (cut < size && data[cut] != 0) ++cut;
    const std::string topic(text, cut);
    const char *payload = cut < size ? text + cut + 1 : text + size;
    const size_t plen = cut < size ? size - cut - 1 : 0;

    char id[kRequestIdMax + 1];
    const char *why = nullptr;
    const cloud_kind_t kind = cloud_topic_parse(topic.c_str(), id, &why);
    if (kind != CLOUD_NONE && (strlen(id) == 0 || strlen(id) > kRequestIdMax)) abort();

    constexpr int kGuard = 16;
    std::vector<uint8_t> frame(kCloudDataLen + kGuard, 0xA5);
    const int n = at_chars_to_hex(payload, frame.data(), static_cast<int>(plen > 4096 ? 4096 : plen),
                                  static_cast<int>(kCloudDataLen));
    if (n < 0 || n > static_cast<int>(kCloudDataLen)) abort();
    for (int i = 0; i < kGuard; ++i)
        if (frame[kCloudDataLen + i] != 0xA5) abort();
    // Parse the decoded bytes, and the raw input as bytes too.
    for (const auto &[bytes, len] : {std::pair<const uint8_t *, int>{frame.data(), n},
                                      std::pair<const uint8_t *, int>{data, static_cast<int>(size > 2048 ? 2048 : size)}}) {
        cmd_request_t c;
        if (parse_cmd_request(bytes, len, &c) == 1 && (c.body < bytes || c.body + c.body_len > bytes + len)) abort();
        ota_request_t o;
        if (parse_ota_request(bytes, len, &o) == 1) {
            if (o.body < bytes || o.body + o.body_len > bytes + len) abort();
            if (o.target == 1 && !o.has_mcu_id && o.mcu_id != 0) abort();  // absent id: KD11
        }
    }

    // The URL splitter on the payload as text.
    const std::string url(payload, plen > 600 ? 600 : plen);
    char host[64], path[256];
    uint16_t port = 0;
    if (get_url_info(url.c_str(), host, &port, path) == 1) {
        if (strnlen(host, sizeof host) == sizeof host || strnlen(path, sizeof path) == sizeof path) abort();
        if (host[0] == '\0' || path[0] != '/' || port == 0) abort();
    }
    std::vector<uint8_t> rev(data, data + (size > 64 ? 64 : size));
    ReverseTab(rev.data(), static_cast<int>(rev.size()));
    return 0;
}
