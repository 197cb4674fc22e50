// telagent-cloud: the operator's side of the fleet.
//
//   telagent-cloud [broker options] <command> [command options]
//
// Broker options (before the command): --host H (127.0.0.1), --port P (1883),
// --user U, --pass P (or TELAGENT_CLOUD_USER / TELAGENT_CLOUD_PASS), and for
// TLS --cafile F, --cert F, --key F as the mosquitto clients take them.
//
// Commands: a table of {name, handler, usage}.  `request` and `serve` have
// their place and usage already; their handlers come with the downlink work.
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "cloud_console.h"
#include "cloud_mqtt.h"
#include "cloud_request.h"
#include "cloud_serve.h"
#include "telemetry_json.h"

namespace {

std::atomic<bool> g_stop{false};

struct Args {
    BrokerOptions broker;
    std::vector<std::string> rest;  // after the command name
};

struct Command {
    const char *name;
    int (*run)(const Args &);
    const char *usage;
};

void usage_all(FILE *to);

std::string now_text() {
    char b[32];
    const time_t t = time(nullptr);
    struct tm tm {};
    localtime_r(&t, &tm);
    strftime(b, sizeof b, "%H:%M:%S", &tm);
    return b;
}

// ---- decode -------------------------------------------------------------

int decode_one(const std::string &text) {
    telemetry_t t;
    std::string why;
    if (decode_telemetry_text(text.data(), text.size(), &t, &why) != 1) {
        fprintf(stderr, "telagent-cloud: decode: %s\n", why.c_str());
        return 1;
    }
    printf("%s\n", telemetry_json(t, "", "").c_str());
    return 0;
}

int cmd_decode(const Args &a) {
    if (a.rest.size() != 1) {
        fprintf(stderr, "usage: telagent-cloud decode <hex> | -\n");
        return 2;
    }
    if (a.rest[0] != "-") return decode_one(a.rest[0]);
    // One frame a line from standard input; every line is answered.
    int bad = 0;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        bad |= decode_one(line);
    }
    return bad;
}

// ---- watch --------------------------------------------------------------

struct WatchOptions {
    std::string imei;
    bool table = false;
    long count = 0;     // 0: forever
    long timeout_s = 0; // 0: forever
    bool all = false;   // also what is not telemetry (responses)
};

int parse_watch(const std::vector<std::string> &r, WatchOptions *o) {
    for (size_t i = 0; i < r.size(); ++i) {
        auto value = [&](long *dst) {
            if (i + 1 >= r.size()) return false;
            char *end = nullptr;
            *dst = strtol(r[++i].c_str(), &end, 10);
            return end && *end == '\0' && *dst >= 0;
        };
        if (r[i] == "--imei" && i + 1 < r.size()) {
            o->imei = r[++i];
            if (o->imei.empty() || o->imei.find_first_of("/+#") != std::string::npos) return -1;
        } else if (r[i] == "--table") {
            o->table = true;
        } else if (r[i] == "--all") {
            o->all = true;
        } else if (r[i] == "--count") {
            if (!value(&o->count)) return -1;
        } else if (r[i] == "--timeout") {
            if (!value(&o->timeout_s)) return -1;
        } else {
            return -1;
        }
    }
    return 0;
}

