#include "cloud/uplink_buffer.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/iot_common.h"

namespace {
std::mutex uplink_mut;
uint8_t send_buffer_hex[kUplinkFrameBuf];
// One more than the published text so the console line is terminated.
char send_buffer_str[kUplinkTextBuf + 1];
std::atomic<int> g_taken{0};
}  // namespace

UplinkBuffers::UplinkBuffers() {
    uplink_mut.lock();
    g_taken.fetch_add(1, std::memory_order_relaxed);
    memset(send_buffer_hex, 0, sizeof send_buffer_hex);
    memset(send_buffer_str, 0, sizeof send_buffer_str);
}

UplinkBuffers::~UplinkBuffers() { uplink_mut.unlock(); }

uint8_t *UplinkBuffers::frame() { return send_buffer_hex; }

const char *UplinkBuffers::text() const { return send_buffer_str; }

int UplinkBuffers::publish(const char *topic, int len) {
    if (topic == nullptr || len <= 0) return 0;
    if (len > static_cast<int>(kUplinkFrameBuf)) len = static_cast<int>(kUplinkFrameBuf);
    const int n = at_hex_to_chars(send_buffer_hex, len, send_buffer_str, static_cast<int>(kUplinkTextBuf));
    send_buffer_str[n] = '\0';
    if (n < 2 * len) printf(" uplink frame cut: %d bytes, %d sent \r\n", len, n / 2);
    printf(" \r\n mqtt_post: %s \r\n", send_buffer_str);
    return dev_mqtt_post(topic, send_buffer_str, n);
}

int uplink_buffers_taken(void) { return g_taken.load(std::memory_order_relaxed); }
