#pragma once
// Downlink requests: the cloud receive handler, the pool of 20 request
// buffers, the single cloud request task, the command table, the extra-data
// query, firmware updates (OTA) and the self-update of the service library.
//
// The receive handler runs on the MQTT library's threads and only decodes and
// queues; everything else runs on the task, one request at a time, in arrival
// order.  Responses are built in the shared uplink buffers (uplink_buffer.h).
#include <cstddef>
#include <cstdint>

// ---- pool and task -------------------------------------------------------------

inline constexpr int kCloudBufCount = 20;
inline constexpr size_t kCloudTopicLen = 128;
inline constexpr size_t kCloudDataLen = 1024;
// Longest payload text taken from the cloud (two characters per byte).
inline constexpr int kCloudPayloadMax = 2048;
// Longest request id (the last topic level).
inline constexpr size_t kRequestIdMax = 31;

// Cloud receive handler, called on the MQTT library's thread for every message:
// decodes the hex text into a free buffer and wakes the task.  1 when queued,
// 0 when ignored or dropped (pool full).
int dev_yun_recv_handler(const char *topic, const char *payload, int len);
// Creates the request pool and starts the cloud request task (once).  1.
int init_orlin_handle(void);
// The pool alone, without the task (tests and the fuzz target run requests
// with handle_cloud_recv_task on their own thread).  1.
int init_orlin_pool(void);
// Task body: waits for queued requests (10 s time-out) and runs them.
void *handle_cloud_recv_loop(void *arg);
// Runs every ready request, oldest first, until none is left.  Returns the
// number of requests taken out of the pool.
int handle_cloud_recv_task(void);
// Buffers in state 0 (free), for tests and diagnostics.
int cloud_free_buffers(void);

// ---- request parsing (also driven by the fuzz target) -------------------------

enum cloud_kind_t { CLOUD_NONE = 0, CLOUD_EXTRA_DATA, CLOUD_CMD, CLOUD_OTA, CLOUD_ADV };

// Splits ".../<kind>/request/<id>": the kind is the level before "request",
// the id the level after it (the last level; a longer one is cut to 31
// characters).  Returns the kind, CLOUD_NONE when there is no "request" level
// or the id is empty or unusable (*why is then "!pos" or "!ret").
cloud_kind_t cloud_topic_parse(const char *topic, char id[kRequestIdMax + 1], const char **why);

struct cmd_request_t {
    uint8_t ident[4];   // bytes 4-7, echoed
    uint8_t tag;        // byte 8, echoed
    uint16_t CmdId;
    uint16_t body_len;
    const uint8_t *body;  // points into the frame
};
// 1 when the frame holds a whole command request (header, id, CmdId, length
// and every body byte the length announces), else 0.
int parse_cmd_request(const uint8_t *f, int len, cmd_request_t *out);

struct ota_request_t {
    uint8_t version[4];  // header bytes
    uint8_t ident[4];
    uint8_t target;
    uint16_t body_len;
    const uint8_t *body;
    int has_mcu_id;
    uint8_t mcu_id;      // motor controller requests: 1 HM52, else KD11 (0 when absent)
};
// 1 when the frame holds a whole OTA request; a motor controller request
// without the controller id byte after the body takes id 0 (KD11).
int parse_ota_request(const uint8_t *f, int len, ota_request_t *out);

// ---- helpers -----------------------------------------------------------------------

// Reverses `len` bytes in place.
void ReverseTab(uint8_t *buf, int len);

// Splits an OTA URL.  host: at least 64 bytes, path: at least 256 bytes.
// "https://host/path" (port 80) or "http://host:port/path"; host 1..63
// printable characters (32..122, no '*' or '/'), port 1..65535, path from the
// first "/" (at most 255 characters).  1, or 0 with nothing usable.
int get_url_info(const char *url, char *host, uint16_t *port, char *path);

// Switch servers: applies a reversed body "host:port[,user,password]" (as it
// arrives, reversed in place here) to the broker settings.  Nothing is stored
// unless host and port are valid.  1 when stored, else 0.
int handle_switch_servers(uint8_t *body, int len);

// Packs an ICCID (the first 20 characters; a shorter one padded with '0')
// into 10 bytes, two digits a byte, first digit in the high nibble.
void pack_iccid(const char *iccid, uint8_t out[10]);

// OTA-in-progress flag lives in core (get_ota_mode / set_ota_mode).

// Device path of the library the self-update writes, chosen from the library
// actually running (load type 2 = libTelAgentEx.so runs).
const char *self_update_target(int load_type);