int cmd_watch(const Args &a) {
    WatchOptions o;
    if (parse_watch(a.rest, &o) != 0) {
        fprintf(stderr, "usage: telagent-cloud watch [--imei I] [--table] [--all] [--count N] [--timeout S]\n");
        return 2;
    }
    const std::string dev = "zt/ebike/devices/" + (o.imei.empty() ? std::string("+") : o.imei);
    std::vector<std::string> filters = {dev + "/common/data/"};
    if (o.all) filters.push_back(dev + "/+/response/+");
    CloudClient c;
    if (c.connect(a.broker, filters, 10000) != 0) {
        fprintf(stderr, "telagent-cloud: %s\n", c.error().c_str());
        return 1;
    }
    const bool tty = o.table && isatty(STDOUT_FILENO);
    std::map<std::string, std::string> rows;  // IMEI -> last row
    if (o.table) {
        printf("%s\n", table_header().c_str());
        fflush(stdout);
    }
    long seen = 0;
    const int64_t end_us = o.timeout_s > 0 ? cloud_now_us() + o.timeout_s * 1000000 : 0;
    while (!g_stop.load()) {
        int wait_ms = 250;
        if (end_us != 0) {
            const int64_t left = (end_us - cloud_now_us()) / 1000;
            if (left <= 0) break;
            if (left < wait_ms) wait_ms = static_cast<int>(left);
        }
        CloudMessage m;
        if (!c.next(&m, wait_ms)) continue;
        telemetry_t t;
        std::string why;
        const bool tlm = m.topic.size() > 13 && m.topic.compare(m.topic.size() - 13, 13, "/common/data/") == 0;
        const std::string imei = imei_of_topic(m.topic);
        if (tlm && decode_telemetry_text(m.payload.data(), m.payload.size(), &t, &why) == 1) {
            if (!o.table) {
                printf("%s\n", telemetry_json(t, imei, now_text()).c_str());
            } else {
                rows[imei] = table_row(t, imei, now_text());
                if (tty) {
                    // Redraw in place: cursor home, clear, header and one row per box.
                    printf("\x1b[H\x1b[2J%s\n", table_header().c_str());
                    for (auto &r : rows) printf("%s\n", r.second.c_str());
                } else {
                    printf("%s\n", rows[imei].c_str());
                }
            }
            ++seen;
        } else if (!o.table) {
            printf("%s\n", other_json(m.topic, m.payload, tlm ? why : "", now_text()).c_str());
        }
        fflush(stdout);
        if (o.count > 0 && seen >= o.count) break;
    }
    return (o.count > 0 && seen < o.count) ? 3 : 0;
}

// ---- request ------------------------------------------------------------

