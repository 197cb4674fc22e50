#include "host_libini.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace {

bool has_dotdot(std::string_view p) {
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find('/', i);
        if (j == std::string_view::npos) j = p.size();
        if (p.substr(i, j - i) == "..") return true;
        i = j + 1;
    }
    return false;
}

}  // namespace

int host_root_from_env(const char *env, std::string *root) {
    if (env == nullptr || env[0] != '/') return -1;
    std::string r(env);
    while (r.size() > 1 && r.back() == '/') r.pop_back();
    if (r == "/") return -1;
    *root = r;
    return 0;
}

std::string host_parse_lib_line(const char *data, size_t len) {
    if (data == nullptr) return kHostDefaultLib;
    if (len > kHostLibIniMax) len = kHostLibIniMax;
    size_t n = 0;
    while (n < len && data[n] != '\r' && data[n] != '\n' && data[n] != '\0') ++n;
    std::string_view line(data, n);
    if (line.size() < 6 || line[0] != '/' || has_dotdot(line)) return kHostDefaultLib;
    return std::string(line);
}

std::string host_read_lib_path(const std::string &root) {
    const std::string path = root + "/iot/conf/libiot.ini";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return kHostDefaultLib;
    char buf[kHostLibIniMax];
    size_t got = 0;
    while (got < sizeof buf) {
        ssize_t r = read(fd, buf + got, sizeof buf - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    return host_parse_lib_line(buf, got);
}
