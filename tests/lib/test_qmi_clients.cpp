// QMI clients of the modem service library against a modem played by the
// test on the simulation socket: one client per service, service loss for
// the rest of the process, DMS notifications, NAS indications, and the
// framework stand-in's own promises (transaction matching, timeouts, hostile
// frames).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_qmi_modem.h"
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"
#include "lib/qs_common_api/qmi/dms/src/qs_qmi_dms.h"
#include "lib/qs_common_api/qmi/nas/src/qs_qmi_nas.h"
#include "lib/qs_common_api/qmi/uim/src/qs_qmi_uim.h"
#include "lib/qs_common_api/qmi/wds/src/qs_qmi_wds.h"
#include "platform/plat_clock.h"
#include "platform/sim/qmi_client_sim.h"
#include "platform/qmi_services_v01.h"
#include "platform/sim/qmi_sim_wire.h"
#include "support/test_root.h"

namespace {

constexpr time_t kT = 1710498030;
constexpr uint16_t kClient = qmi_sim::kRoleClient;
constexpr uint16_t kNotifier = qmi_sim::kRoleNotifier;
constexpr uint16_t kEchoMsg = 0x0F01;    // answered with the request's own bytes
constexpr uint16_t kIgnoredMsg = 0x0F02; // never answered

// Framework threads may still log while the process exits: the sink is
// never destroyed.
struct LogSink {
    std::mutex mu;
    std::string text;
    std::vector<int> levels;
};
LogSink &sink() {
    static LogSink *s = new LogSink;
    return *s;
}

void collect(QS_OL_LOG_LEVEL level, const char *text) {
    std::lock_guard<std::mutex> hold(sink().mu);
    sink().text += text;
    sink().levels.push_back(level);
}

std::string log_text() {
    std::lock_guard<std::mutex> hold(sink().mu);
    return sink().text;
}

bool log_has(const std::string &s) { return log_text().find(s) != std::string::npos; }

template <class F>
bool eventually(F cond, int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

nas_serving_system_type_v01 serving(uint8_t state) {
    nas_serving_system_type_v01 ss{};
    ss.registration_state = state;
    ss.ps_attach_state = state == NAS_REGISTERED_V01 ? 1 : 2;
    ss.selected_network = 2;
    ss.radio_if_len = 1;
    ss.radio_if[0] = NAS_RADIO_IF_LTE_V01;
    return ss;
}

bool default_answer(const FakeQmiRequest &req, std::string *resp) {
    if (req.msg_id == kIgnoredMsg) return false;
    if (req.msg_id == kEchoMsg) {
        *resp = req.payload;
        return true;
    }
    if (req.service == QMI_DMS_SERVICE_ID_V01 && req.msg_id == QMI_DMS_GET_OPERATING_MODE_REQ_V01) {
        dms_get_operating_mode_resp_msg_v01 r{};
        r.operating_mode = DMS_OP_MODE_LOW_POWER_V01;
        *resp = bytes_of(r);
        return true;
    }
    if (req.service == QMI_NAS_SERVICE_ID_V01 && req.msg_id == QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01) {
        nas_get_serving_system_resp_msg_v01 r{};
        r.serving_system = serving(NAS_REGISTERED_V01);
        *resp = bytes_of(r);
        return true;
    }
    qmi_response_type_v01 r{QMI_RESULT_FAILURE_V01, QMI_ERR_INVALID_QMI_CMD_V01};
    *resp = bytes_of(r);
    return true;
}

class QmiClientsTest : public ::testing::Test {
protected:
    void SetUp() override {
        plat_clock_fake(kT);  // the 1 s retry waits pass at once
        QS_OL_Liblog_Level_Set(QS_OL_LOG_DEBUG, collect);
    }
    std::string socket_path() const { return root.at(qmi_sim::kSocketPath); }
    std::unique_ptr<FakeQmiModem> start_modem() {
        auto m = std::make_unique<FakeQmiModem>(socket_path());
        m->set_answer(default_answer);
        return m;
    }
    TestRoot root;
};

int nas_serving(qmi_client_type h, nas_get_serving_system_resp_msg_v01 *out) {
    return qmi_client_send_msg_sync(h, QMI_NAS_GET_SERVING_SYSTEM_REQ_MSG_V01, nullptr, 0, out, sizeof *out, 1000);
}

std::atomic<int> g_handler_calls{0};
std::atomic<int> g_handler_state{-1};
void on_serving(const nas_serving_system_type_v01 *ss) {
    g_handler_state.store(ss->registration_state);
    g_handler_calls.fetch_add(1);
}

}  // namespace

TEST_F(QmiClientsTest, EveryServiceMakesItsClientOnceAndKeepsIt) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    struct Svc {
        int (*init)();
        qmi_client_type (*get)();
        uint8_t id;
    } svcs[] = {{qs_qmi_dms_client_init, get_qmi_dms_svc_client, QMI_DMS_SERVICE_ID_V01},
                {qs_qmi_nas_client_init, get_qmi_nas_svc_client, QMI_NAS_SERVICE_ID_V01},
                {qs_qmi_uim_client_init, get_qmi_uim_svc_client, QMI_UIM_SERVICE_ID_V01},
                {qs_qmi_wds_client_init, get_qmi_wds_svc_client, QMI_WDS_SERVICE_ID_V01}};
    for (const Svc &s : svcs) {
        EXPECT_EQ(s.get(), nullptr);
        ASSERT_EQ(s.init(), 0);
        const qmi_client_type first = s.get();
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(s.init(), 0);
        EXPECT_EQ(s.get(), first);
        EXPECT_EQ(modem->accepted(s.id, kClient), 1) << int(s.id);
    }
    EXPECT_EQ(qmi_client_sim_instances(), 4);

