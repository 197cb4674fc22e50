#pragma once
// Helpers of the GNSS tests: sentences with their checksum, and a small GNSS
// engine on <root>/var/devsim/gnss.sock that answers the location client the
// way the device simulator does, under the test's control.
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// "$<body>*XX\r\n" with the right checksum.
std::string nmea(const std::string &body);
// The same with a wrong checksum.
std::string nmea_bad(const std::string &body);

class FakeEngine {
public:
    // Listens on <TELAGENT_ROOT>/var/devsim/gnss.sock (the root must be set).
    FakeEngine();
    ~FakeEngine();
    FakeEngine(const FakeEngine &) = delete;
    FakeEngine &operator=(const FakeEngine &) = delete;

    // Sentences sent (one "nmea" line each) right after every accepted start.
    void set_on_start(std::vector<std::string> sentences);
    // Answer to start requests: 0 accepted, else refused with that status.
    void set_start_status(int status) { start_status_ = status; }
    // Sends a raw line to the connected client now (adds the '\n').
    bool send_line(const std::string &line);

    // Requests seen so far, as "<id hex> <payload hex>".
    std::vector<std::string> requests() const;
    // Connections accepted / ended by the client so far.
    int connections() const { return connections_; }
    int disconnects() const { return disconnects_; }
    // Waits until `pred` holds (checked every few ms); false at the deadline.
    static bool wait_for(const std::function<bool()> &pred, int timeout_ms = 3000);

private:
    void serve();
    void handle_line(int fd, const std::string &line);

    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    mutable std::mutex mu_;
    std::vector<std::string> requests_;
    std::vector<std::string> on_start_;
    int client_fd_ = -1;
    std::atomic<int> start_status_{0};
    std::atomic<int> connections_{0};
    std::atomic<int> disconnects_{0};
};
