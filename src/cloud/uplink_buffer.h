#pragma once
// The shared uplink buffers: the frame buffer send_buffer_hex and the text
// buffer send_buffer_str that every frame the box publishes is built and
// encoded in (telemetry reports and the responses to cloud requests).
//
// One lock serialises the writers.  Hold an UplinkBuffers for the whole of
// building, encoding and publishing one frame:
//
//   UplinkBuffers ub;                       // locks, clears both buffers
//   uint8_t *f = ub.frame();                // kUplinkFrameBuf bytes
//   ... fill f[0..len) ...
//   int ok = ub.publish(topic, len);        // encode + dev_mqtt_post
//
// Lock order: the uplink lock before the MQTT lock (publish takes it inside).
// Never take it on the MQTT library's threads (the cloud receive handler):
// a teardown holding the MQTT lock waits for those threads.
#include <cstdint>

#include "cloud/uplink_frame.h"

class UplinkBuffers {
public:
    UplinkBuffers();
    ~UplinkBuffers();
    UplinkBuffers(const UplinkBuffers &) = delete;
    UplinkBuffers &operator=(const UplinkBuffers &) = delete;

    // send_buffer_hex: kUplinkFrameBuf bytes, zero at construction.
    uint8_t *frame();
    // send_buffer_str: the text of the last publish(), NUL-terminated.
    const char *text() const;

    // Encodes the first `len` bytes of frame() (at most 512: what fits the
    // 1024-character text buffer), prints " \r\n mqtt_post: <text> \r\n" and
    // publishes the text on `topic` through dev_mqtt_post.  The post slot's
    // result: 1 handed to the client, 0 dropped or refused.
    int publish(const char *topic, int len);
};

// Times an UplinkBuffers was taken, for tests of the serialisation.
int uplink_buffers_taken(void);
