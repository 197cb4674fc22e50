#include "core/iot_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/plat_clock.h"
#include "platform/plat_path.h"
#include "platform/sys_action.h"
#include "platform/unique_fd.h"

namespace {

constexpr const char kDefaultBrokerHost[] = TELAGENT_DEFAULT_BROKER_HOST;
constexpr const char kSection[] = "IotCfg";
// Longest line content the reader accepts; longer lines are skipped whole.
constexpr size_t kMaxLine = 63;
// Every typed read goes through a buffer of this size (64 characters + NUL).
constexpr int kValueBuf = 65;
constexpr int kAuthMax = 128;

constexpr const char kLibIotPath[] = "/iot/conf/libiot.ini";
constexpr const char kAuthPath[] = "/iot/conf/auth.bin";
constexpr const char kDebugPath[] = "/media/ram/iotdebug.ini";
constexpr const char kFocTag[] = "/iot/conf/foc.tag";
constexpr const char kLedTag[] = "/iot/conf/led.tag";
constexpr const char kBtnLedTag[] = "/iot/conf/btnled.tag";

// ---------------------------------------------------------------------------
// In-memory copy, copy-on-write.  Readers take the current snapshot and read
// it without any lock held, so they never wait for a setter's write to flash;
// a setter builds the new copy aside and swaps the pointer when the file is in
// place.  A reader holding the old snapshot keeps it alive until it is done.

using Snapshot = std::shared_ptr<const std::string>;  // null when no file could be read

struct IniStore {
    std::mutex write_mu;  // one setter (or load) at a time; guards path
    std::mutex ptr_mu;    // held only to copy or swap the pointer
    Snapshot data;
    std::string path;     // file the copy came from
};

Snapshot snapshot(IniStore &s) {
    std::lock_guard<std::mutex> lk(s.ptr_mu);
    return s.data;
}

// Bumped with every published copy: a reader that caches one value (the
// motion thread reads WorkingMode ten times a second) compares it instead of
// looking the key up again.
std::atomic<uint32_t> g_generation{1};

void publish(IniStore &s, Snapshot next) {
    std::lock_guard<std::mutex> lk(s.ptr_mu);
    s.data.swap(next);
    g_generation.fetch_add(1, std::memory_order_release);
    // The old copy is released here or by its last reader.
}

IniStore &store() {
    // Never destroyed: link threads may still read settings while the process
    // exits.
    static IniStore *s = new IniStore;
    return *s;
}


// ---------------------------------------------------------------------------
// Small helpers.

using Fd = UniqueFd;

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool is_quote(char c) { return c == '"' || c == '\''; }

bool write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Reads a whole regular file.  False when it cannot be opened or read.
bool read_whole(const std::string &path, std::string &out, bool &opened) {
    opened = false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    opened = true;
    out.clear();
    try {
        out.reserve(static_cast<size_t>(st.st_size));
        char buf[4096];
        for (;;) {
            ssize_t n = ::read(fd.get(), buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                return false;
            }
            if (n == 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// Replaces `path` with `data`: write "<path>.tmp" beside it, fsync, rename over
// the old file, fsync the directory.  A power cut leaves the old or the new
// file, never a truncated one.  On failure the old file is untouched.
bool replace_file(const std::string &path, const char *data, size_t n) {
    const std::string tmp = path + ".tmp";
    struct stat old {};
    const bool had_old = ::stat(path.c_str(), &old) == 0;
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd.ok()) return false;  // not ours to remove (may be a directory)
    bool ok = true;
    if (had_old && S_ISREG(old.st_mode)) ok = ::fchmod(fd.get(), old.st_mode & 07777) == 0;
    // The file's own fsync and the directory's below make the replace
    // durable; a system-wide sync would only wait for everybody else's data.
    ok = ok && write_all(fd.get(), data, n) && ::fsync(fd.get()) == 0;
    ok = fd.close_checked() && ok;
    if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tmp.c_str());
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dfd.ok()) ::fsync(dfd.get());  // best effort: the rename has happened
    return true;
}

// Plain truncating write for the small files; sync after closing.
bool write_plain(const std::string &path, const char *data, size_t n) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.ok()) return false;
    bool ok = write_all(fd.get(), data, n);
    ok = fd.close_checked() && ok;
    sys_sync();
    return ok;
}

