#pragma once
// The simulated modem's state, one for both of its faces: the AT port
// (peer_modem_at) and the QMI services (modem_qmi), so that what one reports
// the other agrees with.  NV items, EFS files, the NV write burst mode and the
// PDP context list persist in <root>/var/devsim/modem_nv.txt across devsim
// restarts, as the modem's flash would across reboots.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

struct PdpContext {
    int cid = 0;
    std::string apn;
};

struct ModemData {
    // Behaviour of the AT port (scenario / control only).
    bool echo = true;
    bool silent = false;
    bool noise = false;
    bool overlong = false;
    unsigned delay_ms = 0;
    // Radio and identity.
    int cfun = 1;
    std::string csq = "23,99";
    std::string cpin = "READY";
    std::string psrat = "LTE";
    std::string sn = "SIM0000000001";
    std::string model = "SIM-LTE-MOD";
    std::string manufacturer = "TelAgent Simulated Modem";
    std::string hw = "V1.0";
    std::string cnum = "+8613800000000";
    // QMI service numbers that are down.
    std::set<uint8_t> down;
    // Persistent settings.
    std::map<std::string, std::string> nv;
    std::map<std::string, std::string> efs;
    int nvburs = 0;
    std::vector<PdpContext> contexts;
    int resets = 0;
};

struct ModemEvent {
    enum Kind { kRadio, kService } kind = kRadio;
    uint8_t service = 0;  // kService
    bool up = false;      // kService
};

// QMI service number for "dms", "nas", "uim", "wds"; 0 when unknown.
uint8_t modem_service_id(const std::string &name);

class ModemState {
public:
    // Loads the store when it exists; otherwise starts from the defaults and
    // lets the scenario seed the persistent settings.
    explicit ModemState(std::string store_path);

    // A scenario or control key.  `seed` marks a scenario key, which does not
    // override persistent settings loaded from the store.  1 used, 0 unknown
    // key or bad value.
    int configure(const std::string &key, const std::string &value, bool seed);

    ModemData snapshot() const;

    // Runs fn on the data under the lock, then saves the store when a
    // persistent setting changed and reports radio and service changes to
    // the listener (outside the lock).
    template <class F>
    auto update(F fn) {
        std::vector<ModemEvent> events;
        std::unique_lock<std::mutex> lk(mu_);
        const ModemData before = data_;
        if constexpr (std::is_void_v<decltype(fn(data_))>) {
            fn(data_);
            after_update(before, &events);
            lk.unlock();
            notify(events);
        } else {
            auto r = fn(data_);
            after_update(before, &events);
            lk.unlock();
            notify(events);
            return r;
        }
    }

    void set_listener(std::function<void(const ModemEvent &)> listener);
    bool loaded_from_store() const { return loaded_; }
    int save_failures() const;

private:
    void after_update(const ModemData &before, std::vector<ModemEvent> *events);
    void notify(const std::vector<ModemEvent> &events);
    int save_locked();

    mutable std::mutex mu_;
    ModemData data_;
    std::string store_;
    bool loaded_ = false;
    int save_failures_ = 0;
    std::mutex listener_mu_;
    std::function<void(const ModemEvent &)> listener_;
};

// Registered (NAS sense) when the radio is on and the SIM is ready.
bool modem_registered(const ModemData &d);

// Store text <-> data (persistent settings only).  Parsing skips bad lines.
std::string modem_store_text(const ModemData &d);
void modem_store_parse(const std::string &text, ModemData *d);
