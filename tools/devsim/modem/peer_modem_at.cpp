#include "modem/peer_modem_at.h"

#include <cctype>
#include <cstdlib>

#include "core/control.h"
#include "modem/modem_qmi.h"

namespace {

const std::string kOk = "\r\nOK\r\n";
const std::string kError = "\r\nERROR\r\n";
// Line noise: bytes a disturbed line produces, no NUL so text searches go on.
const std::string kNoise = "\xff\xfe\x1b[?\x7f~\x80";

std::string info(const std::string &text) { return "\r\n" + text + "\r\n" + kOk; }

std::string upper(std::string s) {
    for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

bool all_digits(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s) {
        if (!isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// Names go into the store, where a blank ends them.
bool store_name_ok(const std::string &s) { return !s.empty() && s.find(' ') == std::string::npos; }

std::string nvrw(ModemState &st, const std::vector<std::string> &a) {
    if (a.size() < 2 || !all_digits(a[1])) return kError;
    if (a[0] == "0" && a.size() == 2) {
        return st.update([&](ModemData &d) {
            auto it = d.nv.find(a[1]);
            return it == d.nv.end() ? kError : info("+NVRW:\"" + it->second + "\"");
        });
    }
    if (a[0] == "1" && a.size() == 3) {
        st.update([&](ModemData &d) {
            if (d.ignore_write.count(a[1]) == 0) d.nv[a[1]] = a[2];
        });
        return kOk;
    }
    return kError;
}

std::string efsrw(ModemState &st, const std::vector<std::string> &a) {
    if (a.size() < 3 || a[1] != "0" || !store_name_ok(a[2])) return kError;
    if (a[0] == "0" && a.size() == 3) {
        return st.update([&](ModemData &d) {
            auto it = d.efs.find(a[2]);
            return it == d.efs.end() ? kError : info("+EFSRW:" + it->second);
        });
    }
    if (a[0] == "1" && a.size() == 4) {
        st.update([&](ModemData &d) {
            if (d.ignore_write.count(a[2]) == 0) d.efs[a[2]] = a[3];
        });
        return kOk;
    }
    return kError;
}

std::string cgdcont_list(const ModemData &d) {
    std::string out = "\r\n";
    for (const PdpContext &c : d.contexts) {
        out += "+CGDCONT: " + std::to_string(c.cid) + ",\"IP\",\"" + c.apn + "\",\"0.0.0.0\",0,0\r\n";
    }
    return out + kOk;
}

std::string cgdcont_set(ModemState &st, const std::vector<std::string> &a) {
    if (a.empty() || !all_digits(a[0]) || a[0].size() > 2) return kError;
    const int cid = atoi(a[0].c_str());
    if (cid < 1 || cid > 24) return kError;
    if (a.size() == 1) {  // undefines the context, every copy of it
        st.update([&](ModemData &d) {
            if (d.ignore_write.count("cgdcont") != 0) return;
            std::vector<PdpContext> keep;
            for (const PdpContext &c : d.contexts) {
                if (c.cid != cid) keep.push_back(c);
            }
            d.contexts = keep;
        });
        return kOk;
    }
    const std::string apn = a.size() >= 3 ? a[2] : "";
    if (!store_name_ok(apn) && !apn.empty()) return kError;
    st.update([&](ModemData &d) {
        for (PdpContext &c : d.contexts) {
            if (c.cid == cid) {
                c.apn = apn;
                return;
            }
        }
        d.contexts.push_back({cid, apn});
    });
    return kOk;
}

class ModemAtPeer final : public Peer {
public:
    explicit ModemAtPeer(PeerLine &line)
        : line_(line),
          state_(line.root() + "/var/devsim/modem_nv.txt"),
          qmi_(state_),
          control_("modem", [this](const std::string &cmd, const std::string &args, std::string *why) {
              return control(cmd, args, why);
          }) {
        qmi_.start(line.root());
    }

    int configure(const std::string &key, const std::string &value) override {
        return state_.configure(key, value, true);
    }

    void on_bytes(const uint8_t *data, size_t len) override {
        line_.trace("RX", data, len);
        const ModemData now = state_.snapshot();
        if (now.silent) return;  // a dead modem: no echo, no answer, no effect
        if (now.echo) line_.send(data, len, 0);
        for (size_t i = 0; i < len; ++i) {
            const char c = static_cast<char>(data[i]);
            if (c != '\r' && c != '\n') {
                if (buf_.size() < kModemAtLineMax) {
                    buf_ += c;
                } else {
                    overflow_ = true;
                }
                continue;
            }
            if (buf_.empty() && !overflow_) continue;  // "\n" of a "\r\n", or an empty line
            const std::string cmd = buf_;
            const bool too_long = overflow_;
            buf_.clear();
            overflow_ = false;
            answer(too_long ? kError : modem_at_execute(state_, cmd));
        }
    }

private:
    void answer(const std::string &reply) {
        const ModemData d = state_.snapshot();
        std::string out;
        if (d.noise) out += kNoise;
        if (d.overlong) out += "\r\n+DIAG: " + std::string(1024, 'x') + "\r\n";
        out += reply;
        line_.send(reinterpret_cast<const uint8_t *>(out.data()), out.size(), d.delay_ms);
    }

    // "modem <key> <value>": the scenario keys, at run time.
    int control(const std::string &key, const std::string &value, std::string *why) {
        if (state_.configure(key, value, false) == 1) return 0;
        *why = key.empty() ? "modem <key> <value>" : "unknown key or bad value";
        return -1;
    }

    PeerLine &line_;
    ModemState state_;
    ModemQmi qmi_;
    ControlRegistration control_;
    std::string buf_;
    bool overflow_ = false;
};

}  // namespace

bool modem_at_args(const std::string &text, std::vector<std::string> *out) {
    out->clear();
    std::string cur;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            out->push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (quoted) return false;
    out->push_back(cur);
    return true;
}

std::string modem_at_execute(ModemState &st, const std::string &line) {
    std::string cmd = line;
    while (!cmd.empty() && (cmd.front() == ' ' || cmd.front() == '\t')) cmd.erase(0, 1);
    while (!cmd.empty() && (cmd.back() == ' ' || cmd.back() == '\t')) cmd.pop_back();
    const std::string up = upper(cmd);
    if (up.rfind("AT", 0) != 0) return kError;
    const std::string body = up.substr(2);
    if (body.empty()) return kOk;
    if (body == "E0" || body == "E1" || body == "E") {
        st.update([&](ModemData &d) { d.echo = body == "E1"; });
        return kOk;
    }
    if (body[0] != '+') return kError;
    const size_t cut = body.find_first_of("=?");
    const std::string name = body.substr(0, cut);
    const std::string tail = cut == std::string::npos ? std::string() : cmd.substr(2 + cut);  // original case
    std::vector<std::string> args;
    if (tail.size() > 1 && tail[0] == '=' && !modem_at_args(tail.substr(1), &args)) return kError;

    const ModemData d = st.snapshot();
    const bool on = d.cfun == 1;
    if (name == "+CSQ" && tail.empty()) return info("+CSQ: " + (on ? d.csq : std::string("99,99")));
    if (name == "+CPIN" && tail == "?") {
        // Numeric or verbose error texts, as +CMEE says.
        const bool verbose = d.cmee == 2;
        if (d.cpin == "NOT INSERTED") return verbose ? "\r\n+CME ERROR: SIM not inserted\r\n" : "\r\n+CME ERROR: 10\r\n";
        if (d.cpin == "BUSY") return verbose ? "\r\n+CME ERROR: SIM busy\r\n" : "\r\n+CME ERROR: 14\r\n";
        if (d.cpin == "BLOCKED") return verbose ? "\r\n+CME ERROR: SIM failure\r\n" : "\r\n+CME ERROR: 13\r\n";
        return info("+CPIN: " + d.cpin);
    }
    if (name == "+CMEE") {
        if (tail == "?") return info("+CMEE: " + std::to_string(d.cmee));
        if (args.size() == 1 && (args[0] == "1" || args[0] == "2")) {
            st.update([&](ModemData &m) { m.cmee = args[0][0] - '0'; });
            return kOk;
        }
        return kError;
    }
    if (name == "+PSRAT" && tail.empty()) return info("+PSRAT: " + (on ? d.psrat : std::string("NONE")));
    if (name == "+LCTSN") return info("+LCTSN: \"" + d.sn + "\"");
    // This module prefixes its identity answers, like its other information lines.
    if (name == "+CGMM" && tail.empty()) return info("+CGMM: " + d.model);
    if (name == "+CGMI" && tail.empty()) return info("+CGMI: " + d.manufacturer);
    if (name == "+SFHW" && tail.empty()) return info("+SFHW: " + d.hw);
    if (name == "+CNUM" && tail.empty()) {
        return d.cnum.empty() ? kOk : info("+CNUM: ,\"" + d.cnum + "\",129");
    }
    if (name == "+CFUN") {
        if (tail == "?") return info("+CFUN: " + std::to_string(d.cfun));
        if (args.size() >= 1 && (args[0] == "0" || args[0] == "1" || args[0] == "4")) {
            st.update([&](ModemData &m) { m.cfun = args[0][0] - '0'; });
            return kOk;
        }
        return kError;
    }
    if (name == "+RESET" && tail.empty()) {
        // The modem restarts: back on air with its defaults.
        st.update([](ModemData &m) {
            m.cfun = 1;
            ++m.resets;
        });
        return kOk;
    }
    if (name == "+POWEROFF" && tail.empty()) {
        st.update([](ModemData &m) { m.cfun = 0; });
        return kOk;
    }
    if (name == "+NVRW" && !args.empty()) return nvrw(st, args);
    if (name == "+EFSRW" && !args.empty()) return efsrw(st, args);
    if (name == "+NVBURS" && args.size() == 1) {
        if (args[0] == "2") return info("+nvburs: " + std::to_string(d.nvburs));
        if (args[0] == "0" || args[0] == "1") {
            st.update([&](ModemData &m) {
                if (m.ignore_write.count("nvburs") == 0) m.nvburs = args[0][0] - '0';
            });
            return kOk;
        }
        return kError;
    }
    if (name == "+CGDCONT") {
        if (tail == "?") return cgdcont_list(d);
        if (!args.empty()) return cgdcont_set(st, args);
    }
    return kError;
}

std::unique_ptr<Peer> make_modem_at_peer(PeerLine &line) { return std::make_unique<ModemAtPeer>(line); }