// Decimal like atoi, but without undefined behaviour on overflow.
int parse_dec(const char *s) {
    errno = 0;
    long long v = std::strtoll(s, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

// A TCP port as stored text: 1..65535 in decimal, nothing after the digits.
// Anything else is refused with a line naming the key, so that 70000 never
// wraps into 4464 and sends the box to a stranger's port.
bool parse_port(const char *key, const char *text, uint16_t &port) {
    char *end = nullptr;
    errno = 0;
    long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || v < 1 || v > 65535) {
        std::printf("%s out of range (1..65535): %s\n", key, text);
        return false;
    }
    port = static_cast<uint16_t>(v);
    return true;
}

void copy_cut(char *dst, size_t cap, std::string_view src) {
    if (cap == 0) return;
    size_t n = src.size() < cap - 1 ? src.size() : cap - 1;
    if (n > 0) std::memcpy(dst, src.data(), n);  // an empty view may carry a null pointer
    dst[n] = '\0';
}

// ---------------------------------------------------------------------------
// The INI dialect.

enum class LineKind { Empty, Ignored, Section, Key };

struct Line {
    size_t start = 0;     // first byte of the line
    size_t comment = 0;   // where a comment begins, else the line end
    size_t next = 0;      // first byte after the line end (CR, LF or CR LF)
    bool terminated = false;
    LineKind kind = LineKind::Empty;
    std::string_view name;   // section name or key
    std::string_view value;  // key lines: value without outer quotes
};

Line parse_line(std::string_view buf, size_t pos) {
    Line ln;
    ln.start = pos;
    size_t eol = pos;
    while (eol < buf.size() && buf[eol] != '\n' && buf[eol] != '\r') ++eol;
    ln.terminated = eol < buf.size();
    ln.next = eol;
    if (ln.terminated) {
        ln.next = eol + 1;
        if (buf[eol] == '\r' && ln.next < buf.size() && buf[ln.next] == '\n') ++ln.next;
    }

    size_t b = pos;
    while (b < eol && is_blank(buf[b])) ++b;
    char quote = 0;
    size_t c = b;
    for (; c < eol; ++c) {
        char ch = buf[c];
        if (quote) {
            if (ch == quote) quote = 0;
        } else if (is_quote(ch)) {
            quote = ch;
        } else if (ch == '#' || ch == ';') {
            break;
        }
    }
    ln.comment = c;
    std::string_view content = trim(buf.substr(b, c - b));
    if (content.empty()) {
        ln.kind = LineKind::Empty;
    } else if (content.size() > kMaxLine) {
        ln.kind = LineKind::Ignored;
    } else if (content.size() >= 2 && content.front() == '[' && content.back() == ']') {
        ln.kind = LineKind::Section;
        ln.name = trim(content.substr(1, content.size() - 2));
    } else if (size_t eq = content.find('='); eq != std::string_view::npos) {
        ln.kind = LineKind::Key;
        ln.name = trim(content.substr(0, eq));
        std::string_view v = trim(content.substr(eq + 1));
        if (v.size() >= 2 && is_quote(v.front()) && v.back() == v.front()) v = v.substr(1, v.size() - 2);
        ln.value = v;
    } else {
        ln.kind = LineKind::Ignored;
    }
    return ln;
}

struct Lookup {
    bool section = false;
    size_t insert = 0;  // after the header or the section's last key line
    bool key = false;
    Line line;          // the key's line when found
};

// Finds `key` in the first section named `section`; the search ends at the
// next section header.
Lookup find_key(std::string_view buf, std::string_view section, std::string_view key) {
    Lookup r;
    size_t pos = 0;
    while (pos < buf.size()) {
        Line ln = parse_line(buf, pos);
        pos = ln.next;
        if (ln.kind == LineKind::Section) {
            if (r.section) break;
            if (same_name(ln.name, section)) {
                r.section = true;
                r.insert = ln.next;
            }
        } else if (ln.kind == LineKind::Key && r.section) {
            r.insert = ln.next;
            if (same_name(ln.name, key)) {
                r.key = true;
                r.line = ln;
                break;
            }
        }
    }
    return r;
}

// Value of a key in one snapshot, empty when absent.
std::string_view value_in(const Snapshot &data, const char *section, const char *key) {
    if (!data || section == nullptr || key == nullptr) return {};
    Lookup r = find_key(*data, section, key);
    return r.key ? r.line.value : std::string_view{};
}

// iniGetString on one snapshot.
int get_string_in(const Snapshot &data, const char *section, const char *key, char *out, int size,
                  const char *def) {
    if (out == nullptr || size <= 0) return 0;
    std::string_view v = value_in(data, section, key);
    if (v.empty()) {
        copy_cut(out, static_cast<size_t>(size), def ? std::string_view(def) : std::string_view{});
        return 0;
    }
    copy_cut(out, static_cast<size_t>(size), v);
    return 1;
}

// Names that would change meaning once written into a line are refused.
bool name_ok(std::string_view n, bool is_key) {
    if (n.empty() || n != trim(n)) return false;
    for (char c : n) {
        if (c == '\r' || c == '\n' || c == '#' || c == ';' || is_quote(c)) return false;
        if (is_key && c == '=') return false;
    }
    return !(is_key && n.front() == '[');
}

// The text to write for a value so that the reader gives it back unchanged:
// comment characters, quotes or outer blanks get the value wrapped in a quote
// kind it does not contain.  Line breaks would forge lines and are refused.
std::optional<std::string> encode_value(std::string_view v) {
    bool wrap = !v.empty() && (is_blank(v.front()) || is_blank(v.back()));
    bool has_dq = false, has_sq = false;
    for (char c : v) {
        if (c == '\r' || c == '\n') return std::nullopt;
        if (c == '#' || c == ';') wrap = true;
        if (c == '"') has_dq = wrap = true;
        if (c == '\'') has_sq = wrap = true;
    }
    if (!wrap) return std::string(v);
    if (!has_dq) return "\"" + std::string(v) + "\"";
    if (!has_sq) return "'" + std::string(v) + "'";
    return std::nullopt;
}

// Builds the new file text; false when the change cannot be expressed.
// `unchanged` is set when there is nothing to write (deleting an absent key).
bool build_update(const std::string &old, std::string_view section, std::string_view key,
                  const char *value, std::string &out, bool &unchanged) {
    unchanged = false;
    std::string enc;
    if (value != nullptr) {
        auto e = encode_value(value);
        if (!e) return false;
        enc = std::move(*e);
    }
    Lookup r = find_key(old, section, key);
    if (r.key) {
        out.assign(old, 0, r.line.start);
        if (value == nullptr) {
            out.append(old, r.line.next, std::string::npos);
            return true;
        }
        if (key.size() + 1 + enc.size() > kMaxLine) return false;
        out.append(key).append("=").append(enc);
        out.append(old, r.line.comment, std::string::npos);
        return true;
    }
    if (value == nullptr) {
        unchanged = true;
        return true;
    }
    if (r.section) {
        if (key.size() + 1 + enc.size() > kMaxLine) return false;
        out.assign(old, 0, r.insert);
        // A last line without its line end must not run into the new one.
        if (r.insert > 0 && old[r.insert - 1] != '\n' && old[r.insert - 1] != '\r') out += '\n';
        out.append(key).append("=").append(enc).append("\n");
        out.append(old, r.insert, std::string::npos);
        return true;
    }
    if (section.size() + 2 > kMaxLine || key.size() + 3 + enc.size() > kMaxLine) return false;
    out = old;
    out.append("\n[").append(section).append("]\n");
    out.append(key).append(" = ").append(enc).append("\n");
    return true;
}

// Reads `path` for the store: the new copy, or null when it cannot be read.
Snapshot read_copy(const char *path) {
    if (path == nullptr) {
        std::printf(" no_ini_file ");
        return nullptr;
    }
    std::string buf;
    bool opened = false;
    if (!read_whole(path, buf, opened)) {
        if (!opened) std::printf(" no_ini_file ");
        return nullptr;
    }
    std::printf(" ini_file_len: %d\n", static_cast<int>(buf.size() > INT_MAX ? INT_MAX : buf.size()));
    return std::make_shared<const std::string>(std::move(buf));
}

// Loads `path` into the store.  Caller holds the write lock.
int load_locked(IniStore &s, const char *path) {
    s.path = path ? path : "";
    Snapshot next = read_copy(path);
    const int ok = next ? 1 : 0;
    publish(s, std::move(next));
    return ok;
}

// One key and its new value; no value deletes the key.
struct KeyValue {
    std::string key;
    std::optional<std::string> value;
};

// Sets `n` keys of one section in a single replace of the file: all of them
// or none.  *failed, when given, gets the index of the key that could not be
// expressed (or n when the file itself could not be written).  Caller holds
// the write lock.
bool set_keys_locked(IniStore &s, const char *section, const KeyValue *kv, size_t n, size_t *failed) {
    if (failed != nullptr) *failed = n;
    if (!name_ok(section, false)) return false;
    if (!snapshot(s)) return false;  // never create a missing file
    try {
        // Edit what is on disk now, not the start-up copy: a hand edit made
        // since then must survive this write (it becomes visible with the reload).
        std::string text;
        bool opened = false;
        if (!read_whole(s.path, text, opened)) return false;
        bool changed = false;
        for (size_t i = 0; i < n; ++i) {
            std::string next;
            bool unchanged = false;
            if (!name_ok(kv[i].key, true) ||
                !build_update(text, section, kv[i].key, kv[i].value ? kv[i].value->c_str() : nullptr, next,
                              unchanged)) {
                if (failed != nullptr) *failed = i;
                return false;
            }
            if (unchanged) continue;
            text.swap(next);
            changed = true;
        }
        if (!changed) return true;
        if (!replace_file(s.path, text.data(), text.size())) return false;
        // Readers go on with the old copy until the new one is complete.
        Snapshot next = read_copy(s.path.c_str());
        if (!next) next = std::make_shared<const std::string>(std::move(text));  // what we just wrote
        publish(s, std::move(next));
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Typed accessors.

// Integer setting: the default text when absent, the default number when empty.
int get_cfg_int(const char *key, const char *def_text, int def_num) {
    char buf[kValueBuf];
    iniGetString(kSection, key, buf, sizeof buf, def_text);
    if (buf[0] == '\0') return def_num;
    return parse_dec(buf);
}

int set_cfg_int(const char *key, int value) { return iniSetInt(kSection, key, value, 10); }

int set_broker_string(const char *key, const char *value, const char *fail_msg) {
    if (value == nullptr) return 0;
    char buf[64];
    copy_cut(buf, sizeof buf, value);
    int ok = iniSetString(kSection, key, buf);
    if (!ok) std::printf("%s", fail_msg);
    return ok;
}

int set_broker_port(const char *key, int port, const char *fail_msg) {
    if (port < 1 || port > 65535) {
        std::printf("%s out of range (1..65535): %d\n", key, port);
        std::printf("%s", fail_msg);
        return 0;
    }
    int ok = set_cfg_int(key, port);
    if (!ok) std::printf("%s", fail_msg);
    return ok;
}

// Reads one broker field from the snapshot; logs the failure text when absent.
bool read_broker_field(const Snapshot &s, const char *key, const char *def, char (&buf)[kValueBuf],
                       const char *fail_msg) {
    if (!get_string_in(s, kSection, key, buf, kValueBuf, def)) {
        std::printf("%s", fail_msg);
        return false;
    }
    return buf[0] != '\0';
}

// Host and port of one profile; all fields come from one consistent copy.
int get_host_port(mqtt_conf_t *conf, const char *host_key, const char *port_key,
                  const char *host_fail, const char *port_fail) {
    if (conf == nullptr) return 0;
    char host[kValueBuf], port[kValueBuf];
    {
        const Snapshot s = snapshot(store());
        if (!read_broker_field(s, host_key, kDefaultBrokerHost, host, host_fail)) return 0;
        if (!read_broker_field(s, port_key, "1883", port, port_fail)) return 0;
    }
    uint16_t p = 0;
    if (!parse_port(port_key, port, p)) return 0;
    copy_cut(conf->hostip, sizeof conf->hostip, host);
    conf->port = p;
    return 1;
}

int read_tag(const char *device_path) {
    char buf[9] = {};
    if (read_file2buf(device_path, buf, 8) <= 0) return 0;
    return parse_dec(buf);
}

int write_tag(const char *device_path, int on) { return rewrite_buf2file(device_path, on ? "1" : "0"); }

// ---- broker switch watch ----

constexpr const char kPrevBrokerPath[] = "/iot/conf/mqtt_prev.ini";
constexpr int kSwitchWindowDefaultS = 600;

struct SwitchWatch {
    std::mutex mu;
    int gen = 0;                // generation of the active broker record
    bool pending = false;       // a previous record is kept, the new one not yet reached
    int pending_gen = 0;        // generation the pending switch made
    int64_t first_try_ms = -1;  // first connection attempt with the pending record
};

SwitchWatch &watch() {
    static SwitchWatch *w = new SwitchWatch;  // never destroyed, like the store
    return *w;
}

// "Key=value" lines; an empty value stands for a key that was absent.
std::vector<KeyValue> read_prev_record() {
    std::vector<KeyValue> out;
    std::string text;
    bool opened = false;
    if (!read_whole(plat_path(kPrevBrokerPath), text, opened)) return out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string::npos) eol = text.size();
        const std::string line = text.substr(pos, eol - pos);
        pos = eol + 1;
        const size_t eq = line.find('=');
        if (eq == std::string::npos || eq == 0) continue;
        KeyValue kv{line.substr(0, eq), line.substr(eq + 1)};
        if (kv.value->empty()) kv.value.reset();
        out.push_back(std::move(kv));
    }
    return out;
}

bool write_prev_record(const std::vector<KeyValue> &rec) {
    std::string text;
    for (const KeyValue &kv : rec) text += kv.key + "=" + (kv.value ? *kv.value : std::string()) + "\n";
    return replace_file(plat_path(kPrevBrokerPath), text.data(), text.size());
}

std::string host_port_of(const Snapshot &snap) {
    const std::string_view h = value_in(snap, kSection, "MqttHost");
    const std::string_view p = value_in(snap, kSection, "MqttPort");
    return std::string(h.empty() ? kDefaultBrokerHost : h) + ":" + std::string(p.empty() ? "1883" : p);
}

const char *broker_fail_msg(const std::string &key) {
    if (key == "MqttHost") return "set_MqttHost_failed  \r";
    if (key == "MqttPort") return "set_MqttPort_failed  \r";
    if (key == "MqttUserName") return "set_MqttUserName_failed  \r";
    if (key == "MqttUserPass") return "set_MqttUserPass_failed  \r";
    if (key == "MqttOfficialHost") return "set_MqttOfficialHost_failed  \r";
    return "set_MqttOfficialPort_failed  \r";
}

}  // namespace

