#pragma once
// Certificates made with the openssl command at test time (nothing of the kind
// is kept in the repository): a CA, a second CA the box does not trust, broker
// certificates that are good (localhost, 127.0.0.1), for another name, and
// expired, and a client certificate for the box.  Keys are P-256, readable by
// the broker after it drops root.
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

class TestPki {
public:
    TestPki() {
        char tmpl[] = "/tmp/telagent-pki-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            error_ = "mkdtemp failed";
            return;
        }
        dir_ = tmpl;
        chmod(dir_.c_str(), 0755);
        std::ofstream(dir_ + "/good.ext") << "subjectAltName=DNS:localhost,IP:127.0.0.1\n";
        std::ofstream(dir_ + "/other.ext") << "subjectAltName=DNS:broker.example\n";
        const std::vector<std::string> steps = {
            ca("ca", "TelAgent test CA"),
            ca("ca2", "Other CA"),
            csr("server", "localhost"),
            sign("server", "server.pem", "good.ext", "1"),
            sign("server", "server_other.pem", "other.ext", "1"),
            // A validity that ended a day ago.
            sign("server", "server_expired.pem", "good.ext", "-1"),
            csr("client", "866123045678901"),
            sign("client", "client.pem", "", "1"),
        };
        for (const auto &cmd : steps) {
            if (system(cmd.c_str()) != 0) {
                error_ = "openssl failed: " + cmd;
                return;
            }
        }
        for (const char *k : {"ca.key", "ca2.key", "server.key", "client.key"}) chmod(path(k).c_str(), 0644);
    }
    ~TestPki() {
        std::error_code ec;
        if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
    }
    TestPki(const TestPki &) = delete;
    TestPki &operator=(const TestPki &) = delete;

    bool ok() const { return error_.empty(); }
    const std::string &error() const { return error_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    // Listener lines for mosquitto with the given broker certificate.
    std::string listener(const std::string &cert, bool require_client_cert = false) const {
        return "cafile " + path("ca.pem") + "\ncertfile " + path(cert) + "\nkeyfile " + path("server.key") +
               "\ntls_version tlsv1.2\n" + (require_client_cert ? "require_certificate true\n" : "");
    }

private:
    std::string q(const std::string &name) const { return "'" + path(name) + "'"; }
    std::string ca(const std::string &name, const std::string &cn) const {
        return "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + q(name + ".key") +
               " -out " + q(name + ".pem") + " -days 2 -subj '/CN=" + cn + "' 2>/dev/null";
    }
    std::string csr(const std::string &name, const std::string &cn) const {
        return "openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout " + q(name + ".key") +
               " -out " + q(name + ".csr") + " -subj '/CN=" + cn + "' 2>/dev/null";
    }
    std::string sign(const std::string &name, const std::string &out, const std::string &ext,
                     const std::string &days) const {
        return "openssl x509 -req -in " + q(name + ".csr") + " -CA " + q("ca.pem") + " -CAkey " + q("ca.key") +
               " -CAcreateserial -out " + q(out) + " -days " + days + (ext.empty() ? "" : " -extfile " + q(ext)) +
               " 2>/dev/null";
    }

    std::string dir_;
    std::string error_;
};