int cmd_request(const Args &a) {
    std::vector<std::string> args;
    long timeout_s = -1;
    bool json = false;
    std::string id;
    for (size_t i = 0; i < a.rest.size(); ++i) {
        if (a.rest[i] == "--json") {
            json = true;
        } else if (a.rest[i] == "--timeout" && i + 1 < a.rest.size()) {
            char *end = nullptr;
            timeout_s = strtol(a.rest[++i].c_str(), &end, 10);
            if (!end || *end != '\0' || timeout_s < 1 || timeout_s > 3600) timeout_s = -2;
        } else if (a.rest[i] == "--id" && i + 1 < a.rest.size()) {
            id = a.rest[++i];
        } else {
            args.push_back(a.rest[i]);
        }
    }
    const bool id_ok = id.size() <= 31 && id.find_first_of("/+# ") == std::string::npos;
    if (args.size() < 2 || timeout_s == -2 || !id_ok || args[0].empty() || args[0].find_first_of("/+#") != std::string::npos) {
        fprintf(stderr, "usage: telagent-cloud request <imei> <kind> [arguments] [--timeout S] [--json] [--id ID]\n");
        return 2;
    }
    const std::string imei = args[0];
    args.erase(args.begin());
    // A fresh identifier per request, so a late answer to an earlier one is not taken for this one.
    const uint32_t v = static_cast<uint32_t>(cloud_now_us()) ^ (static_cast<uint32_t>(getpid()) << 16);
    const uint8_t ident[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    CloudRequest req;
    std::string why;
    if (build_cloud_request(args, ident, &req, &why) != 0) {
        fprintf(stderr, "telagent-cloud: request: %s\n", why.c_str());
        return 2;
    }
    if (id.empty()) id = "op" + cloud_hex(std::vector<uint8_t>(ident, ident + 4));
    if (timeout_s < 0) timeout_s = req.default_timeout_s;
    const std::string dev = "zt/ebike/devices/" + imei + "/" + req.kind;
    CloudClient c;
    if (c.connect(a.broker, {dev + "/response/" + id}, 10000) != 0) {
        fprintf(stderr, "telagent-cloud: %s\n", c.error().c_str());
        return 1;
    }
    const int64_t t0 = cloud_now_us();
    if (c.publish(dev + "/request/" + id, cloud_hex(req.frame), 10000) != 0) {
        fprintf(stderr, "telagent-cloud: publish: %s\n", c.error().c_str());
        return 1;
    }
    const int64_t end_us = t0 + timeout_s * 1000000;
    while (!g_stop.load()) {
        const int64_t left = (end_us - cloud_now_us()) / 1000;
        if (left <= 0) break;
        CloudMessage m;
        if (!c.next(&m, static_cast<int>(left > 250 ? 250 : left))) continue;
        std::string text, js;
        if (decode_cloud_response(req.kind, m.payload, ident, &text, &js, &why) != 1) {
            fprintf(stderr, "telagent-cloud: ignored on %s: %s\n", m.topic.c_str(), why.c_str());
            continue;
        }
        const long ms = static_cast<long>((m.arrived_us - t0) / 1000);
        if (json) {
            printf("%s,\"imei\":%s,\"id\":%s,\"ms\":%ld}\n", js.substr(0, js.size() - 1).c_str(),
                   json_quote(imei).c_str(), json_quote(id).c_str(), ms);
        } else {
            printf("%s %s (%ld ms)\n", imei.c_str(), text.c_str(), ms);
        }
        fflush(stdout);
        return 0;
    }
    if (!req.expects_response) {
        printf(json ? "{\"kind\":%s,\"response\":null}\n" : "%s: sent, no response expected\n",
               json ? json_quote(req.kind).c_str() : args[0].c_str());
        return 0;
    }
    fprintf(stderr, "telagent-cloud: no response within %ld s\n", timeout_s);
    return 3;
}

// ---- sign -----------------------------------------------------------------

// `sign --key <private.pem> <file>`: the detached Ed25519 signature of the
// file's bytes, 64 bytes, as <file>.sig; serve hands it out beside the file.
int cmd_sign(const Args &a) {
    std::string key, file;
    for (size_t i = 0; i < a.rest.size(); ++i) {
        if (a.rest[i] == "--key" && i + 1 < a.rest.size()) {
            key = a.rest[++i];
        } else if (file.empty()) {
            file = a.rest[i];
        } else {
            file.clear();
            break;
        }
    }
    if (key.empty() || file.empty()) {
        fprintf(stderr, "usage: telagent-cloud sign --key <private.pem> <file>\n");
        return 2;
    }
    FILE *kf = fopen(key.c_str(), "re");
    EVP_PKEY *pk = kf != nullptr ? PEM_read_PrivateKey(kf, nullptr, nullptr, nullptr) : nullptr;
    if (kf != nullptr) fclose(kf);
    if (pk == nullptr || EVP_PKEY_id(pk) != EVP_PKEY_ED25519) {
        fprintf(stderr, "telagent-cloud: %s is not an Ed25519 private key in PEM\n", key.c_str());
        EVP_PKEY_free(pk);
        return 1;
    }
    std::ifstream in(file, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unsigned char sig[64];
    size_t sig_len = sizeof sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    const bool ok = in.good() || in.eof();
    const bool signed_ok = ok && ctx != nullptr && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, pk) == 1 &&
                           EVP_DigestSign(ctx, sig, &sig_len, reinterpret_cast<const unsigned char *>(data.data()),
                                          data.size()) == 1 && sig_len == sizeof sig;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(pk);
    if (!signed_ok) {
        fprintf(stderr, "telagent-cloud: cannot sign %s\n", file.c_str());
        return 1;
    }
    std::ofstream out(file + ".sig", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(sig), static_cast<std::streamsize>(sig_len));
    if (!out.good()) {
        fprintf(stderr, "telagent-cloud: cannot write %s.sig\n", file.c_str());
        return 1;
    }
    printf("%s.sig\n", file.c_str());
    return 0;
}

// ---- serve ----------------------------------------------------------------

int cmd_serve(const Args &a) {
    long port = 8080;
    std::string dir;
    for (size_t i = 0; i < a.rest.size(); ++i) {
        if (a.rest[i] == "--port" && i + 1 < a.rest.size()) {
            char *end = nullptr;
            port = strtol(a.rest[++i].c_str(), &end, 10);
            if (!end || *end != '\0' || port < 0 || port > 65535) dir = "";
        } else if (dir.empty()) {
            dir = a.rest[i];
        } else {
            dir = "";
            break;
        }
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.empty()) {
        fprintf(stderr, "usage: telagent-cloud serve <directory> [--port P]\n");
        return 2;
    }
    return cloud_serve(dir, static_cast<int>(port), &g_stop);
}

// ---- console --------------------------------------------------------------

int cmd_console(const Args &a) {
    ConsoleOptions o;
    for (size_t i = 0; i < a.rest.size(); i += 2) {  // option and its value
        long v = -1;
        if (i + 1 < a.rest.size()) {
            char *end = nullptr;
            v = strtol(a.rest[i + 1].c_str(), &end, 10);
            if (!end || *end != '\0') v = -1;
        }
        if (a.rest[i] == "--http-port" && v >= 0 && v <= 65535) {
            o.http_port = static_cast<int>(v);
        } else if (a.rest[i] == "--timeout" && v >= 1 && v <= 3600) {
            o.request_timeout_s = static_cast<int>(v);
        } else {
            fprintf(stderr, "usage: telagent-cloud console [--http-port P] [--timeout S]\n");
            return 2;
        }
    }
    return cloud_console(a.broker, o, &g_stop);
}

const Command kCommands[] = {
    {"watch", cmd_watch,
     "watch [--imei I] [--table] [--all] [--count N] [--timeout S]\n"
     "      print every telemetry frame of the fleet (or of box I), decoded, one JSON object a\n"
     "      line; --table: one row per box, redrawn in place; --all: also responses, raw;\n"
     "      --count: stop after N frames (exit 3 if the timeout came first)"},
    {"decode", cmd_decode,
     "decode <hex> | -\n"
     "      decode one telemetry frame given as hex text (or one a line from standard input)"},
    {"request", cmd_request,
     "request <imei> <kind> [arguments] [--timeout S] [--json] [--id ID]\n"
     "      send a cloud request to a box and print its decoded response (exit 3: none came).\n"
     "      kinds: lock | unlock | light on|off | power on|off | speaker | interval <seconds>\n"
     "      | diag <hex> | servers <host:port[,user,password]> | cmd <id> <hex> | extra\n"
     "      | ota <motor|display|lib|ble|gd32> <url> [controller id]"},
    {"serve", cmd_serve,
     "serve <directory> [--port P]\n"
     "      serve firmware files over HTTP on 127.0.0.1 (port 8080; 0 picks one) for OTA requests,\n"
     "      their .sig files beside them"},
    {"console", cmd_console,
     "console [--http-port P] [--timeout S]\n"
     "      the fleet live in a browser: a page on http://127.0.0.1:P/ (8090; 0 picks one) with a\n"
     "      card per box and buttons for its commands; --timeout: how long a button waits (each\n"
     "      kind's own by default)"},
    {"sign", cmd_sign,
     "sign --key <private.pem> <file>\n"
     "      write <file>.sig, the 64-byte Ed25519 signature of the file (openssl genpkey -algorithm ed25519)"},
};

void usage_all(FILE *to) {
    fprintf(to,
            "usage: telagent-cloud [--host H] [--port P] [--user U] [--pass P]\n"
            "                      [--cafile CA.pem [--cert C.crt --key C.key]] <command> ...\n"
            "  broker: --host (127.0.0.1), --port (1883), --user/--pass (or TELAGENT_CLOUD_USER,\n"
            "  TELAGENT_CLOUD_PASS); --cafile: TLS, the broker checked against CA.pem and --host;\n"
            "  --cert/--key: our own certificate for a broker that asks for one\ncommands:\n");
    for (const auto &c : kCommands) fprintf(to, "  %s\n", c.usage);
}

}  // namespace