    nas_get_serving_system_resp_msg_v01 ss{};
    EXPECT_EQ(nas_serving(get_qmi_nas_svc_client(), &ss), QMI_NO_ERR);
    EXPECT_EQ(ss.resp.result, QMI_RESULT_SUCCESS_V01);
    EXPECT_EQ(ss.serving_system.registration_state, NAS_REGISTERED_V01);
    dms_get_operating_mode_resp_msg_v01 om{};
    om.operating_mode = 0x55;
    EXPECT_EQ(qmi_client_send_msg_sync(get_qmi_dms_svc_client(), QMI_DMS_GET_OPERATING_MODE_REQ_V01, nullptr, 0, &om,
                                       sizeof om, 1000),
              QMI_NO_ERR);
    EXPECT_EQ(om.operating_mode, DMS_OP_MODE_LOW_POWER_V01);
    // A message the service does not know is the service's failure, not the transport's.
    qmi_response_type_v01 r{};
    EXPECT_EQ(qmi_client_send_msg_sync(get_qmi_wds_svc_client(), 0x0042, nullptr, 0, &r, sizeof r, 1000), QMI_NO_ERR);
    EXPECT_EQ(r.result, QMI_RESULT_FAILURE_V01);
    EXPECT_EQ(r.error, QMI_ERR_INVALID_QMI_CMD_V01);
}

