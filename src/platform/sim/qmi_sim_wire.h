#pragma once
// Simulation transport between the agent's QMI framework stand-in and the
// modem of the device simulator: a Unix stream socket under the device root,
// one connection per client or notifier.  Every frame is a fixed header
// followed by `len` payload bytes (the message structure as it is; both ends
// run on the same machine, so native byte order).
//
//   client -> modem   HELLO     service, msg_id = role            (first frame)
//   modem  -> client  HELLO_ACK status 0, or NO_SERVICE            (then closes)
//   client -> modem   REQUEST   service, msg_id, txn, payload
//   modem  -> client  RESPONSE  same txn, payload
//   modem  -> client  INDICATION msg_id, payload
//   modem  -> either  SERVICE_EVENT msg_id = UP / DOWN (a client connection
//                     is closed after DOWN)
#include <cstdint>

namespace qmi_sim {

// Device path; resolved under the device root.
inline constexpr const char *kSocketPath = "/var/devsim/qmi.sock";
inline constexpr uint32_t kMagic = 0x31494D51u;  // "QMI1"
inline constexpr uint32_t kMaxPayload = 4096;

enum Kind : uint8_t {
    kHello = 1,
    kHelloAck = 2,
    kRequest = 3,
    kResponse = 4,
    kIndication = 5,
    kServiceEvent = 6,
};

enum Role : uint16_t { kRoleClient = 1, kRoleNotifier = 2 };
enum Event : uint16_t { kServiceUp = 1, kServiceDown = 2 };
enum Status : int32_t { kOk = 0, kNoService = 1 };

#pragma pack(push, 1)
struct Header {
    uint32_t magic;
    uint32_t len;
    uint8_t kind;
    uint8_t service;
    uint16_t msg_id;
    uint32_t txn;
    int32_t status;
};
#pragma pack(pop)
static_assert(sizeof(Header) == 20, "wire header is 20 bytes");

// A header that can be trusted to size the read of its payload.
inline bool header_ok(const Header &h) {
    return h.magic == kMagic && h.len <= kMaxPayload && h.kind >= kHello && h.kind <= kServiceEvent;
}

}  // namespace qmi_sim