int main(int argc, char **argv) {
    signal(SIGINT, [](int) { g_stop.store(true); });
    signal(SIGTERM, [](int) { g_stop.store(true); });
    signal(SIGPIPE, SIG_IGN);
    Args a;
    if (const char *u = getenv("TELAGENT_CLOUD_USER")) a.broker.user = u;
    if (const char *p = getenv("TELAGENT_CLOUD_PASS")) a.broker.pass = p;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const std::string opt = argv[i];
        if (opt == "-h" || opt == "--help") {
            usage_all(stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            usage_all(stderr);
            return 2;
        }
        const std::string v = argv[++i];
        if (opt == "--host") {
            a.broker.host = v;
        } else if (opt == "--port") {
            char *end = nullptr;
            const long p = strtol(v.c_str(), &end, 10);
            if (!end || *end != '\0' || p < 1 || p > 65535) {
                fprintf(stderr, "telagent-cloud: bad port %s\n", v.c_str());
                return 2;
            }
            a.broker.port = static_cast<int>(p);
        } else if (opt == "--user") {
            a.broker.user = v;
        } else if (opt == "--pass") {
            a.broker.pass = v;
        } else if (opt == "--cafile") {
            a.broker.cafile = v;
        } else if (opt == "--cert") {
            a.broker.cert = v;
        } else if (opt == "--key") {
            a.broker.key = v;
        } else {
            usage_all(stderr);
            return 2;
        }
    }
    if (i >= argc) {
        usage_all(stderr);
        return 2;
    }
    const std::string name = argv[i];
    for (int k = i + 1; k < argc; ++k) a.rest.push_back(argv[k]);
    for (const auto &c : kCommands) {
        if (name == c.name) return c.run(a);
    }
    fprintf(stderr, "telagent-cloud: unknown command %s\n", name.c_str());
    usage_all(stderr);
    return 2;
}