TEST_F(QmiClientsTest, ServiceDownReleasesTheClientAndTheNextStartAfterUpMakesANewOne) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    ASSERT_EQ(qs_qmi_nas_client_init(), 0);
    ASSERT_EQ(qs_qmi_uim_client_init(), 0);
    ASSERT_EQ(qs_qmi_wds_client_init(), 0);
    const int made = qmi_client_sim_instances();
    const qmi_client_type old_nas = get_qmi_nas_svc_client();

    for (uint8_t id : {QMI_NAS_SERVICE_ID_V01, QMI_UIM_SERVICE_ID_V01, QMI_WDS_SERVICE_ID_V01}) modem->service_down(id);
    ASSERT_TRUE(eventually([] {
        return get_qmi_nas_svc_client() == nullptr && get_qmi_uim_svc_client() == nullptr &&
               get_qmi_wds_svc_client() == nullptr;
    }));
    EXPECT_TRUE(log_has("]nas_error_cb|")) << log_text();
    EXPECT_TRUE(log_has("::QMI nas client released with err code: -2\n\n")) << log_text();
    EXPECT_TRUE(log_has("::QMI uim client released with err code: -2\n\n")) << log_text();
    EXPECT_TRUE(log_has("::QMI wds client released with err code: -2\n\n")) << log_text();

    // The service is back: the next start makes a new client, which works; the
    // released handle stays dead.
    for (uint8_t id : {QMI_NAS_SERVICE_ID_V01, QMI_UIM_SERVICE_ID_V01, QMI_WDS_SERVICE_ID_V01}) {
        modem->set_available(id, true);
    }
    EXPECT_EQ(qs_qmi_nas_client_init(), 0);
    EXPECT_EQ(qs_qmi_uim_client_init(), 0);
    EXPECT_EQ(qs_qmi_wds_client_init(), 0);
    ASSERT_NE(get_qmi_nas_svc_client(), nullptr);
    EXPECT_NE(get_qmi_nas_svc_client(), old_nas);
    nas_get_serving_system_resp_msg_v01 ss{};
    EXPECT_EQ(nas_serving(get_qmi_nas_svc_client(), &ss), QMI_NO_ERR);
    EXPECT_NE(nas_serving(old_nas, &ss), QMI_NO_ERR);
    EXPECT_EQ(qmi_client_sim_instances(), made + 3);
    EXPECT_EQ(modem->accepted(QMI_NAS_SERVICE_ID_V01, kClient), 2);
}

TEST_F(QmiClientsTest, DmsReportsServiceUpDownAndItsOwnLoss) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    ASSERT_EQ(qs_qmi_dms_client_init(), 0);
    ASSERT_TRUE(eventually([] { return log_has("::regForPrimaryPort signalled.\n"); })) << log_text();
    EXPECT_TRUE(log_has("::QMI dms service is back up.\n[")) << log_text();
    EXPECT_EQ(modem->accepted(QMI_DMS_SERVICE_ID_V01, kNotifier), 1);

    modem->service_down(QMI_DMS_SERVICE_ID_V01);
    ASSERT_TRUE(eventually([] { return get_qmi_dms_svc_client() == nullptr; }));
    ASSERT_TRUE(eventually([] { return log_has("::QMI dms service is down.\n"); })) << log_text();
    EXPECT_TRUE(log_has("]dms_error_cb|")) << log_text();
    EXPECT_TRUE(log_has("::DMS sys down event recvd. srv_id:2\n")) << log_text();
    EXPECT_TRUE(log_has("::QMI dms client released with err code: -2\n")) << log_text();
    // While the service is down no client can be made; once it is back the
    // next start makes a new one, and requests work again.
    EXPECT_EQ(qs_qmi_dms_client_init(), -1);
    EXPECT_EQ(get_qmi_dms_svc_client(), nullptr);
    modem->set_available(QMI_DMS_SERVICE_ID_V01, true);
    EXPECT_EQ(qs_qmi_dms_client_init(), 0);
    ASSERT_NE(get_qmi_dms_svc_client(), nullptr);
    dms_get_operating_mode_resp_msg_v01 om{};
    EXPECT_EQ(qmi_client_send_msg_sync(get_qmi_dms_svc_client(), QMI_DMS_GET_OPERATING_MODE_REQ_V01, nullptr, 0, &om,
                                       sizeof om, 1000),
              QMI_NO_ERR);
    EXPECT_EQ(modem->accepted(QMI_DMS_SERVICE_ID_V01, kClient), 2);
}

