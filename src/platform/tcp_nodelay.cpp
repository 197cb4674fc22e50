#include "platform/tcp_nodelay.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

int tcp_nodelay_to_port(int port) {
    if (port <= 0 || port > 65535) return 0;
    long max_fd = sysconf(_SC_OPEN_MAX);
    if (max_fd < 0 || max_fd > 65536) max_fd = 65536;
    int set = 0;
    for (int fd = 0; fd < max_fd; ++fd) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        int type = 0;
        socklen_t tl = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) != 0 || type != SOCK_STREAM) continue;
        sockaddr_storage peer {};
        socklen_t pl = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0) continue;
        int peer_port = -1;
        if (peer.ss_family == AF_INET) peer_port = ntohs(reinterpret_cast<const sockaddr_in *>(&peer)->sin_port);
        if (peer.ss_family == AF_INET6) peer_port = ntohs(reinterpret_cast<const sockaddr_in6 *>(&peer)->sin6_port);
        if (peer_port != port) continue;
        const int one = 1;
        if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0) ++set;
    }
    return set;
}
