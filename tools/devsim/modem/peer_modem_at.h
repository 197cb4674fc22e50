#pragma once
// The modem on the AT port (smd7): echo, the commands the agent and its modem
// library send, answers shaped as 3GPP TS 27.007 answers, and the scenario
// behaviours (silent, slow, noisy, overlong).  It also starts the modem's
// QMI services (modem_qmi) on the same modem state and registers the
// "modem" control commands.
#include <string>

#include "modem/modem_state.h"
#include "core/peer.h"

std::unique_ptr<Peer> make_modem_at_peer(PeerLine &line);

// Longest command line the modem takes; a longer one is answered with ERROR.
inline constexpr size_t kModemAtLineMax = 512;

// Runs one command line (without its line end) on the modem; the answer as
// it goes on the wire (without the echo).
std::string modem_at_execute(ModemState &st, const std::string &line);

// Splits AT arguments at commas outside double quotes and removes the quotes.
// False on an unterminated quote.
bool modem_at_args(const std::string &text, std::vector<std::string> *out);