TEST_F(QmiClientsTest, AbsentModemFailsAfterTheRetriesAndALaterRequestTriesAgain) {
    const int64_t t0 = plat_mono_ms();
    EXPECT_EQ(qs_qmi_nas_client_init(), -1);
    EXPECT_EQ(plat_mono_ms() - t0, 2000);  // 1 s before the retry, 1 s after it
    EXPECT_TRUE(log_has("::qmi_client_init_instance error.\n")) << log_text();
    EXPECT_EQ(qs_qmi_uim_client_init(), -1);
    EXPECT_TRUE(log_has("::qmi_client_init_instance error\n\n")) << log_text();

    const int64_t t1 = plat_mono_ms();
    EXPECT_EQ(qs_qmi_dms_client_init(), -1);
    EXPECT_EQ(plat_mono_ms() - t1, 2000);  // three attempts, 1 s apart
    const std::string log = log_text();
    const size_t a1 = log.find("::[DMS]-Init_instance Again : 1\n");
    const size_t a2 = log.find("::[DMS]-Init_instance Again : 2\n");
    const size_t fail = log.find("::Init_instance failed. client_err:-2\n");
    ASSERT_NE(a1, std::string::npos) << log;
    ASSERT_NE(a2, std::string::npos) << log;
    ASSERT_NE(fail, std::string::npos) << log;
    EXPECT_LT(a1, a2);
    EXPECT_LT(a2, fail);
    EXPECT_EQ(log.find("Again : 3"), std::string::npos);
    EXPECT_EQ(get_qmi_nas_svc_client(), nullptr);

    // A service that refuses is no different from an absent modem.
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    modem->set_available(QMI_WDS_SERVICE_ID_V01, false);
    EXPECT_EQ(qs_qmi_wds_client_init(), -1);
    // Failure sets no flag: once the modem is there the next request succeeds.
    EXPECT_EQ(qs_qmi_nas_client_init(), 0);
    EXPECT_NE(get_qmi_nas_svc_client(), nullptr);
    EXPECT_EQ(qs_qmi_dms_client_init(), 0);
    EXPECT_EQ(qmi_client_sim_instances(), 2);
}

TEST_F(QmiClientsTest, NasServingSystemIndicationIsDecodedAndPassedOn) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    qs_qmi_nas_set_serving_system_handler(on_serving);
    ASSERT_EQ(qs_qmi_nas_client_init(), 0);
    EXPECT_EQ(qs_qmi_nas_last_registration_state(), NAS_REGISTRATION_UNKNOWN_V01);

    nas_serving_system_ind_msg_v01 ind{serving(NAS_NOT_REGISTERED_SEARCHING_V01)};
    modem->push(QMI_NAS_SERVICE_ID_V01, kClient, qmi_sim::kIndication, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, 0,
                bytes_of(ind));
    ASSERT_TRUE(eventually([] { return g_handler_calls.load() == 1; }));
    EXPECT_EQ(g_handler_state.load(), NAS_NOT_REGISTERED_SEARCHING_V01);
    EXPECT_EQ(qs_qmi_nas_last_registration_state(), NAS_NOT_REGISTERED_SEARCHING_V01);

    // Other indications are not ours; a cut one must not be half-decoded.
    modem->push(QMI_NAS_SERVICE_ID_V01, kClient, qmi_sim::kIndication, 0x0051, 0, bytes_of(ind));
    modem->push(QMI_NAS_SERVICE_ID_V01, kClient, qmi_sim::kIndication, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, 0,
                bytes_of(ind).substr(0, 3));
    ASSERT_TRUE(eventually([] { return log_has("Decode of Indication message returned error: -8\n\n"); }))
        << log_text();
    ind.serving_system = serving(NAS_REGISTERED_V01);
    modem->push(QMI_NAS_SERVICE_ID_V01, kClient, qmi_sim::kIndication, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, 0,
                bytes_of(ind));
    ASSERT_TRUE(eventually([] { return g_handler_calls.load() == 2; }));
    EXPECT_EQ(g_handler_state.load(), NAS_REGISTERED_V01);
    {
        std::lock_guard<std::mutex> hold(sink().mu);
        ASSERT_FALSE(sink().levels.empty());
        EXPECT_EQ(sink().levels.back(), QS_OL_LOG_WARNING);  // the decode error was the last line
    }
}

