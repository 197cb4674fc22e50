// Port -> peer module.  A new peer replaces the logger on its port here.
#include "peer.h"
#include "peer_logger.h"

namespace {

const PeerSlot kPeers[] = {
    {"ttyHSL1", make_logger_peer},  // bike bus behind the lock board
    {"ttyHSL2", make_logger_peer},  // main MCU / BLE bridge
    {"ttyHSL3", make_logger_peer},  // factory test tool
    {"smd7", make_logger_peer},     // modem AT port
};

}  // namespace

const PeerSlot *devsim_peer_table(size_t *count) {
    *count = sizeof kPeers / sizeof kPeers[0];
    return kPeers;
}
