#pragma once
// The modem's end of the QMI simulation socket, played inside a test: it
// counts who connects, answers requests through a test-supplied function and
// can push indications, service events and garbage.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct FakeQmiRequest {
    uint8_t service;
    uint16_t msg_id;
    uint32_t txn;
    std::string payload;
};

// Response payload for a request; return false to leave it unanswered.
using FakeQmiAnswer = std::function<bool(const FakeQmiRequest &req, std::string *resp)>;

class FakeQmiModem {
public:
    explicit FakeQmiModem(const std::string &socket_path);
    ~FakeQmiModem();
    FakeQmiModem(const FakeQmiModem &) = delete;
    FakeQmiModem &operator=(const FakeQmiModem &) = delete;

    bool ok() const { return ok_; }
    void set_answer(FakeQmiAnswer answer);
    // A service marked absent refuses new clients and notifiers.
    void set_available(uint8_t service, bool available);

    // Hellos accepted so far for the service and role (1 client, 2 notifier).
    int accepted(uint8_t service, uint16_t role) const;
    std::vector<FakeQmiRequest> requests() const;

    // To every accepted connection of the service with the role.
    void push(uint8_t service, uint16_t role, uint8_t kind, uint16_t msg_id, uint32_t txn,
              const std::string &payload);
    void push_raw(uint8_t service, uint16_t role, const std::string &bytes);
    // The service goes down: DOWN to everyone, clients are closed.
    void service_down(uint8_t service);

private:
    struct Conn {
        int fd = -1;
        uint8_t service = 0;
        uint16_t role = 0;
        bool accepted = false;
        std::mutex write_mu;
    };
    void accept_loop();
    void serve(std::shared_ptr<Conn> c);
    bool send_to(Conn &c, const std::string &bytes);

    bool ok_ = false;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::string path_;
    mutable std::mutex mu_;
    FakeQmiAnswer answer_;
    std::vector<uint8_t> absent_;
    std::vector<std::shared_ptr<Conn>> conns_;
    std::vector<FakeQmiRequest> requests_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};

std::string frame(uint8_t kind, uint8_t service, uint16_t msg_id, uint32_t txn, const std::string &payload,
                  int32_t status = 0);

template <class T>
std::string bytes_of(const T &v) {
    return std::string(reinterpret_cast<const char *>(&v), sizeof v);
}
