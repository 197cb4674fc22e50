#pragma once
// Preparing a device root that looks like a freshly provisioned box.
#include <string>

struct RootSetup {
    std::string lib;  // library the root's /iot/lib/libTelAgent.so points at ("" = leave it)
    std::string mqtt_host = "127.0.0.1";
    int mqtt_port = 1883;
};

// The provisioned /iot/conf/iot.ini for a broker.
std::string devsim_iot_ini(const std::string &host, int port);

// True for a broker host that can go into iot.ini as it is (name or address,
// no spaces, no line breaks).
bool devsim_host_ok(const std::string &host);

// Creates the directories and files of a provisioned box under root.  0 / -1;
// on -1 *err says what failed.
int devsim_create_root(const std::string &root, const RootSetup &setup, std::string *err);
