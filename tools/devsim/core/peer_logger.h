#pragma once
// Placeholder peer: records what the agent sends and never answers.  Ports
// keep it until their real peer module exists.
#include "core/peer.h"

std::unique_ptr<Peer> make_logger_peer(PeerLine &line);
