#include "cloud_mqtt.h"

#include <MQTTAsync.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>

#include "platform/tcp_nodelay.h"

int64_t cloud_now_us(void) {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

struct CloudClient::State {
    MQTTAsync client = nullptr;
    std::vector<std::string> filters;
    std::mutex mu;
    std::condition_variable cv;
    std::deque<CloudMessage> queue;
    bool subscribed = false;
    bool failed = false;
    std::string why;
    int acked = 0;  // publishes the broker acknowledged
    int pub_failed = 0;
    int port = 0;  // the broker's, for TCP_NODELAY on each connection
    static constexpr size_t kQueueMax = 10000;  // a stalled reader drops, never grows without end

    void subscribe_all() {
        std::vector<char *> topics;
        std::vector<int> qos;
        for (auto &f : filters) {
            topics.push_back(const_cast<char *>(f.c_str()));
            qos.push_back(1);
        }
        MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
        ro.context = this;
        ro.onSuccess = [](void *ctx, MQTTAsync_successData *) {
            auto *s = static_cast<State *>(ctx);
            std::lock_guard<std::mutex> lk(s->mu);
            s->subscribed = true;
            s->cv.notify_all();
        };
        ro.onFailure = [](void *ctx, MQTTAsync_failureData *) {
            auto *s = static_cast<State *>(ctx);
            std::lock_guard<std::mutex> lk(s->mu);
            s->failed = true;
            s->why = "subscription refused";
            s->cv.notify_all();
        };
        const int rc = MQTTAsync_subscribeMany(client, static_cast<int>(topics.size()), topics.data(), qos.data(), &ro);
        if (rc != MQTTASYNC_SUCCESS) {
            std::lock_guard<std::mutex> lk(mu);
            failed = true;
            why = "subscribe failed (" + std::to_string(rc) + ")";
            cv.notify_all();
        }
    }
};

namespace {

int on_message(void *ctx, char *topic, int topic_len, MQTTAsync_message *m) {
    auto *s = static_cast<CloudClient::State *>(ctx);
    CloudMessage msg;
    msg.arrived_us = cloud_now_us();
    msg.topic = topic_len > 0 ? std::string(topic, static_cast<size_t>(topic_len)) : std::string(topic);
    if (m->payload != nullptr && m->payloadlen > 0)
        msg.payload.assign(static_cast<const char *>(m->payload), static_cast<size_t>(m->payloadlen));
    {
        std::lock_guard<std::mutex> lk(s->mu);
        if (s->queue.size() < CloudClient::State::kQueueMax) s->queue.push_back(std::move(msg));
        s->cv.notify_all();
    }
    MQTTAsync_freeMessage(&m);
    MQTTAsync_free(topic);
    return 1;
}

void on_lost(void *ctx, char *) {
    auto *s = static_cast<CloudClient::State *>(ctx);
    std::lock_guard<std::mutex> lk(s->mu);
    s->subscribed = false;
}

// Also after every automatic reconnect: a clean session forgot the filters.
// Requests go out at once, not after the broker's delayed acknowledgement of
// the last response's PUBACK.
void on_connected(void *ctx, char *) {
    auto *s = static_cast<CloudClient::State *>(ctx);
    tcp_nodelay_to_port(s->port);
    s->subscribe_all();
}

void on_connect_failure(void *ctx, MQTTAsync_failureData *d) {
    auto *s = static_cast<CloudClient::State *>(ctx);
    std::lock_guard<std::mutex> lk(s->mu);
    s->failed = true;
    s->why = "connection refused";
    if (d != nullptr && d->message != nullptr) s->why += std::string(": ") + d->message;
    s->cv.notify_all();
}

}  // namespace

CloudClient::CloudClient() : st_(new State) {}

CloudClient::~CloudClient() {
    if (st_->client != nullptr) {
        MQTTAsync_disconnectOptions d = MQTTAsync_disconnectOptions_initializer;
        d.timeout = 500;
        MQTTAsync_disconnect(st_->client, &d);
        usleep(100 * 1000);
        MQTTAsync_destroy(&st_->client);
    }
    delete st_;
}

int CloudClient::connect(const BrokerOptions &opt, const std::vector<std::string> &filters, int timeout_ms) {
    if (st_->client != nullptr) {
        error_ = "already connected";
        return -1;
    }
    st_->filters = filters;
    st_->port = opt.port;
    const bool tls = !opt.cafile.empty();
    if (!tls && (!opt.cert.empty() || !opt.key.empty())) {
        error_ = "--cert and --key need --cafile";
        return -1;
    }
    if (opt.cert.empty() != opt.key.empty()) {
        error_ = "--cert and --key go together";
        return -1;
    }
    const std::string uri = (tls ? "ssl://" : "tcp://") + opt.host + ":" + std::to_string(opt.port);
    const std::string id = opt.client_id.empty() ? "telagent-cloud-" + std::to_string(getpid()) : opt.client_id;
    if (MQTTAsync_create(&st_->client, uri.c_str(), id.c_str(), MQTTCLIENT_PERSISTENCE_NONE, nullptr) !=
        MQTTASYNC_SUCCESS) {
        error_ = "cannot create a client for " + uri;
        st_->client = nullptr;
        return -1;
    }
    MQTTAsync_setCallbacks(st_->client, st_, on_lost, on_message, nullptr);
    MQTTAsync_setConnected(st_->client, st_, on_connected);
    MQTTAsync_connectOptions co = MQTTAsync_connectOptions_initializer;
    co.keepAliveInterval = 30;
    co.cleansession = 1;
    co.connectTimeout = 5;
    co.automaticReconnect = 1;
    co.minRetryInterval = 1;
    co.maxRetryInterval = 10;
    if (!opt.user.empty()) co.username = opt.user.c_str();
    if (!opt.pass.empty()) co.password = opt.pass.c_str();
    co.context = st_;
    co.onFailure = on_connect_failure;
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (tls) {
        ssl.trustStore = opt.cafile.c_str();
        ssl.enableServerCertAuth = 1;
        ssl.verify = 1;
        ssl.disableDefaultTrustStore = 1;
        ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
        if (!opt.cert.empty()) {
            ssl.keyStore = opt.cert.c_str();
            ssl.privateKey = opt.key.c_str();
        }
        co.ssl = &ssl;
    }
    if (MQTTAsync_connect(st_->client, &co) != MQTTASYNC_SUCCESS) {
        error_ = "cannot connect to " + uri;
        return -1;
    }
    std::unique_lock<std::mutex> lk(st_->mu);
    const bool done = st_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                                       [&] { return st_->subscribed || st_->failed; });
    if (st_->subscribed) return 0;
    error_ = done ? st_->why + " (" + uri + ")" : "no answer from " + uri;
    return -1;
}

