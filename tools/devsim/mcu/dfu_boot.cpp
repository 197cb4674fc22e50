#include "mcu/dfu_boot.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "core/control.h"
#include "core/devsim_files.h"
#include "core/frame_link.h"

namespace {

constexpr uint8_t kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;
constexpr size_t kRxMax = 4096;  // SLIP bytes without an END before they are thrown away

enum : uint8_t {
    OP_CREATE = 0x01, OP_PRN = 0x02, OP_CRC = 0x03, OP_EXECUTE = 0x04, OP_SELECT = 0x06,
    OP_MTU = 0x07, OP_WRITE = 0x08, OP_PING = 0x09, OP_ABORT = 0x0C, OP_RESPONSE = 0x60,
};
// Result codes of this simulated bootloader.
enum : uint8_t {
    RES_OK = 0x01, RES_UNKNOWN_OP = 0x02, RES_BAD_PARAM = 0x03, RES_TOO_BIG = 0x04, RES_NOT_PERMITTED = 0x08,
};

uint32_t crc_table_entry(uint32_t c) {
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    return c;
}

void put32(DfuBytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t get32(const DfuBytes &p, size_t at) {
    return static_cast<uint32_t>(p[at]) | static_cast<uint32_t>(p[at + 1]) << 8 |
           static_cast<uint32_t>(p[at + 2]) << 16 | static_cast<uint32_t>(p[at + 3]) << 24;
}

bool parse_long(const std::string &v, long max, long *out) {
    unsigned u = 0;
    if (v == "-" || v == "off") {
        *out = -1;
        return true;
    }
    if (!parse_dec_number(v, static_cast<unsigned>(max), &u)) return false;
    *out = static_cast<long>(u);
    return true;
}

}  // namespace

uint32_t devsim_crc32(const uint8_t *data, size_t len) {
    // Table-driven here (the agent's is bitwise), so the two check each other.
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) table[i] = crc_table_entry(i);
        ready = true;
    }
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) c = table[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    return ~c;
}

DfuBytes devsim_slip_encode(const DfuBytes &packet) {
    DfuBytes out;
    for (uint8_t b : packet) {
        if (b == kEnd) {
            out.push_back(kEsc);
            out.push_back(kEscEnd);
        } else if (b == kEsc) {
            out.push_back(kEsc);
            out.push_back(kEscEsc);
        } else {
            out.push_back(b);
        }
    }
    out.push_back(kEnd);
    return out;
}

DfuBoot::DfuBoot(PeerLine &line) : line_(line) {}

