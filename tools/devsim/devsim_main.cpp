// telagent-devsim: plays the box around the agent.
//   telagent-devsim --root DIR [--create] [--lib PATH] [--scenario FILE]
//                   [--mqtt-host H] [--mqtt-port N]
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/devsim_files.h"
#include "core/devsim_loop.h"
#include "core/devsim_root.h"
#include "core/scenario.h"

namespace {

void usage() {
    fprintf(stderr,
            "usage: telagent-devsim --root DIR [--create] [--lib PATH] [--scenario FILE]\n"
            "                       [--mqtt-host H] [--mqtt-port N]\n");
}

std::string absolute(const std::string &p) {
    std::error_code ec;
    std::filesystem::path a = std::filesystem::absolute(p, ec);
    return ec ? std::string() : a.lexically_normal().string();
}

}  // namespace

int main(int argc, char **argv) {
    // Blocked from the start, taken by the loop's signalfd: a stop during
    // start-up is served once the ports exist, so cleanup always runs.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop, nullptr);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    std::string root, scenario_path;
    bool create = false;
    RootSetup setup;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--create") {
            create = true;
        } else if (a == "--root" && has_value) {
            root = argv[++i];
        } else if (a == "--lib" && has_value) {
            setup.lib = argv[++i];
        } else if (a == "--scenario" && has_value) {
            scenario_path = argv[++i];
        } else if (a == "--mqtt-host" && has_value) {
            setup.mqtt_host = argv[++i];
        } else if (a == "--mqtt-port" && has_value) {
            char *end = nullptr;
            errno = 0;
            long p = strtol(argv[++i], &end, 10);
            if (errno != 0 || *end != '\0' || p < 1 || p > 65535) {
                fprintf(stderr, "devsim: --mqtt-port must be 1..65535\n");
                return 2;
            }
            setup.mqtt_port = static_cast<int>(p);
        } else {
            usage();
            return 2;
        }
    }
    if (root.empty()) {
        usage();
        return 2;
    }
    root = absolute(root);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    // Links go to <root>/dev: never let that be the machine's own /dev.
    if (root.empty() || root == "/") {
        fprintf(stderr, "devsim: the root must be a directory other than /\n");
        return 2;
    }
    if (!devsim_host_ok(setup.mqtt_host)) {
        fprintf(stderr, "devsim: --mqtt-host must be a host name or address\n");
        return 2;
    }
    if (!setup.lib.empty()) setup.lib = absolute(setup.lib);

    Scenario sc;
    if (!scenario_path.empty() && scenario_load(scenario_path, &sc) != 0) {
        for (const auto &m : sc.problems) fprintf(stderr, "devsim: %s\n", m.c_str());
        return 2;
    }

    if (create) {
        if (devsim_mkdirs(root) != 0) {
            fprintf(stderr, "devsim: cannot create %s\n", root.c_str());
            return 1;
        }
        std::string err;
        if (devsim_create_root(root, setup, &err) != 0) {
            fprintf(stderr, "devsim: %s\n", err.c_str());
            return 1;
        }
        if (setup.lib.empty()) fprintf(stderr, "devsim: no --lib, %s/iot/lib left as it is\n", root.c_str());
    } else if (!std::filesystem::is_directory(root)) {
        fprintf(stderr, "devsim: %s is not a device root (use --create)\n", root.c_str());
        return 1;
    }

    std::vector<std::string> problems = sc.problems;
    if (scenario_apply_box(sc, root, &problems) != 0) {
        fprintf(stderr, "devsim: could not write the [box] settings into %s\n", root.c_str());
        return 1;
    }
    for (const auto &m : problems) fprintf(stderr, "devsim: %s\n", m.c_str());

    return devsim_run(root, sc);
}