bool CloudClient::next(CloudMessage *out, int timeout_ms) {
    std::unique_lock<std::mutex> lk(st_->mu);
    auto ready = [&] { return !st_->queue.empty(); };
    if (timeout_ms < 0) {
        st_->cv.wait(lk, ready);
    } else if (!st_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready)) {
        return false;
    }
    *out = std::move(st_->queue.front());
    st_->queue.pop_front();
    return true;
}

int CloudClient::publish(const std::string &topic, const std::string &payload, int timeout_ms) {
    if (st_->client == nullptr) return -1;
    MQTTAsync_responseOptions ro = MQTTAsync_responseOptions_initializer;
    ro.context = st_;
    ro.onSuccess = [](void *ctx, MQTTAsync_successData *) {
        auto *s = static_cast<State *>(ctx);
        std::lock_guard<std::mutex> lk(s->mu);
        ++s->acked;
        s->cv.notify_all();
    };
    ro.onFailure = [](void *ctx, MQTTAsync_failureData *) {
        auto *s = static_cast<State *>(ctx);
        std::lock_guard<std::mutex> lk(s->mu);
        ++s->pub_failed;
        s->cv.notify_all();
    };
    MQTTAsync_message m = MQTTAsync_message_initializer;
    m.payload = const_cast<char *>(payload.data());
    m.payloadlen = static_cast<int>(payload.size());
    m.qos = 1;
    m.retained = 0;
    int acked0, failed0;
    {
        std::lock_guard<std::mutex> lk(st_->mu);
        acked0 = st_->acked;
        failed0 = st_->pub_failed;
    }
    if (MQTTAsync_sendMessage(st_->client, topic.c_str(), &m, &ro) != MQTTASYNC_SUCCESS) return -1;
    std::unique_lock<std::mutex> lk(st_->mu);
    st_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                     [&] { return st_->acked > acked0 || st_->pub_failed > failed0; });
    return st_->acked > acked0 ? 0 : -1;
}