TEST_F(QmiClientsTest, LateResponseIsDroppedAndConcurrentRequestsGetTheirOwnAnswers) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    ASSERT_EQ(qs_qmi_nas_client_init(), 0);
    const qmi_client_type h = get_qmi_nas_svc_client();

    char out[64] = {};
    EXPECT_EQ(qmi_client_send_msg_sync(h, kIgnoredMsg, nullptr, 0, out, sizeof out, 100), QMI_TIMEOUT_ERR);
    ASSERT_EQ(modem->requests().size(), 1u);
    const uint32_t late_txn = modem->requests()[0].txn;
    modem->push(QMI_NAS_SERVICE_ID_V01, kClient, qmi_sim::kResponse, kIgnoredMsg, late_txn, "LATE");

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, h, &wrong] {
            for (int i = 0; i < 25; ++i) {
                const std::string req = "t" + std::to_string(t) + "-" + std::to_string(i);
                char resp[32] = {};
                const int rc = qmi_client_send_msg_sync(h, kEchoMsg, const_cast<char *>(req.data()),
                                                        static_cast<unsigned>(req.size()), resp, sizeof resp, 2000);
                if (rc != QMI_NO_ERR || req != resp) wrong.fetch_add(1);
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);

    // An answer larger than the caller's structure is refused, not cut.
    const std::string big(100, 'b');
    char small[16] = {};
    EXPECT_EQ(qmi_client_send_msg_sync(h, kEchoMsg, const_cast<char *>(big.data()), 100, small, sizeof small, 2000),
              QMI_CLIENT_MSG_TOO_LONG);
    EXPECT_EQ(qmi_client_send_msg_sync(h, kEchoMsg, nullptr, 5, small, sizeof small, 100), QMI_CLIENT_PARAM_ERR);
}

TEST_F(QmiClientsTest, HostileFrameCountsAsServiceLoss) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    ASSERT_EQ(qs_qmi_wds_client_init(), 0);
    // A length far beyond any message: the stand-in must not trust it.
    qmi_sim::Header h{qmi_sim::kMagic, 0x7FFFFFFFu, qmi_sim::kResponse, QMI_WDS_SERVICE_ID_V01, 1, 1, 0};
    modem->push_raw(QMI_WDS_SERVICE_ID_V01, kClient, bytes_of(h));
    ASSERT_TRUE(eventually([] { return get_qmi_wds_svc_client() == nullptr; }));
    EXPECT_TRUE(log_has("QMI wds client released with err code: -2")) << log_text();
    EXPECT_EQ(qmi_client_sim_open_handles(), 1);  // only the notifier is left
}

TEST_F(QmiClientsTest, ReleasedHandleIsRefusedEverywhere) {
    auto modem = start_modem();
    ASSERT_TRUE(modem->ok());
    qmi_client_type h = nullptr;
    qmi_client_os_params os{};
    qmi_idl_service_object_type obj =
        nas_get_service_object_internal_v01(QMI_SERVICE_MAJOR_V01, NAS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(nas_get_service_object_internal_v01(2, NAS_V01_IDL_MINOR_VERS, QMI_IDL_LIB_VERSION), nullptr);
    EXPECT_EQ(nas_get_service_object_internal_v01(1, NAS_V01_IDL_MINOR_VERS + 1, QMI_IDL_LIB_VERSION), nullptr);
    ASSERT_EQ(qmi_client_init_instance(obj, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr, &os, 4, &h), QMI_NO_ERR);
    EXPECT_EQ(qmi_client_release(h), QMI_NO_ERR);
    EXPECT_EQ(qmi_client_release(h), QMI_CLIENT_INVALID_CLNT);
    char out[8];
    EXPECT_EQ(qmi_client_send_msg_sync(h, kEchoMsg, nullptr, 0, out, sizeof out, 100), QMI_CLIENT_INVALID_CLNT);
    nas_serving_system_ind_msg_v01 ind{};
    EXPECT_EQ(qmi_client_message_decode(h, QMI_IDL_INDICATION, QMI_NAS_SERVING_SYSTEM_IND_MSG_V01, &ind, sizeof ind,
                                        &ind, sizeof ind),
              QMI_CLIENT_INVALID_CLNT);
    EXPECT_EQ(qmi_client_init_instance(nullptr, QMI_CLIENT_INSTANCE_ANY, nullptr, nullptr, &os, 4, &h),
              QMI_CLIENT_PARAM_ERR);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(qmi_client_sim_open_handles(), 0);
}
