#include "modem/modem_state.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sstream>

#include "core/devsim_files.h"
#include "modem/modem_services.h"

namespace {

constexpr size_t kStoreMax = 256 * 1024;
// Context ids a modem accepts.
constexpr int kCidMax = 24;

bool parse_int(const std::string &s, long lo, long hi, long *out) {
    if (s.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const long v = strtol(s.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

bool parse_flag(const std::string &s, bool *out) {
    long v;
    if (!parse_int(s, 0, 1, &v)) return false;
    *out = v == 1;
    return true;
}

// "1,2,2" -> contexts (duplicates kept: a corrupted list is what tests need).
bool parse_cids(const std::string &s, std::vector<PdpContext> *out) {
    out->clear();
    size_t i = 0;
    while (i < s.size()) {
        size_t j = s.find(',', i);
        if (j == std::string::npos) j = s.size();
        std::string part = s.substr(i, j - i);
        while (!part.empty() && part.front() == ' ') part.erase(0, 1);
        while (!part.empty() && part.back() == ' ') part.pop_back();
        long cid;
        if (!parse_int(part, 1, kCidMax, &cid)) return false;
        out->push_back({static_cast<int>(cid), "internet"});
        i = j + 1;
    }
    return true;
}

bool no_line_breaks(const std::string &s) { return s.find_first_of("\r\n") == std::string::npos; }

}  // namespace

uint8_t modem_service_id(const std::string &name) {
    if (name == "wds") return 0x01;
    if (name == "dms") return 0x02;
    if (name == "nas") return 0x03;
    if (name == "uim") return 0x0B;
    return 0;
}

int modem_reg_state(const ModemData &d) {
    if (d.cfun != 1 || d.cpin != "READY") return 0;
    return d.reg;
}

bool modem_registered(const ModemData &d) { return modem_reg_state(d) == 1; }

std::string modem_store_text(const ModemData &d) {
    std::string out = "# simulated modem NV/EFS store\n";
    for (const auto &kv : d.nv) out += "nv " + kv.first + " " + kv.second + "\n";
    for (const auto &kv : d.efs) out += "efs " + kv.first + " " + kv.second + "\n";
    out += "nvburs " + std::to_string(d.nvburs) + "\n";
    for (const PdpContext &c : d.contexts) out += "cgdcont " + std::to_string(c.cid) + " " + c.apn + "\n";
    out += modem_profiles_store_text(d);
    return out;
}

void modem_store_parse(const std::string &text, ModemData *d) {
    d->nv.clear();
    d->efs.clear();
    d->contexts.clear();
    d->profiles.clear();
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t s1 = line.find(' ');
        if (s1 == std::string::npos) continue;
        const std::string kind = line.substr(0, s1);
        const size_t s2 = line.find(' ', s1 + 1);
        const std::string name = line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
        const std::string value = s2 == std::string::npos ? std::string() : line.substr(s2 + 1);
        long v;
        if (kind == "nv" && !name.empty()) {
            d->nv[name] = value;
        } else if (kind == "efs" && !name.empty()) {
            d->efs[name] = value;
        } else if (kind == "nvburs" && parse_int(name, 0, 1, &v)) {
            d->nvburs = static_cast<int>(v);
        } else if (kind == "cgdcont" && parse_int(name, 1, kCidMax, &v)) {
            d->contexts.push_back({static_cast<int>(v), value});
        } else if (kind == "profile") {
            modem_profile_store_parse(name, value, d);
        }
    }
}

ModemState::ModemState(std::string store_path) : store_(std::move(store_path)) {
    // A well provisioned modem; scenarios and the store say otherwise.
    data_.nv = {{"5596", "0000"}, {"850", "0001"}, {"50003", "1"}, {"50004", "1"}, {"50005", "1"}};
    data_.efs = {{"/nv/item_files/modem/mmode/ue_usage_setting", "01"}, {"/nv/item_files/ims/IMS_enable", "00"}};
    data_.contexts = {{1, "internet"}};
    data_.profiles[1] = WdsProfile{1, 0, 0, "internet", "", ""};
    data_.ef_iccid = modem_iccid_ef("89860012345678901234");
    data_.ef_imsi = modem_imsi_ef("460011234567890");
    std::string text;
    if (!store_.empty() && devsim_read_file(store_, kStoreMax, &text) == 0) {
        modem_store_parse(text, &data_);
        loaded_ = true;
    }
}

ModemData ModemState::snapshot() const {
    std::lock_guard<std::mutex> hold(mu_);
    return data_;
}

int ModemState::save_failures() const {
    std::lock_guard<std::mutex> hold(mu_);
    return save_failures_;
}

void ModemState::set_listener(std::function<void(const ModemEvent &)> listener) {
    std::lock_guard<std::mutex> hold(listener_mu_);
    listener_ = std::move(listener);
}

int ModemState::save_locked() {
    if (store_.empty()) return 0;
    if (devsim_write_file(store_, modem_store_text(data_)) == 0) return 0;
    ++save_failures_;
    return -1;
}

void ModemState::after_update(const ModemData &before, std::vector<ModemEvent> *events) {
    // Without registration the network holds no data call; one still being
    // set up fails when its answer is due.
    if (!modem_registered(data_) &&
        std::erase_if(data_.calls, [](const DataCall &c) { return c.connected; }) > 0) {
        data_.end_reason = WDS_CALL_END_REASON_NO_SRV_V01;
    }
    if (modem_store_text(before) != modem_store_text(data_)) save_locked();
    if (modem_reg_state(before) != modem_reg_state(data_) || before.cfun != data_.cfun ||
        before.psrat != data_.psrat || before.roaming != data_.roaming || before.mcc != data_.mcc ||
        before.mnc != data_.mnc || before.operator_name != data_.operator_name) {
        events->push_back({ModemEvent::kRadio, 0, false});
    }
    for (const DataCall &b : before.calls) {
        const DataCall *now = nullptr;
        for (const DataCall &a : data_.calls) {
            if (a.id == b.id) now = &a;
        }
        if (now == nullptr) {
            events->push_back({ModemEvent::kCall, 0, false, b.id, b.owner, data_.end_reason, b.family});
        } else if (now->connected && !b.connected) {
            events->push_back({ModemEvent::kCall, 0, true, b.id, b.owner, 0, b.family});
        }
    }
    if (before.qos_seq != data_.qos_seq) {
        for (const DataCall &c : data_.calls) {
            if (!c.connected) continue;
            events->push_back({ModemEvent::kQos, 0, true, c.id, c.owner, data_.qos_status, c.family, data_.qos_flow});
        }
    }
    for (uint8_t s : {uint8_t{0x01}, uint8_t{0x02}, uint8_t{0x03}, uint8_t{0x0B}}) {
        const bool was = before.down.count(s) == 0;
        const bool is = data_.down.count(s) == 0;
        if (was != is) events->push_back({ModemEvent::kService, s, is});
    }
}

void ModemState::notify(const std::vector<ModemEvent> &events) {
    if (events.empty()) return;
    std::lock_guard<std::mutex> hold(listener_mu_);
    if (!listener_) return;
    for (const ModemEvent &e : events) listener_(e);
}

namespace {

// Settings that take a flag or a text as they are.
struct FlagKey {
    const char *name;
    bool ModemData::*field;
};
constexpr FlagKey kFlagKeys[] = {
    {"echo", &ModemData::echo}, {"silent", &ModemData::silent},
    {"noise", &ModemData::noise}, {"overlong", &ModemData::overlong},
};

struct TextKey {
    const char *name;
    std::string ModemData::*field;
};
constexpr TextKey kTextKeys[] = {
    {"csq", &ModemData::csq},   {"cpin", &ModemData::cpin},   {"psrat", &ModemData::psrat},
    {"sn", &ModemData::sn},     {"model", &ModemData::model}, {"manufacturer", &ModemData::manufacturer},
    {"hw", &ModemData::hw},     {"cnum", &ModemData::cnum},
};

}  // namespace

int ModemState::configure(const std::string &key, const std::string &value, bool seed) {
    if (!no_line_breaks(value)) return 0;
    // The store wins over the scenario: it holds what the agent fixed.
    const bool persistent = key.rfind("nv.", 0) == 0 || key.rfind("efs.", 0) == 0 || key == "nvburs" ||
                            key == "cgdcont" || modem_services_persistent_key(key);
    if (persistent && seed && loaded_) return 1;
    return update([&](ModemData &d) -> int {
        long v;
        for (const FlagKey &k : kFlagKeys) {
            if (key == k.name) return parse_flag(value, &(d.*k.field)) ? 1 : 0;
        }
        if (key == "delay_ms" || key == "delay") {
            if (!parse_int(value, 0, 60000, &v)) return 0;
            d.delay_ms = static_cast<unsigned>(v);
            return 1;
        }
        if (key == "cfun") {
            if (value != "0" && value != "1" && value != "4") return 0;
            d.cfun = value[0] - '0';
            return 1;
        }
        if (key == "nvburs") {
            if (!parse_int(value, 0, 1, &v)) return 0;
            d.nvburs = static_cast<int>(v);
            return 1;
        }
        if (key == "cgdcont") {
            std::vector<PdpContext> c;
            if (!parse_cids(value, &c)) return 0;
            d.contexts = c;
            return 1;
        }
        if (key == "service_down" || key == "service_up") {
            std::set<uint8_t> ids;
            std::string names = value + ",";
            size_t i = 0;
            while (i < names.size()) {
                size_t j = names.find(',', i);
                std::string n = names.substr(i, j - i);
                while (!n.empty() && n.front() == ' ') n.erase(0, 1);
                while (!n.empty() && n.back() == ' ') n.pop_back();
                if (!n.empty()) {
                    const uint8_t id = modem_service_id(n);
                    if (id == 0) return 0;
                    ids.insert(id);
                }
                i = j + 1;
            }
            if (ids.empty()) return 0;
            for (uint8_t id : ids) {
                if (key == "service_down") {
                    d.down.insert(id);
                } else {
                    d.down.erase(id);
                }
            }
            return 1;
        }
        for (const TextKey &k : kTextKeys) {
            if (key == k.name) {
                d.*k.field = value;
                return 1;
            }
        }
        // Names end at the first blank in the store.
        if (key.rfind("nv.", 0) == 0 && key.size() > 3 && key.find(' ') == std::string::npos) {
            d.nv[key.substr(3)] = value;
            return 1;
        }
        if (key.rfind("efs.", 0) == 0 && key.size() > 4 && key.find(' ') == std::string::npos) {
            d.efs[key.substr(4)] = value;
            return 1;
        }
        const int r = modem_services_configure(d, key, value);
        return r == 1 ? 1 : 0;
    });
}
