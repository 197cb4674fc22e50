#include "cloud/mqtt_handle.h"
#include "cloud/mqtt_tls.h"
#include "core/health_mark.h"
#include "core/tavi_common.h"

#include <MQTTAsync.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "core/iot_config.h"
#include "core/logging.h"
#include "lte/lte_handle.h"
#include "platform/plat_clock.h"
#include "platform/plat_thread.h"
#include "platform/tcp_nodelay.h"

namespace {

// Connection parameters of the box.
constexpr int kConnectTimeoutS = 3;
constexpr int kRetryIntervalS = 5;
constexpr int kMinRetryS = 1;
constexpr int kMaxRetryS = 60;
constexpr int kMaxInflight = 65535;
constexpr int kQos = 1;

// Supervisor rules.
constexpr int kRedialAfter = 20;    // above this many failed passes: reconnect
constexpr int kForcedCount = 26;    // "reconnect now"
constexpr int kLteRestartAfter = 4; // above this many reconnects in a row: restart LTE

// Teardown waits (real time, never the agent's clock: the library runs on its own).
// Our connect may still be answered after one full attempt per protocol level
// the library tries (3.1.1, then 3.1).
constexpr int kConnectAnswerWaitMs = (2 * kConnectTimeoutS + 2) * 1000;
constexpr int kDisconnectTimeoutMs = 1000;
constexpr int kDisconnectAnswerWaitMs = kDisconnectTimeoutMs + 2000;
// The library touches its client for a moment after a callback returns; give
// it that moment before the client is freed.
constexpr int kSettleMs = 50;
constexpr int kSettleMaxMs = 1000;
// How long a teardown waits for a running callback (a receive handler may be
// slow) before it leaves the old client to a reaper thread and goes on.
constexpr int kDrainWaitMs = 2000;
// Callbacks in progress, counted per generation (slot gen % kGenSlots), so that
// a client left to a reaper does not hold up the next one's teardown.
constexpr int kGenSlots = 16;

constexpr const char *kIotRespTopic = "/iotresp";
constexpr const char *kReqTopicFmt[4] = {
    "zt/ebike/devices/%s/extra_data/request/+",
    "zt/ebike/devices/%s/cmd/request/+",
    "zt/ebike/devices/%s/ota/request/+",
    "zt/ebike/devices/%s/adv/request/+",
};

enum ClientState : int { kNone = 0, kConnecting, kConnected, kDestroying };

// ---- module state ------------------------------------------------------

std::atomic<mqtt_recv_cb_t> mqtt_callback{nullptr};
std::atomic<bool> g_inited{false};
// The MQTT lock.  Recursive because connect_mqtt holds it while the table
// slot it calls takes it again.
std::recursive_mutex mqtt_mutex;
// Serialises creating and tearing down clients, so that there is one client at
// a time, without the MQTT lock being held while a teardown waits for the
// library.  Taken before the MQTT lock, never by a callback.  Recursive for
// the same reason as the MQTT lock.
std::recursive_mutex life_mutex;

// Supervisor flags and counters: written by callbacks, read without the lock.
std::atomic<int> mqtt_onSubscribel_success{0};
std::atomic<int> mqtt_force_redial{0};
std::atomic<int32_t> mqtt_failed_count{0};
std::atomic<int32_t> mqtt_retry_count{0};

// The client.  Mqtt_Client is only touched under the MQTT lock; callbacks
// reach the same handle through g_cb_handle while their generation is live.
MQTTAsync Mqtt_Client = nullptr;
std::atomic<MQTTAsync> g_cb_handle{nullptr};
std::atomic<int> g_state{kNone};
std::atomic<int> g_clients{0};
// The live client's connection as its callbacks reported it; what a callback
// is told instead of asking the library, which is not safe from inside one.
std::atomic<int> g_lib_connected{0};

// Every client gets a new generation, handed to its callbacks as their
// context.  g_live_gen is the one generation whose callbacks may act; 0 while
// no client may be used (none, or being torn down).
std::atomic<intptr_t> g_next_gen{0};
std::atomic<intptr_t> g_cur_gen{0};
std::atomic<intptr_t> g_live_gen{0};
std::atomic<intptr_t> g_connect_answered{0};  // generation whose connect was answered
std::atomic<intptr_t> g_disconnect_answered{0};
std::atomic<intptr_t> g_lost_gen{0};          // generation that saw a loss
std::atomic<int> g_in_callback[kGenSlots];
std::atomic<int64_t> g_last_callback_ms{0};
thread_local intptr_t tl_callback_gen = 0;    // non-zero inside a callback

// Arrived requests wait here for the receive handler, which runs on a thread
// of ours: the library holds its own lock around a message callback, so a
// handler that blocked there would stop every publisher and the supervisor.
constexpr size_t kInboxSlots = 20;
struct Inbox {
    std::mutex mu;
    std::condition_variable cv;
    std::array<std::string, kInboxSlots> topic;
    std::array<std::string, kInboxSlots> payload;
    size_t head = 0, count = 0;
};
Inbox &inbox() {
    static Inbox *box = new Inbox;  // never destroyed: the thread outlives exit
    return *box;
}
std::once_flag g_inbox_thread_once;

void inbox_loop() {
    Inbox &b = inbox();
    for (;;) {
        std::string topic, payload;
        {
            std::unique_lock<std::mutex> lk(b.mu);
            b.cv.wait(lk, [&b] { return b.count > 0; });
            topic.swap(b.topic[b.head]);
            payload.swap(b.payload[b.head]);
            b.head = (b.head + 1) % kInboxSlots;
            --b.count;
        }
        mqtt_recv_cb_t handler = mqtt_callback.load();
        if (handler != nullptr) handler(topic.c_str(), payload.c_str(), static_cast<int>(payload.size()));
    }
}

// False when the inbox is full (the handler is stuck): the request is dropped.
bool inbox_push(const char *topic, const void *data, int len) {
    std::call_once(g_inbox_thread_once, [] { plat_thread("mqtt-inbox", inbox_loop).detach(); });
    Inbox &b = inbox();
    {
        std::lock_guard<std::mutex> lk(b.mu);
        if (b.count == kInboxSlots) return false;
        const size_t i = (b.head + b.count) % kInboxSlots;
        b.topic[i].assign(topic);
        b.payload[i].assign(static_cast<const char *>(data), static_cast<size_t>(len));
        ++b.count;
    }
    b.cv.notify_one();
    return true;
}

// Text records shared with the callbacks.
std::mutex rec_mutex;
char Imei_Buf[20];
char IotReqTopic_Buf[128];

// Strings the client may read for as long as it exists (automatic reconnect
// reuses the connect options).
struct ConnStrings {
    char uri[96];
    char clientid[32];
    char username[32];
    char password[32];
    char ca[256];
    char cert[256];
    char key[256];
};
ConnStrings g_conn;

// TLS sessions: the generation whose handshake failed and is not reported
// yet, what the library said about it, and where it was going.  The
// supervisor reports it once, on its thread, before it dials again.
std::atomic<intptr_t> g_tls_gen{0};
std::atomic<intptr_t> g_tls_failed_gen{0};
std::mutex tls_mutex;
std::string g_tls_library_says;
std::string g_tls_host;
int g_tls_port = 0;
MqttTlsFiles g_tls_files;
constexpr int kTlsProbeTimeoutMs = 3000;

int64_t real_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

template <class F>
bool wait_real(F done, int timeout_ms) {
    const int64_t end = real_ms() + timeout_ms;
    while (!done()) {
        if (real_ms() >= end) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void *gen_ctx(intptr_t gen) { return reinterpret_cast<void *>(gen); }
intptr_t ctx_gen(void *ctx) { return reinterpret_cast<intptr_t>(ctx); }

// Entered by every callback.  Paired with the teardown's "close, then drain":
// either the callback sees its generation closed and leaves the client alone,
// or the teardown sees it running and waits for it.  Only live callbacks stay
// counted, so a flood of messages to a closed client never holds a teardown up.
class CallbackScope {
public:
    explicit CallbackScope(void *ctx) : gen_(ctx_gen(ctx)) {
        std::atomic<int> &count = g_in_callback[slot_of(gen_)];
        count.fetch_add(1);
        live_ = gen_ != 0 && g_live_gen.load() == gen_;
        if (!live_) count.fetch_sub(1);
        tl_callback_gen = gen_;
    }
    ~CallbackScope() {
        tl_callback_gen = 0;
        g_last_callback_ms.store(real_ms());
        if (live_) g_in_callback[slot_of(gen_)].fetch_sub(1);
    }
    static size_t slot_of(intptr_t gen) { return static_cast<size_t>(gen) % kGenSlots; }
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;
    bool live() const { return live_; }
    intptr_t gen() const { return gen_; }

private:
    intptr_t gen_;
    bool live_ = false;
};

// Access to the client for code that may also run inside a callback (the
// receive handler publishing an answer or asking for the session state).
// Elsewhere it is the MQTT lock.  Inside a callback it must not wait for that
// lock: its holders call into the library, which holds its own lock around
// the callback, and a teardown holding it waits for the callback to return.
// There the callback's own scope pins the client instead: while its
// generation is live, a teardown waits for the callback before destroying.
class ClientAccess {
public:
    ClientAccess() {
        const intptr_t gen = tl_callback_gen;
        if (gen == 0) {
            mqtt_mutex.lock();
            locked_ = true;
            client_ = Mqtt_Client;
        } else if (g_live_gen.load() == gen) {
            client_ = g_cb_handle.load();
        }
    }
    ~ClientAccess() {
        if (locked_) mqtt_mutex.unlock();
    }
    ClientAccess(const ClientAccess &) = delete;
    ClientAccess &operator=(const ClientAccess &) = delete;
    // The client, or nullptr when there is none or it is being torn down.
    MQTTAsync client() const { return client_; }
    bool in_callback() const { return !locked_; }

private:
    bool locked_ = false;
    MQTTAsync client_ = nullptr;
};

void copy_imei(char *dst, size_t size) {
    std::lock_guard<std::mutex> lk(rec_mutex);
    snprintf(dst, size, "%s", Imei_Buf);
}

// ---- callbacks (library threads) ---------------------------------------

// Request topics the live client has confirmed.
std::atomic<int> g_topics_confirmed{0};

void onSubscribe_Success(void *context, MQTTAsync_successData *) {
    CallbackScope cb(context);
    if (!cb.live()) return;
    mqtt_failed_count.store(0);
    mqtt_onSubscribel_success.store(1);
    set_dial_mqtt_success();
    // All four: the box can be reached again, which is what the host's trial
    // of a new library waits for.
    if (g_topics_confirmed.fetch_add(1) + 1 == 4) mark_health();
}

void onSubscribe_Failure(void *context, MQTTAsync_failureData *response) {
    CallbackScope cb(context);
    if (!cb.live()) return;
    printf("Subscribe failed, rc %d\n", response ? response->code : 0);
    mqtt_onSubscribel_success.store(0);
    mqtt_force_redial.store(1);
}

// Port of the broker the live client connects to.
std::atomic<int> g_broker_port{0};

void onConnect_Success(void *context, MQTTAsync_successData *) {
    CallbackScope cb(context);
    g_connect_answered.store(cb.gen());
    if (!cb.live()) return;
    tcp_nodelay_to_port(g_broker_port.load());
    g_state.store(kConnected);
    g_lib_connected.store(1);
    MQTTAsync client = g_cb_handle.load();
    char imei[sizeof Imei_Buf];
    copy_imei(imei, sizeof imei);
    for (int i = 0; i < 4; ++i) {
        char topic[sizeof IotReqTopic_Buf];
        {
            std::lock_guard<std::mutex> lk(rec_mutex);
            snprintf(IotReqTopic_Buf, sizeof IotReqTopic_Buf, kReqTopicFmt[i], imei);
            memcpy(topic, IotReqTopic_Buf, sizeof topic);
        }
        switch (i) {
            case 0: printf(" %d /%s : extra data topic:%s\n", __LINE__, __func__, topic); break;
            case 1:
                printf(" %d /%s : cmd topic:%s\n", __LINE__, __func__, topic);
                mlog(LOG_TRACE, " %d /%s : cmd topic:%s\n", __LINE__, __func__, topic);
                break;
            case 2: printf(" %d /%s : ota topic:%s\n", __LINE__, __func__, topic); break;
            default: printf(" %d /%s : adv topic:%s\n", __LINE__, __func__, topic); break;
        }
        MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
        opts.onSuccess = onSubscribe_Success;
        opts.onFailure = onSubscribe_Failure;
        opts.context = context;
        const int rc = MQTTAsync_subscribe(client, topic, kQos, &opts);
        if (rc != MQTTASYNC_SUCCESS) {
            printf("Failed to start subscribe, return code %d\n", rc);
            mqtt_force_redial.store(1);
        }
    }
}

// The library's TLS layer, once per error line (twice per attempt when it
// retries with the older protocol level): the first line of an attempt is kept.
int onTls_Error(const char *str, size_t len, void *u) {
    const intptr_t gen = ctx_gen(u);
    if (gen == g_tls_gen.load() && str != nullptr) {
        std::lock_guard<std::mutex> lk(tls_mutex);
        if (g_tls_library_says.empty()) {
            std::string line(str, len);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
            g_tls_library_says = line;
        }
    }
    return 1;
}

void onConnect_Failure(void *context, MQTTAsync_failureData *response) {
    CallbackScope cb(context);
    g_connect_answered.store(cb.gen());
    if (!cb.live()) return;
    if (cb.gen() == g_tls_gen.load()) {
        {
            std::lock_guard<std::mutex> lk(tls_mutex);
            if (g_tls_library_says.empty() && response != nullptr && response->message != nullptr) {
                g_tls_library_says = response->message;
            }
        }
        g_tls_failed_gen.store(cb.gen());
    }
    mlog(LOG_DEBUG, "%d/%s connect failed, rc %d\n", __LINE__, __func__, response ? response->code : 0);
    g_lib_connected.store(0);
    mqtt_onSubscribel_success.store(0);
    mqtt_force_redial.store(1);
}

void MQTT_Connect_Lost(void *context, char *cause) {
    CallbackScope cb(context);
    if (!cb.live()) return;
    mlog(LOG_DEBUG, "%d/%s connection lost: %s\n", __LINE__, __func__, cause ? cause : "");
    g_lost_gen.store(cb.gen());
    g_state.store(kConnecting);
    g_lib_connected.store(0);
    mqtt_onSubscribel_success.store(0);
    mqtt_force_redial.store(1);
}

// The library's own reconnect after a loss gives a clean session without
// subscriptions.  The supervisor builds every usable session itself, so such a
// session only asks for a redial; publishing stays off until then.
void onConnected(void *context, char *) {
    CallbackScope cb(context);
    if (!cb.live() || g_lost_gen.load() != cb.gen()) return;
    tcp_nodelay_to_port(g_broker_port.load());
    g_lib_connected.store(1);
    mlog(LOG_DEBUG, "%d/%s automatic reconnect, redial requested\n", __LINE__, __func__);
    mqtt_force_redial.store(1);
}

void onDisconnect_Done(void *context, MQTTAsync_successData *) {
    CallbackScope cb(context);
    g_disconnect_answered.store(cb.gen());
}

void onDisconnect_Failed(void *context, MQTTAsync_failureData *) {
    CallbackScope cb(context);
    g_disconnect_answered.store(cb.gen());
}

int MQTT_Message_Arrivd(void *context, char *topicName, int topicLen, MQTTAsync_message *message) {
    CallbackScope cb(context);
    (void)topicLen;
    // Every message is taken as handled and freed here: handing one back to
    // the library (0) makes it deliver the same message again at once, for ever.
    if (message == nullptr) {
        printf("%d/%s : message is NULL\n", __LINE__, __func__);
        MQTTAsync_free(topicName);
        return 1;
    }
    if (message->payload == nullptr || message->payloadlen <= 0) {
        printf("%d/%s : message payload is NULL\n", __LINE__, __func__);
        MQTTAsync_freeMessage(&message);
        MQTTAsync_free(topicName);
        return 1;
    }
    printf("%d/%s : msg len:%d\n", __LINE__, __func__, message->payloadlen);
    if (cb.live()) {
        mqtt_failed_count.store(0);
        // The handler takes the payload as text: it gets a terminated copy,
        // on the inbox thread.
        if (mqtt_callback.load() != nullptr && topicName != nullptr &&
            !inbox_push(topicName, message->payload, message->payloadlen)) {
            printf("%d/%s : receive handler busy, request dropped\n", __LINE__, __func__);
        }
    }
    MQTTAsync_freeMessage(&message);
    MQTTAsync_free(topicName);
    return 1;
}

// ---- teardown ----------------------------------------------------------

// Waits for the callbacks of one generation to return; false when some are
// still running after `limit_ms` (a negative limit waits for ever).
bool drain_callbacks(intptr_t gen, int limit_ms) {
    const std::atomic<int> &count = g_in_callback[CallbackScope::slot_of(gen)];
    const int64_t end = real_ms() + limit_ms;
    while (count.load() != 0) {
        if (limit_ms >= 0 && real_ms() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Takes the client out of use under the MQTT lock: from here on no publisher
// and no callback reaches it.  Returns it (nullptr when there was none).
MQTTAsync detach_locked(intptr_t *gen) {
    mqtt_onSubscribel_success.store(0);
    MQTTAsync client = Mqtt_Client;
    if (client == nullptr) return nullptr;
    *gen = g_cur_gen.load();
    g_state.store(kDestroying);
    g_live_gen.store(0);
    g_lib_connected.store(0);
    Mqtt_Client = nullptr;
    g_cb_handle.store(nullptr);
    return client;
}

void finish_client(MQTTAsync client, intptr_t gen, const char *fn, bool may_defer);

// A callback still running (a receive handler that blocks) must not hold up
// the supervisor: the rest of the teardown goes to a thread of its own, which
// frees the client once the callback has returned.
void defer_finish(MQTTAsync client, intptr_t gen, const char *fn) {
    mlog(LOG_ERROR, "%d/%s callback still running, client left to a reaper\n", __LINE__, fn);
    plat_thread("mqtt-reaper", [client, gen, fn] { finish_client(client, gen, fn, false); }).detach();
}

// Ends a detached client: every wait is bounded, none under the MQTT lock.
// With may_defer false (the reaper) only the wait for running callbacks is
// unbounded: freeing a client under its callback is the one thing that must
// not happen.
void finish_client(MQTTAsync client, intptr_t gen, const char *fn, bool may_defer) {
    const int drain_limit = may_defer ? kDrainWaitMs : -1;
    if (!drain_callbacks(gen, drain_limit)) return defer_finish(client, gen, fn);

    // Destroying a client while its connect is unanswered has crashed inside
    // the library: let our attempt end first.
    if (!wait_real([gen] { return g_connect_answered.load() == gen; }, kConnectAnswerWaitMs)) {
        mlog(LOG_ERROR, "%d/%s connect not answered in %d ms\n", __LINE__, fn, kConnectAnswerWaitMs);
    }
    if (!drain_callbacks(gen, drain_limit)) return defer_finish(client, gen, fn);

    char topic[sizeof IotReqTopic_Buf];
    {
        std::lock_guard<std::mutex> lk(rec_mutex);
        memcpy(topic, IotReqTopic_Buf, sizeof topic);
    }
    // An empty topic (nothing subscribed yet) is a protocol error the broker
    // answers by dropping the connection: never send it.
    if (topic[0] != '\0' && MQTTAsync_unsubscribe(client, topic, nullptr) == MQTTASYNC_SUCCESS) {
        printf("%s MQTTAsync_unsubscribe success\n", fn);
    } else {
        printf("%s MQTTAsync_unsubscribe failed\n", fn);
    }

    // A clean disconnect stops the traffic, so no message callback is pending
    // when the client goes away.
    if (MQTTAsync_isConnected(client)) {
        MQTTAsync_disconnectOptions opts = MQTTAsync_disconnectOptions_initializer;
        opts.timeout = kDisconnectTimeoutMs;
        opts.onSuccess = onDisconnect_Done;
        opts.onFailure = onDisconnect_Failed;
        opts.context = gen_ctx(gen);
        if (MQTTAsync_disconnect(client, &opts) == MQTTASYNC_SUCCESS) {
            wait_real([gen] { return g_disconnect_answered.load() == gen; }, kDisconnectAnswerWaitMs);
        }
    }

    const int64_t settle_end = real_ms() + kSettleMaxMs;
    for (;;) {
        if (!drain_callbacks(gen, drain_limit)) return defer_finish(client, gen, fn);
        if (real_ms() - g_last_callback_ms.load() >= kSettleMs || real_ms() >= settle_end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!drain_callbacks(gen, drain_limit)) return defer_finish(client, gen, fn);

    // Queued and unacknowledged messages are freed here, with the client.
    MQTTAsync_destroy(&client);
    g_clients.fetch_sub(1);
    int expected = kDestroying;
    g_state.compare_exchange_strong(expected, kNone);
}

// Tears the current client down: detached under the MQTT lock, ended outside
// it, so publishers and status readers never wait for the library.
void teardown(const char *fn) {
    std::lock_guard<std::recursive_mutex> life(life_mutex);
    intptr_t gen = 0;
    MQTTAsync client = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lk(mqtt_mutex);
        client = detach_locked(&gen);
    }
    if (client != nullptr) finish_client(client, gen, fn, true);
    mqtt_onSubscribel_success.store(0);
}

}  // namespace

// ---- table slots -------------------------------------------------------

int hostcore_mqtt_connect(mqtt_conf_t *conf) {
    if (conf == nullptr) return -1;
    if (tl_callback_gen != 0) return -1;  // never create a client from a library thread
    std::lock_guard<std::recursive_mutex> life(life_mutex);
    std::lock_guard<std::recursive_mutex> lk(mqtt_mutex);
    // A client still here is torn down, never just forgotten: a forgotten one
    // keeps its connection, its threads and its memory.  connect_mqtt has done
    // that already; one that slipped in since goes to a reaper, since nothing
    // may be waited for under the lock.
    {
        intptr_t old_gen = 0;
        if (MQTTAsync old = detach_locked(&old_gen)) defer_finish(old, old_gen, "free_mqtt");
    }

    char clientid[32];
    memset(clientid, 0, sizeof clientid);
    if (get_imei(clientid) < 10 || strlen(clientid) < 10) return -1;
    char imei[sizeof Imei_Buf];
    memset(imei, 0, sizeof imei);
    if (get_imei(imei) < 10 || strnlen(imei, sizeof imei) < 10) {
        mlog(LOG_ERROR, " %d /%s  get imei failed:\n", __LINE__, __func__);
        return -1;
    }
    imei[sizeof imei - 1] = '\0';
    {
        std::lock_guard<std::mutex> rl(rec_mutex);
        memset(Imei_Buf, 0, sizeof Imei_Buf);
        memcpy(Imei_Buf, imei, sizeof Imei_Buf);
    }

    // MqttTls=1 without its files is an error, never a plain connection.
    const bool tls = get_mqtt_tls() == 1;
    MqttTlsFiles files;
    if (tls && mqtt_tls_files(&files) != 1) return -1;

    memset(&g_conn, 0, sizeof g_conn);
    char host[sizeof conf->hostip + 1];
    memcpy(host, conf->hostip, sizeof conf->hostip);
    host[sizeof conf->hostip] = '\0';
    if (tls && (files.ca.size() >= sizeof g_conn.ca || files.cert.size() >= sizeof g_conn.cert ||
                files.key.size() >= sizeof g_conn.key)) {
        printf(" %d /%s TLS file paths too long: no connection to the broker\n", __LINE__, __func__);
        return -1;
    }
    const int n = snprintf(g_conn.uri, sizeof g_conn.uri, "%s://%s:%d", tls ? "ssl" : "tcp", host,
                           static_cast<int>(conf->port));
    if (n <= 0 || static_cast<size_t>(n) >= sizeof g_conn.uri) return -1;
    g_broker_port.store(static_cast<int>(conf->port));
    snprintf(g_conn.clientid, sizeof g_conn.clientid, "%s", clientid);
    memcpy(g_conn.username, conf->username, sizeof g_conn.username - 1);
    memcpy(g_conn.password, conf->password, sizeof g_conn.password - 1);

    MQTTAsync client = nullptr;
    int rc = MQTTAsync_create(&client, g_conn.uri, g_conn.clientid, MQTTCLIENT_PERSISTENCE_NONE, nullptr);
    if (rc != MQTTASYNC_SUCCESS || client == nullptr) {
        mlog(LOG_ERROR, "%d/%s MQTTAsync_create failed, return code %d\n", __LINE__, __func__, rc);
        return -1;
    }
    g_clients.fetch_add(1);
    mlog(LOG_TRACE, "Login Mqtt Service:%s\n", g_conn.uri);
    printf("#imei--> %s", g_conn.clientid);
    printf("#service--> %s", g_conn.uri);

    const intptr_t gen = g_next_gen.fetch_add(1) + 1;
    void *ctx = gen_ctx(gen);
    if (tls) {
        std::lock_guard<std::mutex> tl(tls_mutex);
        g_tls_library_says.clear();
        g_tls_host = host;
        g_tls_port = conf->port;
        g_tls_files = files;
        g_tls_gen.store(gen);
    } else {
        g_tls_gen.store(0);
    }
    MQTTAsync_setCallbacks(client, ctx, MQTT_Connect_Lost, MQTT_Message_Arrivd, nullptr);
    MQTTAsync_setConnected(client, ctx, onConnected);

    Mqtt_Client = client;
    g_topics_confirmed.store(0);
    g_cb_handle.store(client);
    g_cur_gen.store(gen);
    g_state.store(kConnecting);
    g_live_gen.store(gen);

    MQTTAsync_connectOptions opts = MQTTAsync_connectOptions_initializer;
    opts.keepAliveInterval = conf->keepalive;
    opts.cleansession = 1;
    opts.username = g_conn.username;
    opts.password = g_conn.password;
    opts.connectTimeout = kConnectTimeoutS;
    opts.retryInterval = kRetryIntervalS;
    opts.automaticReconnect = 1;
    opts.minRetryInterval = kMinRetryS;
    opts.maxRetryInterval = kMaxRetryS;
    opts.maxInflight = kMaxInflight;
    opts.onSuccess = onConnect_Success;
    opts.onFailure = onConnect_Failure;
    opts.context = ctx;
    // Verified against the provisioned CA only, host name included, TLS 1.2
    // at least; the box's own certificate when one is provisioned.
    MQTTAsync_SSLOptions ssl = MQTTAsync_SSLOptions_initializer;
    if (tls) {
        snprintf(g_conn.ca, sizeof g_conn.ca, "%s", files.ca.c_str());
        snprintf(g_conn.cert, sizeof g_conn.cert, "%s", files.cert.c_str());
        snprintf(g_conn.key, sizeof g_conn.key, "%s", files.key.c_str());
        ssl.trustStore = g_conn.ca;
        ssl.enableServerCertAuth = 1;
        ssl.verify = 1;
        ssl.disableDefaultTrustStore = 1;
        ssl.sslVersion = MQTT_SSL_VERSION_TLS_1_2;
        if (g_conn.cert[0] != '\0') {
            ssl.keyStore = g_conn.cert;
            ssl.privateKey = g_conn.key;
        }
        ssl.ssl_error_cb = onTls_Error;
        ssl.ssl_error_context = ctx;
        opts.ssl = &ssl;
    }
    rc = MQTTAsync_connect(client, &opts);
    if (rc != MQTTASYNC_SUCCESS) {
        // No callback will come for this attempt; the client stays until the
        // supervisor's next teardown.
        g_connect_answered.store(gen);
        mlog(LOG_ERROR, "Failed to start connect, return code %d\n", rc);
        return -1;
    }
    printf("\n**************************************************\n");
    printf("  username : %s\n", g_conn.username);
    // The console is read by whoever holds a serial cable: never the secret.
    printf("  password : ********\n");
    printf("  clientid : %s\n", g_conn.clientid);
    printf("  service  : %s\n", g_conn.uri);
    if (tls) {
        // File names only: what they hold stays in them.
        printf("  tls      : CA %s%s%s\n", kMqttTlsCaFile, g_conn.cert[0] != '\0' ? ", client certificate " : "",
               g_conn.cert[0] != '\0' ? kMqttTlsCertFile : "");
    }
    printf("**************************************************\n");
    return 0;
}

int hostcore_mqtt_disconnect(void) { return 0; }

namespace {
// Publishes handed to the client and those the client finished (acknowledged
// or failed), so a caller about to reboot can let its response go out first.
std::atomic<unsigned> g_pub_started{0};
std::atomic<unsigned> g_pub_finished{0};
void onPublish_Done(void *, MQTTAsync_successData *) { g_pub_finished.fetch_add(1); }
void onPublish_Failed(void *, MQTTAsync_failureData *) { g_pub_finished.fetch_add(1); }
}  // namespace

int mqtt_wait_delivered(int timeout_ms) {
    const unsigned target = g_pub_started.load();
    const int64_t until = plat_mono_ms() + timeout_ms;
    while (static_cast<int>(g_pub_finished.load() - target) < 0) {
        if (plat_mono_ms() >= until) return 0;
        plat_sleep_ms(20);
    }
    return 1;
}

int hostcore_mqtt_post(const char *topic, const char *text, int len) {
    if (mqtt_onSubscribel_success.load() != 1) {
        printf("hostcore_mqtt_post:---> save_offline_mqtt_data \r");
        return 0;
    }
    if (topic == nullptr || text == nullptr || len < 0) return 0;
    ClientAccess access;
    if (access.client() == nullptr) {
        if (access.in_callback()) {
            // A receive handler answering while its client is being torn down.
            printf("hostcore_mqtt_post:---> save_offline_mqtt_data \r");
        } else {
            printf(" ## Mqtt_Client == NULL \r");
        }
        return 0;
    }
    MQTTAsync_message msg = MQTTAsync_message_initializer;
    msg.payload = const_cast<char *>(text);
    msg.payloadlen = len;
    msg.qos = kQos;
    msg.retained = 0;
    MQTTAsync_responseOptions opts = MQTTAsync_responseOptions_initializer;
    opts.onSuccess = onPublish_Done;
    opts.onFailure = onPublish_Failed;
    g_pub_started.fetch_add(1);
    const int rc = MQTTAsync_sendMessage(access.client(), topic, &msg, &opts);
    if (rc != MQTTASYNC_SUCCESS) {
        g_pub_finished.fetch_add(1);
        printf("Failed to start sendMessage, return code %d\n", rc);
        return 0;
    }
    printf(" ##send Message successed ");
    return 1;
}

int hostcore_mqtt_pub(const unsigned char *data, int len) {
    if (data == nullptr || len < 0) return 0;
    dhex("--->>> mqtt send --->>>", data, len);
    char imei[sizeof Imei_Buf];
    copy_imei(imei, sizeof imei);
    char topic[64];
    snprintf(topic, sizeof topic, "%s/%s", kIotRespTopic, imei);
    return hostcore_mqtt_post(topic, reinterpret_cast<const char *>(data), len);
}

int hostcore_mqtt_recv_register(mqtt_recv_cb_t cb) {
    mqtt_callback.store(cb);
    return 0;
}

mqtt_recv_cb_t get_mqtt_callback(void) { return mqtt_callback.load(); }

// ---- session ------------------------------------------------------------

namespace {
void start_session_worker();
}  // namespace

int init_mqtt(void) {
    g_inited.store(true);
    // Started with the session, so the thread count is the same from the start.
    start_session_worker();
    return 0;
}

void mqtt_lock(void) {
    if (g_inited.load()) mqtt_mutex.lock();
}

void mqtt_unlock(void) {
    if (g_inited.load()) mqtt_mutex.unlock();
}

// Generation of the broker record the current client was built from.
std::atomic<int> g_record_gen{0};

int connect_mqtt(void) {
    if (tl_callback_gen != 0) return 0;  // never from a library thread
    mqtt_conf_t conf;
    memset(&conf, 0, sizeof conf);
    // Read before the record: a switch in between is then never taken as reached.
    const int gen = broker_record_generation();
    if (get_mqttinfo(&conf) != 1) {
        printf("%s get_mqttinfo_failed\n", __func__);
        return 0;
    }
    g_record_gen.store(gen);
    broker_switch_attempt(gen);
    // The old client goes first, its waits outside the MQTT lock.
    std::lock_guard<std::recursive_mutex> life(life_mutex);
    teardown("free_mqtt");
    std::lock_guard<std::recursive_mutex> lk(mqtt_mutex);
    dev_mqtt_connect(&conf);
    return 0;
}

void free_mqtt(void) {
    if (tl_callback_gen != 0) return;  // never destroy from a library thread
    // Taken down from outside (the data connection went): a failure not told
    // yet was about a link that is gone.
    g_tls_failed_gen.store(0);
    teardown(__func__);
}

int get_mqqt_connected(void) {
    ClientAccess access;
    if (access.client() == nullptr) return 0;
    const int connected = access.in_callback() ? g_lib_connected.load() : MQTTAsync_isConnected(access.client());
    return connected && mqtt_onSubscribel_success.load() == 1 ? 1 : 0;
}

int get_mqtt_subscribel(void) { return mqtt_onSubscribel_success.load(); }

int get_mqtt_status(void) { return mqtt_onSubscribel_success.load() == 1 ? 1 : 0; }

int set_mqtt_Reregister(int flag) {
    mqtt_force_redial.store(flag);
    return 1;
}

int get_mqtt_failed_count(void) { return mqtt_failed_count.load(); }
int get_mqtt_retry_count(void) { return mqtt_retry_count.load(); }
int get_mqtt_force_redial(void) { return mqtt_force_redial.load(); }
int get_mqtt_client_count(void) { return g_clients.load(); }

namespace {
// One line per failed TLS attempt, with the reason.  Never falls back: the
// next attempt is TLS again, at the supervisor's usual pace.
void report_tls_failure() {
    const intptr_t gen = g_tls_failed_gen.exchange(0);
    if (gen == 0) return;
    std::string says, host;
    int port = 0;
    MqttTlsFiles files;
    {
        std::lock_guard<std::mutex> lk(tls_mutex);
        if (gen != g_tls_gen.load()) return;
        says = g_tls_library_says;
        host = g_tls_host;
        port = g_tls_port;
        files = g_tls_files;
    }
    const std::string why = mqtt_tls_probe(host, port, files, kTlsProbeTimeoutMs);
    printf(" %d /%s TLS connection to %s:%d refused: %s (library: %s)\n", __LINE__, __func__, host.c_str(), port,
           why.c_str(), says.empty() ? "no detail" : says.c_str());
    mlog(LOG_ERROR, "TLS connection to %s:%d refused: %s\n", host.c_str(), port, why.c_str());
}
}  // namespace

int check_mqqt_connected(void) {
    if (get_factory_mode()) return 0;
    if (get_workingMode() != 1) {
        if (get_TestMode() == 1) {
            printf(" test mode");
        } else {
            printf(" waiting activity");
            return 0;
        }
    }
    if (get_lte_data_status() != 1) {
        // The first pass with data up reconnects.
        mqtt_failed_count.store(kForcedCount);
        return 0;
    }
    // A switched broker not reached in its window: the previous record is back.
    if (broker_switch_check() == 1) mqtt_force_redial.store(1);

    bool redial = false;
    if (mqtt_force_redial.load() == 1) {
        if (mqtt_failed_count.load() <= kRedialAfter) mqtt_failed_count.store(kForcedCount);
        redial = true;
    } else if (mqtt_failed_count.load() > kRedialAfter) {
        redial = true;
    }
    if (mqtt_failed_count.load() != 0) {
        printf("mqtt_failed_count:%d mqtt_retry_count:%d\n", mqtt_failed_count.load(), mqtt_retry_count.load());
    }

    if (redial) {
        report_tls_failure();
        printf(" %d /%s mqtt_failed_count:%d.\n", __LINE__, __func__, mqtt_failed_count.load());
        free_mqtt();
        // Cleared before the new client exists: a failure it reports at once
        // must not be wiped out by this pass.
        mqtt_force_redial.store(0);
        mqtt_failed_count.store(0);
        plat_sleep_s(2);
        connect_mqtt();
        mqtt_retry_count.fetch_add(1);
        if (mqtt_retry_count.load() > kLteRestartAfter) {
            printf(" mqtt_failed_count:%d.release lte\n", 0);
            release_lte();
            network_set_airplane_on();
            plat_sleep_s(2);
            network_set_airplane_off();
            plat_sleep_s(5);
            mqtt_retry_count.store(0);
        }
    }

    int connected = 0;
    {
        std::lock_guard<std::recursive_mutex> lk(mqtt_mutex);
        if (Mqtt_Client == nullptr) {
            printf(" %d /%s Mqtt_Client == NULL \n", __LINE__, __func__);
            mqtt_failed_count.fetch_add(1);
            return -1;
        }
        connected = MQTTAsync_isConnected(Mqtt_Client);
    }
    if (connected && mqtt_onSubscribel_success.load() == 1) {
        mqtt_failed_count.store(0);
        mqtt_retry_count.store(0);
        broker_switch_reached(g_record_gen.load());
        return 0;
    }
    mqtt_failed_count.fetch_add(1);
    printf(" %d /%s mqtt_failed_count:%d ,Subscribel:%d .\n", __LINE__, __func__, mqtt_failed_count.load(),
           mqtt_onSubscribel_success.load());
    return -1;
}

// ---- the session's worker -------------------------------------------------

namespace {
// The supervisor's pass runs here, handed over once a second by the supervision
// loop: a reconnect sleeps 2 s before its connect, waits for the old client's
// calls to end, and after the fifth in a row sleeps 2 s + 5 s around the data
// call's restart.  Those waits pace the session, not the box: the LTE, disk and
// status checks of the loop stay on time meanwhile.  One thread, so clients are
// still made and ended one after the other, in the order asked.
struct SessionWorker {
    std::mutex mu;
    std::condition_variable cv;
    bool pass_due = false;
    bool pass_running = false;
    // Clients taken out of use by the LTE manager, to be ended here.
    std::deque<std::pair<MQTTAsync, intptr_t>> finishes;
};
SessionWorker &session_worker() {
    static SessionWorker *w = new SessionWorker;  // never destroyed: the thread outlives exit
    return *w;
}
std::once_flag g_session_once;

void session_loop() {
    SessionWorker &w = session_worker();
    for (;;) {
        std::pair<MQTTAsync, intptr_t> finish{nullptr, 0};
        bool pass = false;
        {
            std::unique_lock<std::mutex> lk(w.mu);
            w.cv.wait(lk, [&w] { return w.pass_due || !w.finishes.empty(); });
            if (!w.finishes.empty()) {
                finish = w.finishes.front();
                w.finishes.pop_front();
            } else {
                w.pass_due = false;
                w.pass_running = true;
                pass = true;
            }
        }
        if (finish.first != nullptr) {
            std::lock_guard<std::recursive_mutex> life(life_mutex);
            finish_client(finish.first, finish.second, "free_mqtt", true);
            continue;
        }
        if (pass) {
            check_mqqt_connected();
            std::lock_guard<std::mutex> lk(w.mu);
            w.pass_running = false;
        }
    }
}

void start_session_worker() {
    std::call_once(g_session_once, [] { plat_thread("mqtt-session", session_loop).detach(); });
}
}  // namespace

int mqtt_supervise(void) {
    start_session_worker();
    SessionWorker &w = session_worker();
    {
        std::lock_guard<std::mutex> lk(w.mu);
        // The previous pass is still at it: this second's pass is the one after it.
        if (w.pass_due || w.pass_running) return 0;
        w.pass_due = true;
    }
    w.cv.notify_one();
    return 1;
}

int mqtt_supervise_busy(void) {
    SessionWorker &w = session_worker();
    std::lock_guard<std::mutex> lk(w.mu);
    return w.pass_due || w.pass_running || !w.finishes.empty() ? 1 : 0;
}

void free_mqtt_later(void) {
    if (tl_callback_gen != 0) return;  // never from a library thread
    g_tls_failed_gen.store(0);
    intptr_t gen = 0;
    MQTTAsync client = nullptr;
    {
        // Out of use at once: no publisher reaches it from here on.
        std::lock_guard<std::recursive_mutex> lk(mqtt_mutex);
        client = detach_locked(&gen);
    }
    if (client == nullptr) return;
    start_session_worker();
    SessionWorker &w = session_worker();
    {
        std::lock_guard<std::mutex> lk(w.mu);
        w.finishes.emplace_back(client, gen);
    }
    w.cv.notify_one();
}