int64_t DfuBoot::now_us() const {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void DfuBoot::set_boot(bool on) {
    if (on != boot_) printf("devsim: mcu: %s running\n", on ? "bootloader" : "application");
    fflush(stdout);
    boot_ = on;
    hung_ = false;
    rx_.clear();
}

// ---- Application side -----------------------------------------------------------

bool DfuBoot::on_app_caret(uint8_t cmd, const DfuBytes &data) {
    if (cmd == 0xFF && data.size() == 3) {
        record_watchdog(data[0], static_cast<unsigned>(data[1]) << 8 | data[2]);
        return true;
    }
    const bool version = cmd == 0x20 && data == DfuBytes{0x01};
    const bool to_boot = cmd == 0x54 && data == DfuBytes{0x01};
    if (!version && !to_boot) return false;
    if (k_.app_silent) return true;
    const DfuBytes ans = version ? encode_caret_frame(0xB0, {0x01, 0x02, 0x03}) : encode_caret_frame(0xD4, {0x01});
    line_.send(ans.data(), ans.size(), k_.delay_ms);
    if (to_boot && !k_.app_stay) set_boot(true);
    return true;
}

void DfuBoot::record_watchdog(uint8_t sub, unsigned value) {
    switch (sub) {
        case 0xA0: wd_timeout_ = value; break;
        case 0xB1: wd_enabled_ = 1; wd_timeout_ = value; break;
        case 0xB0: wd_enabled_ = 0; break;
        case 0xFF: ++wd_feeds_; wd_timeout_ = value; break;
        default: return;
    }
    char text[96];
    snprintf(text, sizeof text, "enabled=%d timeout=%u feeds=%u\n", wd_enabled_, wd_timeout_, wd_feeds_);
    devsim_write_file(line_.root() + "/var/devsim/mcu_watchdog", text);
}

// ---- Bootloader side -------------------------------------------------------------

void DfuBoot::feed(const uint8_t *data, size_t len) {
    if (k_.baud != 0) {
        const int64_t now = now_us();
        if (rx_free_us_ < now) rx_free_us_ = now;
        rx_free_us_ += static_cast<int64_t>(len) * 10 * 1000000 / k_.baud;
    }
    for (size_t i = 0; i < len && boot_; ++i) {
        rx_.push_back(data[i]);
        if (data[i] != kEnd) {
            if (rx_.size() > kRxMax) {
                line_.trace("RX-BAD long", rx_.data(), rx_.size());
                rx_.clear();
            }
            continue;
        }
        DfuBytes raw;
        raw.swap(rx_);
        if (raw.size() == 1) continue;  // a lone END
        if (raw.size() > k_.mtu) {
            line_.trace("RX-BAD mtu", raw.data(), raw.size());
            continue;
        }
        DfuBytes p;
        bool bad = false;
        for (size_t j = 0; j + 1 < raw.size(); ++j) {
            uint8_t b = raw[j];
            if (b == kEsc) {
                if (j + 2 >= raw.size() || (raw[j + 1] != kEscEnd && raw[j + 1] != kEscEsc)) {
                    bad = true;
                    break;
                }
                b = raw[++j] == kEscEnd ? kEnd : kEsc;
            }
            p.push_back(b);
        }
        if (bad) {
            line_.trace("RX-BAD slip", raw.data(), raw.size());
            continue;
        }
        packet(p);
    }
}

void DfuBoot::send_raw(const DfuBytes &bytes) {
    unsigned delay = k_.delay_ms;
    if (k_.baud != 0) {
        const int64_t now = now_us();
        int64_t start = rx_free_us_ > tx_free_us_ ? rx_free_us_ : tx_free_us_;
        if (start < now) start = now;
        tx_free_us_ = start + static_cast<int64_t>(bytes.size()) * 10 * 1000000 / k_.baud;
        delay += static_cast<unsigned>((tx_free_us_ - now + 999) / 1000);
    }
    if (k_.split && bytes.size() > 1) {
        const size_t half = bytes.size() / 2;
        line_.send(bytes.data(), half, delay);
        line_.send(bytes.data() + half, bytes.size() - half, delay + 300);
        return;
    }
    line_.send(bytes.data(), bytes.size(), delay);
}

void DfuBoot::answer(uint8_t op, uint8_t result, const DfuBytes &extra) {
    DfuBytes p = {OP_RESPONSE, op, result};
    if (result == RES_OK) p.insert(p.end(), extra.begin(), extra.end());
    send_raw(devsim_slip_encode(p));
}

void DfuBoot::apply_break(bool drop_object) {
    if (drop_object) {
        fw_.resize(executed_);
        data_open_ = false;
    }
    hung_ = true;
    broke_ = true;
    printf("devsim: mcu: bootloader %s after %zu writes\n", drop_object ? "restarted" : "hung", writes_);
    fflush(stdout);
}

void DfuBoot::packet(const DfuBytes &p) {
    line_.trace("RX", p.data(), p.size());
    if (p.empty()) return;
    const uint8_t op = p[0];
    if (op == OP_ABORT) {
        // Abort always reaches the MCU (it is what a reset line would do).
        k_.silent_after_writes = k_.reset_after_writes = -1;
        set_boot(false);
        return;
    }
    if (hung_ || k_.silent) return;
    if (op == OP_WRITE) {
        if (k_.silent_after_writes >= 0 && static_cast<long>(writes_) >= k_.silent_after_writes) {
            apply_break(false);
            return;
        }
        if (k_.reset_after_writes >= 0 && static_cast<long>(writes_) >= k_.reset_after_writes) {
            apply_break(true);
            return;
        }
        ++writes_;
        on_write(p.data() + 1, p.size() - 1);
        return;
    }
    if (k_.error_op == op) {
        answer(op, k_.error_code);
        return;
    }
    switch (op) {
        case OP_PING:
            if (p.size() != 2) return answer(op, RES_BAD_PARAM);
            return answer(op, RES_OK, {p[1]});
        case OP_PRN:
            if (p.size() != 3) return answer(op, RES_BAD_PARAM);
            return answer(op, RES_OK);
        case OP_MTU:
            return answer(op, RES_OK, {static_cast<uint8_t>(k_.mtu), static_cast<uint8_t>(k_.mtu >> 8)});
        case OP_SELECT: {
            if (p.size() != 2 || (p[1] != 1 && p[1] != 2)) return answer(op, RES_BAD_PARAM);
            DfuBytes r;
            obj_type_ = p[1];
            if (p[1] == 1) {
                put32(r, k_.max_cmd);
                put32(r, static_cast<uint32_t>(cmd_.size()));
                put32(r, devsim_crc32(cmd_.data(), cmd_.size()));
            } else {
                if (broke_ && k_.resume_offset >= 0 && static_cast<size_t>(k_.resume_offset) < fw_.size()) {
                    // Only what was never executed can be lost.
                    fw_.resize(static_cast<size_t>(k_.resume_offset) > executed_ ? static_cast<size_t>(k_.resume_offset)
                                                                                 : executed_);
                }
                broke_ = false;
                put32(r, k_.max_data);
                put32(r, static_cast<uint32_t>(fw_.size()));
                put32(r, devsim_crc32(fw_.data(), fw_.size()));
            }
            return answer(op, RES_OK, r);
        }
        case OP_CREATE: {
            if (p.size() != 6 || (p[1] != 1 && p[1] != 2)) return answer(op, RES_BAD_PARAM);
            const uint32_t size = get32(p, 2);
            if (p[1] == 1) {
                if (size == 0 || size > k_.max_cmd) return answer(op, RES_TOO_BIG);
                cmd_.clear();
                cmd_size_ = size;
                cmd_executed_ = false;
                fw_.clear();
                executed_ = 0;
                fw_objects_ = 0;
                kind_ = "image";
                expect_size_ = -1;
                data_open_ = false;
            } else {
                if (size == 0 || size > k_.max_data) return answer(op, RES_TOO_BIG);
                if (!cmd_executed_) return answer(op, RES_NOT_PERMITTED);
                fw_.resize(executed_);
                obj_start_ = executed_;
                obj_size_ = size;
                data_open_ = true;
                ++fw_objects_;
            }
            obj_type_ = p[1];
            return answer(op, RES_OK);
        }
        case OP_CRC: {
            DfuBytes r;
            const DfuBytes &d = obj_type_ == 1 ? cmd_ : fw_;
            uint32_t off = static_cast<uint32_t>(d.size());
            uint32_t crc = devsim_crc32(d.data(), d.size());
            if (obj_type_ == 2 && ++crc_for_bad_ == k_.bad_crc_object) {
                crc ^= 0x5A5A5A5Au;
                k_.bad_crc_object = -1;
            }
            if (obj_type_ == 2 && ++crc_for_offset_ == k_.wrong_offset_object) {
                off += 1;
                k_.wrong_offset_object = -1;
            }
            put32(r, off);
            put32(r, crc);
            return answer(op, RES_OK, r);
        }
        case OP_EXECUTE:
            if (obj_type_ != 1 && ++fw_executes_ == k_.hang_at_execute) {
                k_.hang_at_execute = -1;
                return apply_break(false);
            }
            return on_execute();
        default:
            return answer(op, RES_UNKNOWN_OP);
    }
}

void DfuBoot::on_write(const uint8_t *d, size_t n) {
    if (obj_type_ == 1) {
        for (size_t i = 0; i < n && cmd_.size() < cmd_size_; ++i) cmd_.push_back(d[i]);
        return;
    }
    if (obj_type_ != 2 || !data_open_) return;  // no object open: the bytes go nowhere
    for (size_t i = 0; i < n; ++i) {
        if (k_.drop_byte >= 0 && static_cast<long>(fw_bytes_seen_++) == k_.drop_byte) {
            k_.drop_byte = -1;
            continue;
        }
        if (fw_.size() < static_cast<size_t>(obj_start_) + obj_size_) fw_.push_back(d[i]);
    }
}

void DfuBoot::on_execute() {
    if (obj_type_ == 1) {
        if (cmd_.size() != cmd_size_) return answer(OP_EXECUTE, RES_NOT_PERMITTED);
        cmd_executed_ = true;
        const std::string text(cmd_.begin(), cmd_.end());
        for (const char *k : {"softdevice_bootloader", "softdevice", "bootloader", "application"}) {
            if (text.find(k) != std::string::npos) {
                kind_ = k;
                break;
            }
        }
        size_t at = text.find("size=");
        if (at != std::string::npos) {
            unsigned long v = strtoul(text.c_str() + at + 5, nullptr, 10);
            expect_size_ = static_cast<long>(v);
        }
        return answer(OP_EXECUTE, RES_OK);
    }
    if (obj_type_ != 2) return answer(OP_EXECUTE, RES_NOT_PERMITTED);
    const bool open_done = data_open_ && fw_.size() == static_cast<size_t>(obj_start_) + obj_size_;
    const bool nothing_open = fw_.size() == executed_;
    if (!open_done && !nothing_open) return answer(OP_EXECUTE, RES_NOT_PERMITTED);
    executed_ = static_cast<uint32_t>(fw_.size());
    data_open_ = false;
    write_image();
    const bool final = expect_size_ >= 0 && static_cast<long>(executed_) == expect_size_;
    if (!final) return answer(OP_EXECUTE, RES_OK);
    printf("devsim: mcu: %s image complete, %u bytes, crc 0x%08X\n", kind_.c_str(), executed_,
           devsim_crc32(fw_.data(), fw_.size()));
    fflush(stdout);
    if (k_.final_error >= 0) return answer(OP_EXECUTE, static_cast<uint8_t>(k_.final_error));
    if (!k_.final_silent) answer(OP_EXECUTE, RES_OK);
    // A new application starts at once; the bootloader stays for a SoftDevice
    // or bootloader image, which the application follows.
    if (kind_ == "application") set_boot(false);
}

void DfuBoot::write_image() {
    last_file_ = line_.root() + "/var/devsim/nrf_" + kind_ + ".bin";
    devsim_write_file(last_file_, std::string(fw_.begin(), fw_.end()));
}

// ---- Knobs ------------------------------------------------------------------------

int DfuBoot::configure(const std::string &key_in, const std::string &value, std::string *why) {
    if (key_in.rfind("dfu.", 0) != 0) return 0;
    const std::string key = key_in.substr(4);
    unsigned u = 0;
    long l = 0;
    auto flag = [&](bool *dst) {
        if (value != "0" && value != "1") {
            *why = key + " takes 0 or 1";
            return -1;
        }
        *dst = value == "1";
        return 1;
    };
    auto number = [&](long max, long *dst) {
        if (!parse_long(value, max, &l)) {
            *why = key + " takes a number up to " + std::to_string(max) + " or -";
            return -1;
        }
        *dst = l;
        return 1;
    };
    if (key == "mode") {
        if (value != "app" && value != "boot") return *why = "mode is app or boot", -1;
        set_boot(value == "boot");
        return 1;
    }
    if (key == "app") {
        if (value != "normal" && value != "silent" && value != "stay") return *why = "app is normal, silent or stay", -1;
        k_.app_silent = value == "silent";
        k_.app_stay = value == "stay";
        return 1;
    }
    if (key == "mtu" || key == "max_cmd" || key == "max_data" || key == "delay_ms" || key == "baud") {
        if (!parse_dec_number(value, key == "mtu" ? 65535u : 100000000u, &u)) return *why = key + " takes a number", -1;
        if (key == "mtu") k_.mtu = u;
        if (key == "max_cmd") k_.max_cmd = u;
        if (key == "max_data") k_.max_data = u;
        if (key == "delay_ms") k_.delay_ms = u;
        if (key == "baud") k_.baud = u;
        return 1;
    }
    if (key == "silent") return flag(&k_.silent);
    if (key == "final_silent") return flag(&k_.final_silent);
    if (key == "split") return flag(&k_.split);
    if (key == "silent_after_writes" || key == "reset_after_writes") {
        writes_ = 0;
        return number(100000000, key == "silent_after_writes" ? &k_.silent_after_writes : &k_.reset_after_writes);
    }
    if (key == "resume_offset") return number(100000000, &k_.resume_offset);
    if (key == "hang_at_execute") {
        fw_executes_ = 0;
        return number(100000, &k_.hang_at_execute);
    }
    if (key == "drop_byte") {
        fw_bytes_seen_ = 0;
        return number(100000000, &k_.drop_byte);
    }
    if (key == "bad_crc_object") {
        crc_for_bad_ = 0;
        return number(100000, &k_.bad_crc_object);
    }
    if (key == "wrong_offset_object") {
        crc_for_offset_ = 0;
        return number(100000, &k_.wrong_offset_object);
    }
    if (key == "final_error") {
        if (value == "-") return k_.final_error = -1, 1;
        if (!parse_hex_number(value, 0xFF, &u)) return *why = "final_error takes a hex code", -1;
        k_.final_error = static_cast<int>(u);
        return 1;
    }
    if (key == "error") {
        if (value == "-") return k_.error_op = -1, 1;
        const size_t c = value.find(':');
        unsigned op = 0;
        if (c == std::string::npos || !parse_hex_number(value.substr(0, c), 0xFF, &op) ||
            !parse_hex_number(value.substr(c + 1), 0xFF, &u))
            return *why = "error takes <op hex>:<code hex>", -1;
        k_.error_op = static_cast<int>(op);
        k_.error_code = static_cast<uint8_t>(u);
        return 1;
    }
    *why = "unknown key " + key_in;
    return -1;
}

int DfuBoot::command(const std::string &args, std::string *why) {
    const std::vector<std::string> w = control_words(args);
    if (w.size() != 2) {
        *why = "dfu <key> <value>";
        return -1;
    }
    return configure("dfu." + w[0], w[1], why) == 1 ? 0 : -1;
}
