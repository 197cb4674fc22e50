// Port -> peer module.  A new peer replaces the logger on its port here.
#include "core/frame_link.h"
#include "core/peer.h"
#include "bike/peer_bike.h"
#include "core/peer_logger.h"
#include "factory/peer_factory.h"
#include "mcu/peer_mcu.h"
#include "modem/peer_modem_at.h"

namespace {

const PeerSlot kPeers[] = {
    {"ttyHSL1", make_bike_peer},  // bike bus behind the lock board
    {"ttyHSL2", make_mcu_peer},  // main MCU / BLE bridge, bike power key
    {"ttyHSL3", make_factory_peer},  // factory / dealer test tool
    {"smd7", make_modem_at_peer},   // modem AT port (and its QMI services)
};

}  // namespace

const PeerSlot *devsim_peer_table(size_t *count) {
    *count = sizeof kPeers / sizeof kPeers[0];
    return kPeers;
}
