#include "cloud/mqtt_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/plat_path.h"
#include "platform/unique_fd.h"

namespace {

bool readable(const std::string &path) {
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr) return false;
    fclose(f);
    return true;
}

bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

// The first error OpenSSL queued, as its reason text only (no file or line).
std::string ssl_reason() {
    const unsigned long e = ERR_peek_error();
    ERR_clear_error();
    if (e == 0) return {};
    const char *r = ERR_reason_error_string(e);
    return r != nullptr ? r : "unknown TLS error";
}

// TCP connection with a deadline; -1 and *why on failure.
int dial(const std::string &host, int port, int timeout_ms, std::string *why) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &res) != 0 || res == nullptr) {
        *why = "cannot resolve " + host;
        return -1;
    }
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int rc = fd.get() < 0 ? -1 : connect(fd.get(), res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (fd.get() < 0) {
        *why = std::string("socket: ") + strerror(errno);
        return -1;
    }
    if (rc != 0 && errno == EINPROGRESS) {
        pollfd p{fd.get(), POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (poll(&p, 1, timeout_ms) != 1 || getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
            *why = "TCP connect timed out";
            return -1;
        }
        errno = err;
        rc = err == 0 ? 0 : -1;
    }
    if (rc != 0) {
        *why = std::string("TCP connect: ") + strerror(errno);
        return -1;
    }
    // The handshake below runs blocking, bounded by socket time-outs.
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const int out = fd.get();
    fd.fd = -1;
    return out;
}

struct CtxFree {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL *s) const { SSL_free(s); }
};

}  // namespace

int mqtt_tls_files(MqttTlsFiles *out) {
    *out = MqttTlsFiles{};
    const std::string ca = plat_path(kMqttTlsCaFile);
    if (!readable(ca)) {
        printf(" %d /%s MqttTls=1 but the CA file %s cannot be read: no connection to the broker\n", __LINE__,
               __func__, kMqttTlsCaFile);
        return 0;
    }
    out->ca = ca;
    const std::string cert = plat_path(kMqttTlsCertFile);
    const std::string key = plat_path(kMqttTlsKeyFile);
    const bool has_cert = exists(cert);
    const bool has_key = exists(key);
    if (!has_cert && !has_key) return 1;
    if (has_cert != has_key || !readable(cert) || !readable(key)) {
        // Half a client identity is a provisioning fault, not a reason to
        // connect without one.
        printf(" %d /%s mutual TLS needs both %s and %s readable: no connection to the broker\n", __LINE__,
               __func__, kMqttTlsCertFile, kMqttTlsKeyFile);
        return 0;
    }
    out->cert = cert;
    out->key = key;
    return 1;
}

std::string mqtt_tls_probe(const std::string &host, int port, const MqttTlsFiles &files, int timeout_ms) {
    ERR_clear_error();
    std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return "TLS context: " + ssl_reason();
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx.get(), files.ca.c_str(), nullptr) != 1) {
        return "CA file unusable: " + ssl_reason();
    }
    if (!files.cert.empty()) {
        if (SSL_CTX_use_certificate_chain_file(ctx.get(), files.cert.c_str()) != 1) {
            return "client certificate unusable: " + ssl_reason();
        }
        if (SSL_CTX_use_PrivateKey_file(ctx.get(), files.key.c_str(), SSL_FILETYPE_PEM) != 1 ||
            SSL_CTX_check_private_key(ctx.get()) != 1) {
            return "client key unusable or not the certificate's: " + ssl_reason();
        }
    }
    std::string why;
    UniqueFd fd(dial(host, port, timeout_ms, &why));
    if (fd.get() < 0) return why;
    std::unique_ptr<SSL, SslFree> ssl(SSL_new(ctx.get()));
    if (!ssl) return "TLS session: " + ssl_reason();
    in_addr ip{};
    if (inet_pton(AF_INET, host.c_str(), &ip) == 1) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.c_str());
    } else {
        SSL_set_tlsext_host_name(ssl.get(), host.c_str());
        SSL_set1_host(ssl.get(), host.c_str());
    }
    SSL_set_fd(ssl.get(), fd.get());
    if (SSL_connect(ssl.get()) != 1) {
        const long v = SSL_get_verify_result(ssl.get());
        if (v != X509_V_OK) return X509_verify_cert_error_string(v);
        const std::string r = ssl_reason();
        return r.empty() ? "handshake cut off by the broker" : r;
    }
    // With TLS 1.3 a broker that wants a client certificate says so only
    // after the client's side of the handshake is done.
    timeval tv{0, 500 * 1000};
    setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char c;
    if (SSL_read(ssl.get(), &c, 1) <= 0) {
        const std::string r = ssl_reason();
        if (!r.empty()) return r;
    }
    SSL_shutdown(ssl.get());
    return "handshake accepted, refused after it";
}
