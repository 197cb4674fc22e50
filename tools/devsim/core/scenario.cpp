#include "core/scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "core/devsim_files.h"

namespace {

std::string_view trim(std::string_view s) {
    size_t b = 0;
    while (b < s.size() && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
    size_t e = s.size();
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

bool valid_name(std::string_view s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                  c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::string where(int line) { return "scenario line " + std::to_string(line) + ": "; }

bool all_digits(const std::string &s) {
    if (s.empty() || s.size() > 19) return false;  // 19 digits always fit 64 bits
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

void scenario_parse(std::string_view text, Scenario *out) {
    std::string section;
    bool section_ok = false;
    int lineno = 0;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string_view::npos) j = text.size();
        std::string_view raw = text.substr(i, j - i);
        i = j + 1;
        ++lineno;
        std::string_view s = trim(raw);
        if (s.empty() || s[0] == '#') continue;
        if (s.find('\0') != std::string_view::npos) {
            out->problems.push_back(where(lineno) + "NUL byte, line skipped");
            continue;
        }
        if (s[0] == '[') {
            std::string_view name = s.size() >= 2 && s.back() == ']' ? trim(s.substr(1, s.size() - 2)) : "";
            if (!valid_name(name)) {
                out->problems.push_back(where(lineno) + "bad section header, keys up to the next section skipped");
                section_ok = false;
                continue;
            }
            section = std::string(name);
            section_ok = true;
            continue;
        }
        size_t eq = s.find('=');
        if (eq == std::string_view::npos) {
            out->problems.push_back(where(lineno) + "no '=', line skipped");
            continue;
        }
        std::string_view key = trim(s.substr(0, eq));
        if (!valid_name(key)) {
            out->problems.push_back(where(lineno) + "bad key, line skipped");
            continue;
        }
        if (!section_ok) {
            out->problems.push_back(where(lineno) + "key '" + std::string(key) + "' outside a section, skipped");
            continue;
        }
        out->entries.push_back(ScenarioEntry{section, std::string(key), std::string(trim(s.substr(eq + 1))), lineno});
    }
}

int scenario_load(const std::string &path, Scenario *out) {
    std::string text;
    int r = devsim_read_file(path, kScenarioMaxBytes, &text);
    if (r == -1) {
        out->problems.push_back("scenario " + path + ": cannot read");
        return -1;
    }
    if (r == -2) {
        out->problems.push_back("scenario " + path + ": larger than " + std::to_string(kScenarioMaxBytes) + " bytes");
        return -1;
    }
    scenario_parse(text, out);
    return 0;
}

int scenario_apply_box(const Scenario &sc, const std::string &root, std::vector<std::string> *problems) {
    int rc = 0;
    for (const ScenarioEntry &e : sc.entries) {
        if (e.section != "box") continue;
        if (e.key == "calibration_hold") {
            const std::string path = root + "/media/ram/iotdebug.ini";
            if (e.value == "1") {
                if (devsim_mkdirs(root + "/media/ram") != 0 || devsim_write_file(path, "1") != 0) rc = -1;
            } else if (e.value == "0") {
                if (unlink(path.c_str()) != 0 && errno != ENOENT) rc = -1;
            } else {
                problems->push_back(where(e.line) + "calibration_hold must be 0 or 1");
            }
        } else if (e.key == "disk_free") {
            if (!all_digits(e.value)) {
                problems->push_back(where(e.line) + "disk_free must be a byte count");
                continue;
            }
            if (devsim_mkdirs(root + "/var/sim") != 0 ||
                devsim_write_file(root + "/var/sim/disk_free", e.value + "\n") != 0)
                rc = -1;
        } else if (e.key == "refuse") {
            if (e.value.empty()) {
                // An empty fragment would match nothing anyway; say so rather than guess.
                problems->push_back(where(e.line) + "refuse needs a fragment");
                continue;
            }
            if (devsim_mkdirs(root + "/var") != 0 ||
                devsim_append_file(root + "/var/actions.refuse", e.value + "\n") != 0)
                rc = -1;
        } else {
            problems->push_back(where(e.line) + "[box] key '" + e.key + "' not used");
        }
    }
    return rc;
}
