#pragma once
// The simulated modem's QMI services beyond the basics of modem_qmi: device
// identity (DMS), the SIM card and its PIN (UIM), network details (NAS) and
// data profiles and calls (WDS), with the scenario keys that shape them.
// Everything works on ModemState, so the AT port sees the same modem.
#include <cstdint>
#include <string>

#include "modem/modem_state.h"
#include "platform/qmi_services_v01.h"

// EF contents for an ICCID / IMSI given as digits (3GPP TS 31.102 coding:
// ICCID nibble-swapped with an F filler for an odd count; IMSI with its length
// byte and parity nibble).
std::string modem_iccid_ef(const std::string &digits);
std::string modem_imsi_ef(const std::string &digits);

// Scenario and control keys of this part of the modem: 1 used, 0 bad value,
// -1 not a key of ours.
int modem_services_configure(ModemData &d, const std::string &key, const std::string &value);
// Keys whose values live in the persistent store.
bool modem_services_persistent_key(const std::string &key);

// Store lines of the data profiles, and one line's parse ("profile" lines).
std::string modem_profiles_store_text(const ModemData &d);
void modem_profile_store_parse(const std::string &index, const std::string &rest, ModemData *d);

// Data calls: the earliest due time of a connecting call (-1 for none), and
// the network's answer to every call due at now_ms.
int64_t modem_calls_next_due(const ModemData &d);
void modem_calls_step(ModemData &d, int64_t now_ms);
// Ends every call of a client that went away.
void modem_calls_end_owner(ModemState &st, uint32_t owner);
int64_t modem_now_ms();

// System mode (-1 none, 2 CDMA, 3 GSM, 4 HDR, 5 WCDMA, 9 LTE, 11 TD-SCDMA) and
// bearer technology (data services' numbering) that the cell service implies.
int modem_sys_mode(const ModemData &d);
int modem_bearer_tech(const ModemData &d);

// Answer of a request of ours; false when the message is not one of ours.
bool modem_services_answer(ModemState &st, uint8_t service, uint16_t msg_id, const std::string &req, uint32_t owner,
                           std::string *resp);
// WDS packet-service indication for a call event.
std::string modem_pkt_srvc_ind(const ModemEvent &e);
// WDS QoS indication for a QoS event.
std::string modem_qos_ind(const ModemEvent &e);
// Serving-system extras (roaming, PLMN) for the current state.
nas_serving_system_extra_v01 modem_serving_extra(const ModemData &d);
