#pragma once
// The operator's side of the broker: one Paho asynchronous client used
// synchronously.  Connect, subscribe, take arrived messages one by one, and
// publish (what the request command will send).  Reconnects by itself and
// subscribes again after a broker restart, so a watch survives an outage.
#include <cstdint>
#include <string>
#include <vector>

struct BrokerOptions {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string user;
    std::string pass;
    std::string client_id;  // "" : telagent-cloud-<pid>
    // TLS as the mosquitto clients take it: --cafile turns it on (the broker's
    // certificate and host name are checked), --cert/--key add our own.
    std::string cafile;
    std::string cert;
    std::string key;
};

struct CloudMessage {
    std::string topic;
    std::string payload;
    int64_t arrived_us = 0;  // steady clock
};

class CloudClient {
public:
    CloudClient();
    ~CloudClient();
    CloudClient(const CloudClient &) = delete;
    CloudClient &operator=(const CloudClient &) = delete;

    // 0 when connected and every filter subscribed within timeout_ms, else -1
    // with error() set.  Filters are subscribed again on every reconnect.
    int connect(const BrokerOptions &opt, const std::vector<std::string> &filters, int timeout_ms);
    // Next arrived message; false when none arrived within timeout_ms
    // (negative: wait forever).
    bool next(CloudMessage *out, int timeout_ms);
    // QoS 1, not retained; 0 when the broker acknowledged within timeout_ms.
    int publish(const std::string &topic, const std::string &payload, int timeout_ms);
    const std::string &error() const { return error_; }

    struct State;  // shared with the library's callbacks

private:
    State *st_;
    std::string error_;
};

int64_t cloud_now_us(void);
