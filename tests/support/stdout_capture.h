#pragma once
// This process's stdout into a file for the life of the object: the agent
// prints its console lines with printf, and tests read them back.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

class StdoutCapture {
public:
    explicit StdoutCapture(const std::string &path) : path_(path) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
    ~StdoutCapture() {
        fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
        }
    }
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    const std::string &path() const { return path_; }
    // Everything printed so far.
    std::string text() const {
        fflush(stdout);
        std::ifstream f(path_, std::ios::binary);
        std::ostringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

private:
    std::string path_;
    int saved_ = -1;
};