// ---------------------------------------------------------------------------
// INI access.

int init_iotconfig(void) {
    // A switch from before the restart that has not reached its broker yet.
    {
        SwitchWatch &w = watch();
        std::lock_guard<std::mutex> lk(w.mu);
        w.pending = !read_prev_record().empty();
        w.pending_gen = w.gen;
        w.first_try_ms = -1;
        if (w.pending) std::printf("%d/%s broker switch not yet confirmed: previous record kept\n", __LINE__, __func__);
    }
    if (!iniFileLoad(IOT_INI_PATH)) {
        std::printf("%d/%s iniFileLoad failed.\n", __LINE__, __func__);
        return 0;
    }
    return 1;
}

int iniFileLoad(const char *path) {
    IniStore &s = store();
    std::lock_guard<std::mutex> lk(s.write_mu);
    return load_locked(s, path);
}

void iniFileFree(void) {
    IniStore &s = store();
    std::lock_guard<std::mutex> lk(s.write_mu);
    publish(s, nullptr);
}

int iniGetString(const char *section, const char *key, char *out, int size, const char *def) {
    return get_string_in(snapshot(store()), section, key, out, size, def);
}

int iniGetInt(const char *section, const char *key, int def) {
    char buf[kValueBuf];
    if (!iniGetString(section, key, buf, sizeof buf, nullptr)) return def;
    char *end = nullptr;
    long long v = std::strtoll(buf, &end, 0);
    if (end == buf) return def;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

double iniGetDouble(const char *section, const char *key, double def) {
    char buf[kValueBuf];
    if (!iniGetString(section, key, buf, sizeof buf, nullptr)) return def;
    char *end = nullptr;
    double v = std::strtod(buf, &end);
    return end == buf ? def : v;
}

int iniSetString(const char *section, const char *key, const char *value) {
    if (section == nullptr || key == nullptr) return 0;
    IniStore &s = store();
    std::lock_guard<std::mutex> lk(s.write_mu);
    const KeyValue kv[] = {{key, value ? std::optional<std::string>(value) : std::nullopt}};
    return set_keys_locked(s, section, kv, 1, nullptr) ? 1 : 0;
}

int iniSetInt(const char *section, const char *key, int value, int base) {
    char buf[32];
    if (base == 8)
        std::snprintf(buf, sizeof buf, "0%o", static_cast<unsigned>(value));
    else if (base == 16)
        std::snprintf(buf, sizeof buf, "0x%x", static_cast<unsigned>(value));
    else
        std::snprintf(buf, sizeof buf, "%d", value);
    return iniSetString(section, key, buf);
}

// ---------------------------------------------------------------------------
// Broker profiles.

int get_mqttinfo(mqtt_conf_t *conf) {
    if (conf == nullptr) return 0;
    char host[kValueBuf], port[kValueBuf], ping[kValueBuf], user[kValueBuf], pass[kValueBuf];
    {
        // One snapshot for all five: a setter cannot slip in between the fields.
        const Snapshot s = snapshot(store());
        if (!read_broker_field(s, "MqttHost", kDefaultBrokerHost, host, "read_MqttHost_failed")) return 0;
        if (!read_broker_field(s, "MqttPort", "1883", port, "read_MqttPort_failed")) return 0;
        if (!read_broker_field(s, "MqttPing", "300", ping, "read_MqttPing_failed")) return 0;
        if (!read_broker_field(s, "MqttUserName", "ebikeiot", user, "read_MqttUserName_failed")) return 0;
        if (!read_broker_field(s, "MqttUserPass", "hQ4rusLent", pass, "read_MqttUserPass_failed")) return 0;
    }
    uint16_t p = 0;
    if (!parse_port("MqttPort", port, p)) return 0;
    copy_cut(conf->hostip, sizeof conf->hostip, host);
    conf->port = p;
    conf->keepalive = parse_dec(ping);
    copy_cut(conf->username, sizeof conf->username, user);
    copy_cut(conf->password, sizeof conf->password, pass);
    std::printf("mqtt_conf->hostip: %s\r\n", conf->hostip);
    std::printf("\n mqtt_conf->port:%d\n", static_cast<int>(conf->port));
    return 1;
}

int get_test_mqttinfo(mqtt_conf_t *conf) {
    return get_host_port(conf, "MqttTestHost", "MqttTestPort", "read_MqttTestHost_failed",
                         "read_MqttTestPort_failed");
}

int get_official_mqttinfo(mqtt_conf_t *conf) {
    return get_host_port(conf, "MqttOfficialHost", "MqttOfficialPort", "read_MqttOfficialHost_failed",
                         "read_MqttOfficialPort_failed");
}

// The live record's setters are broker switches too: whoever calls them, the
// previous value is kept until the new broker has been reached.
int set_domain_name(const char *host) {
    if (host == nullptr) return 0;
    const broker_switch_t sw{host, 0, nullptr, nullptr, false};
    return apply_broker_record(&sw);
}
int set_port_number(int port) {
    if (port == 0) {
        std::printf("MqttPort out of range (1..65535): %d\n", port);
        std::printf("set_MqttPort_failed  \r");
        return 0;
    }
    const broker_switch_t sw{nullptr, port, nullptr, nullptr, false};
    return apply_broker_record(&sw);
}
int set_user_name(const char *name) {
    if (name == nullptr) return 0;
    const broker_switch_t sw{nullptr, 0, name, nullptr, false};
    return apply_broker_record(&sw);
}
int set_user_pass(const char *pass) {
    if (pass == nullptr) return 0;
    const broker_switch_t sw{nullptr, 0, nullptr, pass, false};
    return apply_broker_record(&sw);
}
int set_test_domain_name(const char *host) {
    return set_broker_string("MqttTestHost", host, "set_MqttTestHost_failed  \r");
}
int set_test_port_number(int port) {
    return set_broker_port("MqttTestPort", port, "set_MqttTestPort_failed  \r");
}
int set_official_domain_name(const char *host) {
    return set_broker_string("MqttOfficialHost", host, "set_MqttOfficialHost_failed  \r");
}
int set_official_port_number(int port) {
    return set_broker_port("MqttOfficialPort", port, "set_MqttOfficialPort_failed  \r");
}

// ---------------------------------------------------------------------------
// Broker switches.  Every switch (cloud, dealer tool, phone app) comes through
// apply_broker_record: the new record is written in one replace of the file,
// and the values it replaced are kept in their own small file until the box
// has reached the new broker.  A switch to a broker that never answers would
// otherwise strand the box away from the cloud for good.


int apply_broker_record(const broker_switch_t *sw) {
    if (sw == nullptr) return 0;
    std::vector<KeyValue> kv;
    auto cut = [](const char *v) { return std::string(v, strnlen(v, 63)); };
    if (sw->port != 0 && (sw->port < 1 || sw->port > 65535)) {
        std::printf("MqttPort out of range (1..65535): %d\n", sw->port);
        std::printf("set_MqttPort_failed  \r");
        return 0;
    }
    if (sw->host != nullptr) kv.push_back({"MqttHost", cut(sw->host)});
    if (sw->port != 0) kv.push_back({"MqttPort", std::to_string(sw->port)});
    if (sw->user != nullptr) kv.push_back({"MqttUserName", cut(sw->user)});
    if (sw->pass != nullptr) kv.push_back({"MqttUserPass", cut(sw->pass)});
    if (sw->official && sw->host != nullptr) kv.push_back({"MqttOfficialHost", cut(sw->host)});
    if (sw->official && sw->port != 0) kv.push_back({"MqttOfficialPort", std::to_string(sw->port)});
    if (kv.empty()) return 0;

    IniStore &s = store();
    std::lock_guard<std::mutex> lk(s.write_mu);
    SwitchWatch &w = watch();
    std::lock_guard<std::mutex> wl(w.mu);
    const Snapshot before = snapshot(s);
    if (!before) {
        std::printf("%s", broker_fail_msg(kv[0].key));
        return 0;
    }
    // The record to go back to: while an earlier switch is still unconfirmed
    // its kept values stay (they were the ones in use), the rest is added.
    const bool had_prev = w.pending;
    std::vector<KeyValue> prev = had_prev ? read_prev_record() : std::vector<KeyValue>{};
    const std::vector<KeyValue> prev_before = prev;
    for (const KeyValue &k : kv) {
        bool kept = false;
        for (const KeyValue &p : prev) kept = kept || p.key == k.key;
        if (kept) continue;
        const std::string_view cur = value_in(before, kSection, k.key.c_str());
        prev.push_back({k.key, cur.empty() ? std::nullopt : std::optional<std::string>(std::string(cur))});
    }
    if (!write_prev_record(prev)) {
        std::printf("%d/%s previous broker record not kept: switch refused\n", __LINE__, __func__);
        return 0;
    }
    size_t failed = kv.size();
    if (!set_keys_locked(s, kSection, kv.data(), kv.size(), &failed)) {
        std::printf("%s", failed < kv.size() ? broker_fail_msg(kv[failed].key) : "set_MqttHost_failed  \r");
        std::printf("%d/%s broker record not stored, %s kept\n", __LINE__, __func__, host_port_of(before).c_str());
        if (had_prev) write_prev_record(prev_before);
        else ::unlink(plat_path(kPrevBrokerPath).c_str());
        return 0;
    }
    ++w.gen;
    w.pending = true;
    w.pending_gen = w.gen;
    w.first_try_ms = -1;
    std::printf("%d/%s broker %s stored, %s kept until it is reached\n", __LINE__, __func__,
                host_port_of(snapshot(s)).c_str(), host_port_of(before).c_str());
    return 1;
}

int broker_record_generation(void) {
    SwitchWatch &w = watch();
    std::lock_guard<std::mutex> lk(w.mu);
    return w.gen;
}

void broker_switch_attempt(int gen) {
    SwitchWatch &w = watch();
    std::lock_guard<std::mutex> lk(w.mu);
    if (w.pending && gen >= w.pending_gen && w.first_try_ms < 0) w.first_try_ms = plat_mono_ms();
}

void broker_switch_reached(int gen) {
    SwitchWatch &w = watch();
    std::lock_guard<std::mutex> lk(w.mu);
    if (!w.pending || gen < w.pending_gen) return;
    w.pending = false;
    ::unlink(plat_path(kPrevBrokerPath).c_str());
    std::printf("%d/%s new broker reached: switch kept\n", __LINE__, __func__);
}

int get_broker_switch_window(void) {
    const int v = get_cfg_int("MqttSwitchWindow", "600", kSwitchWindowDefaultS);
    return v > 0 ? v : kSwitchWindowDefaultS;
}

int broker_switch_check(void) {
    {
        // The common pass: nothing pending, nothing read.
        SwitchWatch &w = watch();
        std::lock_guard<std::mutex> lk(w.mu);
        if (!w.pending || w.first_try_ms < 0) return 0;
    }
    const int window_s = get_broker_switch_window();
    IniStore &s = store();
    std::lock_guard<std::mutex> lk(s.write_mu);
    SwitchWatch &w = watch();
    std::lock_guard<std::mutex> wl(w.mu);
    if (!w.pending || w.first_try_ms < 0) return 0;
    if (plat_mono_ms() - w.first_try_ms < static_cast<int64_t>(window_s) * 1000) return 0;
    const Snapshot before = snapshot(s);
    const std::vector<KeyValue> prev = read_prev_record();
    if (prev.empty()) {
        // Nothing to go back to: the switch stands.
        w.pending = false;
        ::unlink(plat_path(kPrevBrokerPath).c_str());
        return 0;
    }
    if (!set_keys_locked(s, kSection, prev.data(), prev.size(), nullptr)) {
        std::printf("%d/%s previous broker record not restored, next try in %d s\n", __LINE__, __func__, window_s);
        w.first_try_ms = plat_mono_ms();
        return 0;
    }
    ::unlink(plat_path(kPrevBrokerPath).c_str());
    w.pending = false;
    ++w.gen;
    std::printf("%d/%s broker %s not reached within %d s: back to the previous broker %s\n", __LINE__, __func__,
                host_port_of(before).c_str(), window_s, host_port_of(snapshot(s)).c_str());
    return 1;
}

// The motion sensor sits above the store; the entry registers how a new
// sensitivity reaches it.
std::atomic<void (*)(int)> g_sensor_level_listener{nullptr};

void set_sensor_level_listener(void (*listener)(int level)) {
    g_sensor_level_listener.store(listener, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Typed settings.  Every setter reports whether the file was written: a
// caller answering the cloud or the dealer tool must not claim a change that
// was never stored.

int get_sensor_level(void) { return get_cfg_int("SensorLevel", "1", 1); }
int set_sensor_level(int level) {
    int ok = set_cfg_int("SensorLevel", level);
    // The sensor takes the new sensitivity now, stored or not.
    void (*listener)(int) = g_sensor_level_listener.load(std::memory_order_acquire);
    if (level >= 0 && level <= 9 && listener != nullptr) listener(level);
    return ok;
}

int get_gps_interval(void) { return get_cfg_int("GPSInterval", "10", 10); }
int set_gps_interval(int value) { return set_cfg_int("GPSInterval", value); }

int get_lowpower_threshold(void) { return get_cfg_int("LowPowerThreshold", "20", 20); }
int set_lowpower_threshold(int value) { return set_cfg_int("LowPowerThreshold", value); }

int get_backupbattery_interval(void) { return get_cfg_int("BackupBatteryInterval", "200", 200); }
int set_backupbattery_interval(int value) { return set_cfg_int("BackupBatteryInterval", value); }

int get_sleep_interval(void) { return get_cfg_int("SleepInterval", "180", 180); }
int set_sleep_interval(int value) { return set_cfg_int("SleepInterval", value); }

int get_enable_check_nv(void) { return get_cfg_int("checknv", "1", 1) == 1 ? 1 : 0; }
int set_enable_check_nv(void) {
    char buf[kValueBuf];
    if (iniGetString(kSection, "checknv", buf, sizeof buf, nullptr) && parse_dec(buf) == 1) return 0;
    return iniSetString(kSection, "checknv", "1");
}

int get_systerm_backup(void) { return get_cfg_int("BleAuth", "10", 10); }
int set_systerm_backup(int value) { return set_cfg_int("BleAuth", value); }

int get_bt_auth(void) {
    int v = get_cfg_int("BleAuth", "1", 1);
    return v > 1 ? 1 : v;
}
int set_bt_auth(int value) { return set_cfg_int("BleAuth", value > 1 ? 1 : value); }

int get_lte_reboot_timeout(void) { return get_cfg_int("LteTimeout", "10800", 10800); }
int set_lte_reboot_timeout(int seconds) { return set_cfg_int("LteTimeout", seconds < 300 ? 300 : seconds); }

int get_bt_auth_timeout(void) { return get_cfg_int("BTAuthTimeout", "5", 5); }
int set_bt_auth_timeout(int value) {
    return set_cfg_int("BTAuthTimeout", (value < 2 || value > 15) ? 5 : value);
}

int get_workingMode(void) {
    // Value and the generation it was read at, in one word: a copy published
    // between the two halves can never pair an old value with a new generation.
    static std::atomic<uint64_t> cached{0};
    const uint32_t gen = g_generation.load(std::memory_order_acquire);
    const uint64_t c = cached.load(std::memory_order_relaxed);
    if (static_cast<uint32_t>(c >> 32) == gen) return static_cast<int32_t>(static_cast<uint32_t>(c));
    const int v = get_cfg_int("WorkingMode", "10", 10);
    cached.store(static_cast<uint64_t>(gen) << 32 | static_cast<uint32_t>(v), std::memory_order_relaxed);
    return v;
}

// 1 only for the value 1: anything else is the plain connection of a box
// that was never provisioned for TLS.
int get_mqtt_tls(void) { return get_cfg_int("MqttTls", "0", 0) == 1 ? 1 : 0; }
int set_workingMode(int mode) { return set_cfg_int("WorkingMode", mode); }

int get_mqtt_report_interval(void) {
    char buf[kValueBuf];
    for (int attempt = 0; attempt < 3; ++attempt) {
        iniGetString(kSection, "ReportingInterval", buf, sizeof buf, "0");
        if (buf[0] != '\0') return parse_dec(buf);
    }
    return 10;
}
int set_mqtt_report_interval(int seconds) { return set_cfg_int("ReportingInterval", seconds); }


// ---------------------------------------------------------------------------
// Small files.

int read_file2buf(const char *path, char *buf, int n) {
    if (path == nullptr || buf == nullptr || n <= 0) return 0;
    Fd fd(::open(plat_path(path).c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.ok()) return 0;
    int got = 0;
    while (got < n) {
        ssize_t r = ::read(fd.get(), buf + got, static_cast<size_t>(n - got));
        if (r < 0) {
            if (errno == EINTR) continue;
            return 0;
        }
        if (r == 0) break;
        got += static_cast<int>(r);
    }
    return got;
}

int write_buf2file(const char *path, const char *buf, int n) {
    if (path == nullptr || n < 0 || (buf == nullptr && n > 0)) return 0;
    return write_plain(plat_path(path), buf, static_cast<size_t>(n)) ? 1 : 0;
}

int rewrite_buf2file(const char *path, const char *str) {
    if (str == nullptr) return 0;
    size_t n = std::strlen(str);
    if (n > INT_MAX) return 0;
    return write_buf2file(path, str, static_cast<int>(n));
}

int get_so_libiot(char *out, int size) {
    if (out == nullptr || size <= 0) return 0;
    char buf[65] = {};
    int n = read_file2buf(kLibIotPath, buf, 64);
    size_t len = 0;
    while (len < static_cast<size_t>(n) && buf[len] != '\r' && buf[len] != '\n' && buf[len] != '\0') ++len;
    if (len < 6) return 0;
    copy_cut(out, static_cast<size_t>(size), std::string_view(buf, len));
    return 1;
}

int set_so_libiot(const char *name) {
    if (name == nullptr) return 0;
    // The host loads whatever this names at the next start: never leave it half written.
    if (!replace_file(plat_path(kLibIotPath), name, std::strlen(name))) {
        std::printf(" fp == NULL \r");
        return 0;
    }
    return 1;
}

int save_auth_data(const unsigned char *data, int len) {
    if (data == nullptr || len <= 0) return 0;
    if (len > kAuthMax) len = kAuthMax;
    return write_buf2file(kAuthPath, reinterpret_cast<const char *>(data), len);
}

int load_auth_data(unsigned char *out, int size) {
    if (out == nullptr || size <= 0) return 0;
    return read_file2buf(kAuthPath, reinterpret_cast<char *>(out), size < kAuthMax ? size : kAuthMax);
}

int load_auth_data_from_file(void) {
    unsigned char buf[kAuthMax];
    int n = load_auth_data(buf, sizeof buf);
    if (n > 0)
        std::printf("%d/%s auth data restored: %d bytes\n", __LINE__, __func__, n);
    else
        std::printf("%d/%s no auth data found\n", __LINE__, __func__);
    return n;
}

int load_lte_calibration_flag(void) {
    char buf[17] = {};
    if (read_file2buf(kDebugPath, buf, 16) <= 0) return 0;
    return parse_dec(buf);
}

int get_foc_status(void) { return read_tag(kFocTag); }
int set_foc_status(int on) { return write_tag(kFocTag, on); }
int get_led_status(void) { return read_tag(kLedTag); }
int set_led_status(int on) { return write_tag(kLedTag, on); }
int get_bottom_led_status(void) { return read_tag(kBtnLedTag); }
int set_bottom_led_status(int on) { return write_tag(kBtnLedTag, on); }
