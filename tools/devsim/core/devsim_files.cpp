#include "core/devsim_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    int release_close() {
        int r = close(fd_);
        fd_ = -1;
        return r;
    }

private:
    int fd_;
};

int write_all(int fd, const std::string &s) {
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = write(fd, s.data() + off, s.size() - off);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        off += static_cast<size_t>(w);
    }
    return 0;
}

std::string temp_name(const std::string &path) { return path + ".tmp." + std::to_string(getpid()); }

}  // namespace

int devsim_mkdirs(const std::string &path) {
    if (path.empty()) return -1;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i != path.size() && path[i] != '/') continue;
        std::string part = path.substr(0, i);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 0 : -1;
}

int devsim_write_file(const std::string &path, const std::string &content) {
    const std::string tmp = temp_name(path);
    {
        Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (fd.get() < 0) return -1;
        if (write_all(fd.get(), content) != 0 || fd.release_close() != 0) {
            unlink(tmp.c_str());
            return -1;
        }
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

int devsim_append_file(const std::string &path, const std::string &content) {
    Fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0) return -1;
    return write_all(fd.get(), content);
}

int devsim_read_file(const std::string &path, size_t max, std::string *out) {
    Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return -1;
    out->clear();
    char buf[4096];
    for (;;) {
        ssize_t r = read(fd.get(), buf, sizeof buf);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        if (out->size() + static_cast<size_t>(r) > max) return -2;
        out->append(buf, static_cast<size_t>(r));
    }
}

int devsim_symlink(const std::string &target, const std::string &link) {
    const std::string tmp = temp_name(link);
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return -1;
    if (rename(tmp.c_str(), link.c_str()) != 0) {
        unlink(tmp.c_str());
        return -1;
    }
    return 0;
}
