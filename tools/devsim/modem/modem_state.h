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

// A 3GPP data profile of the modem's wireless data service.
struct WdsProfile {
    int ctx = 0;       // PDP context number; equals the index unless corrupted
    int pdp_type = 0;  // 0 IPv4, 2 IPv6, 3 IPv4v6
    int auth = 0;      // bit 0 PAP, bit 1 CHAP
    std::string apn;
    std::string user;
    std::string pass;
};

// A data call of a QMI client (owner = its connection).
struct DataCall {
    uint32_t id = 0;
    uint32_t owner = 0;
    int profile = 1;
    int family = 4;       // 4, 6 or 10
    bool connected = false;
    int64_t due_ms = 0;   // connecting: when the network answers
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
    std::string psrat = "FDD LTE";
    std::string sn = "SIM0000000001";
    std::string model = "SIM-LTE-MOD";
    std::string manufacturer = "TelAgent Simulated Modem";
    std::string hw = "V1.0";
    std::string cnum = "+8613800000000";
    int cmee = 1;  // 1 numeric, 2 verbose "+CME ERROR" texts
    // Identity (DMS).  An empty ESN or MEID is reported as absent.
    std::string imei = "864000000000017";
    std::string esn;
    std::string meid;
    std::string fw = "SIMMOD_R01A01V01";
    // SIM card (UIM): raw EF contents and the PIN.  cpin above says where
    // the card stands: READY, SIM PIN, SIM PUK, BLOCKED, BUSY, NOT INSERTED.
    std::string ef_iccid;
    std::string ef_imsi;
    bool pin_enabled = false;
    std::string pin = "1234";
    std::string puk = "12345678";
    int pin_retries = 3;
    int puk_retries = 10;
    // Network (NAS).  reg: 0 not registered, 1 registered, 2 searching,
    // 3 denied, 4 unknown (while the radio is on and the SIM ready).
    int reg = 1;
    bool roaming = false;
    std::string mcc = "460";
    std::string mnc = "01";  // two or three digits, as the network sends it
    std::string operator_name = "SIM Telecom";
    int rssi = -65;   // dBm
    int ber = 0;
    int rsrp = -95;   // dBm
    bool lte_cell = true;  // an LTE serving cell is reported
    int pci = 123;
    int tac = 0x1A2B;
    uint32_t cell_global_id = 0x0123456;
    int earfcn = 1650;
    std::vector<std::pair<int, int>> neighbours = {{201, -101}, {305, -110}};  // pci, rsrp
    // Data (WDS).
    std::map<int, WdsProfile> profiles;  // persistent
    std::set<int> locked_profiles;       // refuse to be modified or deleted
    std::vector<DataCall> calls;
    uint32_t next_call_id = 0x100;
    unsigned call_delay_ms = 200;
    int call_refuse = 0;  // 1 start refused at once, 2 refused by the network after the delay
    int runtime_refuse = 0;  // 1: the address query of a connected call fails
    int end_reason = 0;   // reason reported for calls that end in this update
    // A QoS change for every connected call: counted, so each one is reported.
    uint32_t qos_seq = 0;
    int qos_status = 0;
    uint32_t qos_flow = 0;
    std::string iface = "rmnet_data0";
    std::string ipv4 = "10.64.12.34";
    std::string gw4 = "10.64.12.33";
    std::string dns4_1 = "10.64.0.53";
    std::string dns4_2 = "10.64.0.54";
    std::string ipv6 = "2001:db8:1::2";
    std::string gw6 = "2001:db8:1::1";
    std::string dns6_1 = "2001:db8::53";
    std::string dns6_2 = "2001:db8::54";
    int bearer = -1;  // data services' bearer numbering; -1 follows psrat
    // QMI service numbers that are down.
    std::set<uint8_t> down;
    // Persistent settings.
    std::map<std::string, std::string> nv;
    std::map<std::string, std::string> efs;
    int nvburs = 0;
    std::vector<PdpContext> contexts;
    int resets = 0;
    // Settings whose writes the modem answers OK but never keeps: NV item
    // numbers, EFS paths, "nvburs", "cgdcont" (scenario / control only).
    std::set<std::string> ignore_write;
};

struct ModemEvent {
    enum Kind { kRadio, kService, kCall, kQos } kind = kRadio;
    uint8_t service = 0;  // kService
    bool up = false;      // kService; kCall: connected (else ended)
    uint32_t call = 0;    // kCall
    uint32_t owner = 0;   // kCall
    int reason = 0;       // kCall ended
    int family = 4;       // kCall
    uint32_t flow = 0;    // kQos (status in reason)
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

// Registered (NAS sense) when the radio is on, the SIM is ready and the
// network took us (reg 1).
bool modem_registered(const ModemData &d);
// NAS registration state 0..4 as the modem reports it now.
int modem_reg_state(const ModemData &d);

// Store text <-> data (persistent settings only).  Parsing skips bad lines.
std::string modem_store_text(const ModemData &d);
void modem_store_parse(const std::string &text, ModemData *d);
