// Figures of the security work, one run, loopback mosquitto with a plain and
// a TLS listener side by side (keys made with openssl at run time):
//   - connect to subscribed, plain TCP against TLS 1.3 (the handshake's cost);
//   - QoS 1 publish round trip to our own subscription, median and p99;
//   - Ed25519 check of a 1 MiB image as the box does it (key read from PEM).
//   bench_security [--connects=N] [--roundtrips=N]
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cloud/mqtt_test_env.h"
#include "cloud_mqtt.h"
#include "core/sig_verify.h"
#include "support/test_pki.h"

using namespace mqtt_test;

namespace {

struct Stats {
    double median = 0, p99 = 0;
};
Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    if (v.empty()) return {};
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 99 / 100)]};
}

void mqtt_figures(const char *name, BrokerOptions opt, int connects, int roundtrips) {
    const std::string topic = "telagent-bench/" + std::to_string(getpid()) + "/" + name;
    std::vector<double> conn_ms, rtt_ms;
    for (int i = 0; i < connects; ++i) {
        CloudClient c;
        const int64_t t0 = now_us();
        if (c.connect(opt, {topic}, 10000) != 0) {
            fprintf(stderr, "%s: %s\n", name, c.error().c_str());
            return;
        }
        conn_ms.push_back((now_us() - t0) / 1000.0);
    }
    CloudClient c;
    if (c.connect(opt, {topic}, 10000) != 0) return;
    for (int i = 0; i < roundtrips; ++i) {
        const int64_t t0 = now_us();
        if (c.publish(topic, "00112233445566778899", 5000) != 0) return;
        CloudMessage m;
        if (!c.next(&m, 5000)) return;
        rtt_ms.push_back((m.arrived_us - t0) / 1000.0);
    }
    const Stats cs = stats(conn_ms), rs = stats(rtt_ms);
    printf("%-5s connect to subscribed: median %.2f ms, p99 %.2f ms (%d connects)\n", name, cs.median, cs.p99,
           connects);
    printf("%-5s QoS 1 publish round trip: median %.3f ms, p99 %.3f ms (%d messages)\n", name, rs.median, rs.p99,
           roundtrips);
}

void signature_figures(int runs) {
    EVP_PKEY *key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    const std::string dir = temp_dir("telagent-bench-sig");
    const std::string pub = dir + "/pub.pem";
    FILE *f = fopen(pub.c_str(), "we");
    if (key == nullptr || f == nullptr || PEM_write_PUBKEY(f, key) != 1) return;
    fclose(f);
    std::vector<uint8_t> image(1 << 20);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 131 + 7);
    uint8_t sig[64];
    size_t sig_len = sizeof sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key);
    EVP_DigestSign(ctx, sig, &sig_len, image.data(), image.size());
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        std::string why;
        const int64_t t0 = now_us();
        if (sig_verify_buf(image.data(), image.size(), sig, pub, &why) != 1) {
            fprintf(stderr, "signature: %s\n", why.c_str());
            return;
        }
        ms.push_back((now_us() - t0) / 1000.0);
    }
    const Stats s = stats(ms);
    printf("Ed25519 check of a 1 MiB image: median %.2f ms, p99 %.2f ms (%d runs)\n", s.median, s.p99, runs);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

int arg(int argc, char **argv, const char *name, int def) {
    const size_t n = strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') return atoi(argv[i] + n + 1);
    }
    return def;
}

}  // namespace

int main(int argc, char **argv) {
    const int connects = arg(argc, argv, "--connects", 30);
    const int roundtrips = arg(argc, argv, "--roundtrips", 500);
    TestPki pki;
    if (!pki.ok()) {
        fprintf(stderr, "%s\n", pki.error().c_str());
        return 1;
    }
    Broker plain;
    Broker tls(kUser, kPass, pki.listener("server.pem"));
    if (!plain.ok() || !tls.ok()) {
        fprintf(stderr, "broker: %s %s\n", plain.error().c_str(), tls.error().c_str());
        return 1;
    }
    BrokerOptions o;
    o.user = kUser;
    o.pass = kPass;
    o.port = plain.port();
    mqtt_figures("plain", o, connects, roundtrips);
    o.port = tls.port();
    o.cafile = pki.path("ca.pem");
    mqtt_figures("tls", o, connects, roundtrips);
    signature_figures(50);
    return 0;
}
