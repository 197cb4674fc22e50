#pragma once
// A scripted modem on a real pseudo-terminal for the AT channel tests: the
// agent opens the slave through <root>/dev/smd7 (or another link); this side
// reads command lines from the master and answers as the script says.
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct ModemChunk {
    int delay_ms = 0;  // before this chunk is written
    std::string bytes;
};

// Answer to one command line (given without its "\r" / "\r\n").
using ModemScript = std::function<std::vector<ModemChunk>(const std::string &cmd)>;

class PtyModem {
public:
    // `link` is the machine path of the link to create (e.g. root + "/dev/smd7").
    // With `echo` every byte received is sent back at once, as the modem does.
    PtyModem(const std::string &link, ModemScript script, bool echo);
    ~PtyModem();
    PtyModem(const PtyModem &) = delete;
    PtyModem &operator=(const PtyModem &) = delete;

    bool ok() const { return ok_; }
    std::vector<std::string> commands() const;
    std::string received() const;
    // Script chunks written so far.
    int chunks_sent() const { return chunks_sent_.load(); }

private:
    void run();

    ModemScript script_;
    bool echo_;
    bool ok_ = false;
    int master_ = -1;
    int slave_ = -1;
    int wake_[2] = {-1, -1};
    std::string link_;
    mutable std::mutex mu_;
    std::vector<std::string> commands_;
    std::string received_;
    std::atomic<int> chunks_sent_{0};
    std::thread thread_;
};

// "\r\n<text>\r\n\r\nOK\r\n", the shape of a modem's informational answer.
std::string modem_answer(const std::string &text);
