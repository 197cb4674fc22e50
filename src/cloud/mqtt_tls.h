#pragma once
// TLS to the broker (MqttTls=1 in [IotCfg]).  The broker's certificate is
// checked against the provisioned CA, host name included; the box shows its
// own certificate when both client files are provisioned.  A box without
// MqttTls=1 never reads these files and connects over plain TCP.
#include <cstddef>
#include <string>

inline constexpr const char *kMqttTlsCaFile = "/iot/conf/mqtt_ca.pem";
inline constexpr const char *kMqttTlsCertFile = "/iot/conf/mqtt_client.crt";
inline constexpr const char *kMqttTlsKeyFile = "/iot/conf/mqtt_client.key";

// Machine paths of the provisioned files; cert and key empty without mutual TLS.
struct MqttTlsFiles {
    std::string ca;
    std::string cert;
    std::string key;
};

// Finds the provisioned files.  1 when TLS can be used; 0 when it cannot (no
// readable CA, or only one of the two client files, or one unreadable): the
// reason is printed and the caller must not connect at all.
int mqtt_tls_files(MqttTlsFiles *out);

// Why a TLS connection to host:port is refused, found by one handshake of our
// own with the same checks the session makes ("certificate has expired",
// "hostname mismatch", "tlsv13 alert certificate required", ...).  The MQTT
// library says only that the handshake failed.  Waits at most about
// timeout_ms; never prints key material.
std::string mqtt_tls_probe(const std::string &host, int port, const MqttTlsFiles &files, int timeout_ms);
