#include "cloud_serve.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace {

bool send_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        const ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void answer(int fd, const std::string &dir) {
    // The request line and header, at most 8 KiB, 10 s.
    std::string req;
    char buf[2048];
    while (req.find("\n\n") == std::string::npos && req.find("\r\n\r\n") == std::string::npos && req.size() < 8192) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) break;
        const ssize_t r = recv(fd, buf, sizeof buf, 0);
        if (r <= 0) break;
        req.append(buf, static_cast<size_t>(r));
    }
    const size_t eol = req.find_first_of("\r\n");
    const std::string line = req.substr(0, eol);
    char method[16] = {}, path[1024] = {};
    std::string file;
    if (sscanf(line.c_str(), "%15s %1023s", method, path) == 2 && strcmp(method, "GET") == 0)
        file = cloud_serve_map(dir, path);
    int ffd = file.empty() ? -1 : open(file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (ffd >= 0 && (fstat(ffd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(ffd);
        ffd = -1;
    }
    if (ffd < 0) {
        const char *nf = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        send_all(fd, nf, strlen(nf));
        printf("serve: %s -> 404\n", line.c_str());
        fflush(stdout);
        return;
    }
    char head[256];
    const int hn = snprintf(head, sizeof head,
                            "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: %lld\r\n"
                            "Connection: close\r\n\r\n",
                            static_cast<long long>(st.st_size));
    bool ok = send_all(fd, head, static_cast<size_t>(hn));
    char chunk[32768];
    ssize_t r;
    while (ok && (r = read(ffd, chunk, sizeof chunk)) > 0) ok = send_all(fd, chunk, static_cast<size_t>(r));
    close(ffd);
    printf("serve: %s -> 200, %lld bytes%s\n", line.c_str(), static_cast<long long>(st.st_size), ok ? "" : " (cut)");
    fflush(stdout);
}

}  // namespace

std::string cloud_serve_map(const std::string &dir, const std::string &path) {
    if (path.empty() || path[0] != '/' || path.find_first_of("?#%\\") != std::string::npos) return "";
    size_t i = 1;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        const std::string part = path.substr(i, j - i);
        if (part == ".." || part == ".") return "";
        i = j + 1;
    }
    return dir + path;
}

int cloud_serve(const std::string &dir, int port, const std::atomic<bool> *stop) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 1;
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(s, 32) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &al) != 0) {
        fprintf(stderr, "telagent-cloud: serve: cannot listen on 127.0.0.1:%d: %s\n", port, strerror(errno));
        close(s);
        return 1;
    }
    printf("serving %s on http://127.0.0.1:%d/\n", dir.c_str(), ntohs(a.sin_port));
    fflush(stdout);
    while (!stop->load()) {
        struct pollfd p = {s, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        const int c = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        std::thread([c, dir] {
            answer(c, dir);
            close(c);
        }).detach();
    }
    close(s);
    return 0;
}
