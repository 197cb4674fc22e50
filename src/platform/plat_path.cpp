#include "platform/plat_path.h"

#include <cstdlib>
#include <vector>

namespace {

#ifdef TELAGENT_SIM
constexpr bool kSim = true;
#else
constexpr bool kSim = false;
#endif

// Where paths go in the simulation build when no usable root is set.
constexpr std::string_view kSink = "/nonexistent/telagent-no-root";

std::string normalise_root(const char *env) {
    if (env == nullptr) return {};
    std::string r(env);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

// Lexical clean-up of an absolute path: drops empty and "." components, folds
// ".." and stops it at "/".
std::string fold(std::string_view p) {
    std::vector<std::string_view> parts;
    size_t i = 0;
    while (i < p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string_view::npos) j = p.size();
        std::string_view c = p.substr(i, j - i);
        if (c == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!c.empty() && c != ".") {
            parts.push_back(c);
        }
        i = j + 1;
    }
    std::string out;
    for (auto c : parts) {
        out += '/';
        out += c;
    }
    if (out.empty()) out = "/";
    if (p.size() > 1 && p.back() == '/' && out != "/") out += '/';
    return out;
}

}  // namespace

std::string plat_root() {
    // Read on every call: the agent never changes its environment, and tests can
    // give each case a root of its own.
    return normalise_root(std::getenv("TELAGENT_ROOT"));
}

bool plat_root_usable() {
    if (!kSim) return true;
    const std::string r = plat_root();
    return !r.empty() && r[0] == '/' && r != "/";
}

std::string plat_path(std::string_view device_path) {
    if (device_path.empty() || device_path[0] != '/') return std::string(device_path);
    std::string folded = fold(device_path);
    if (kSim && !plat_root_usable()) return std::string(kSink) + folded;
    const std::string r = plat_root();
    if (r.empty() || r == "/") return folded;
    return r + (folded == "/" ? std::string("/") : folded);
}
