#pragma once
// The modem's QMI services (DMS, NAS, UIM, WDS) on the simulation socket
// <root>/var/devsim/qmi.sock, on a thread of their own.  Requests are answered
// from the shared modem state; radio changes go out as NAS serving-system
// indications, service loss as DOWN events (clients are then disconnected).
#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "modem/modem_state.h"

class ModemQmi {
public:
    explicit ModemQmi(ModemState &state) : state_(state) {}
    ~ModemQmi();
    ModemQmi(const ModemQmi &) = delete;
    ModemQmi &operator=(const ModemQmi &) = delete;

    // Binds the socket and starts the thread.  0 / -1 (reason on stderr).
    int start(const std::string &root);
    void stop();

private:
    void run();

    ModemState &state_;
    std::string path_;
    int listen_fd_ = -1;
    int event_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::mutex ev_mu_;  // events from the AT side and control, for the thread
    std::deque<ModemEvent> ev_;
    std::thread thread_;
};

// Response payload for a request of the service (the message handlers; a
// message unknown to the modem gets a failure result).  Exposed for tests.
// `owner` names the client connection (data calls belong to it).
std::string modem_qmi_answer(ModemState &state, uint8_t service, uint16_t msg_id, const std::string &req,
                             uint32_t owner = 0);
// Payload of the NAS serving-system indication for the current state.
std::string modem_qmi_serving_system_ind(const ModemData &d);
