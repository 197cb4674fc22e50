// Download and digest figures: http_get of a 64 MiB file from python3's
// http.server on loopback next to curl on the same file, resident memory
// sampled during the download, MD5 of the file next to md5sum, and the
// latency of execute_cmd.  Prints figures; asserts nothing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cloud/http_handle.h"
#include "core/sys_utils.h"

namespace {

constexpr size_t kFileBytes = 64u << 20;

double now_s() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

double cpu_s(const struct rusage &r) {
    return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

long rss_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long v = -1;
    while (fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) v = strtol(line + 6, nullptr, 10);
    }
    fclose(f);
    return v;
}

// Runs argv to its end; wall seconds, and the child's CPU seconds in *cpu.
double run_timed(const std::vector<std::string> &args, double *cpu) {
    std::vector<char *> argv;
    for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    const double t0 = now_s();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        dup2(devnull, 1);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int st = 0;
    struct rusage ru {};
    wait4(pid, &st, 0, &ru);
    *cpu = cpu_s(ru);
    return now_s() - t0;
}

uint16_t start_python(const std::string &dir, pid_t *pid) {
    int out[2];
    if (pipe(out) != 0) return 0;
    *pid = fork();
    if (*pid == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        execlp("python3", "python3", "-u", "-m", "http.server", "--bind", "127.0.0.1", "--directory", dir.c_str(), "0",
               static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    for (int i = 0; i < 50; ++i) {
        struct pollfd p {out[0], POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        char buf[256];
        ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        size_t at = text.find(" port ");
        if (at != std::string::npos && text.find(' ', at + 6) != std::string::npos) {
            int fd = out[0];
            std::thread([fd] {
                char b[512];
                while (read(fd, b, sizeof b) > 0) {
                }
            }).detach();
            return static_cast<uint16_t>(atoi(text.c_str() + at + 6));
        }
    }
    return 0;
}

}  // namespace

int main() {
    signal(SIGPIPE, SIG_IGN);
    char tmpl[] = "/tmp/telagent-bench-dl-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    const std::string root = tmpl;
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/www");
    std::filesystem::create_directories(root + "/iot/conf");
    {
        std::mt19937_64 gen(42);
        std::vector<uint64_t> block(1 << 16);
        FILE *f = fopen((root + "/www/big.bin").c_str(), "wb");
        for (size_t done = 0; done < kFileBytes; done += block.size() * 8) {
            for (auto &w : block) w = gen();
            fwrite(block.data(), 8, block.size(), f);
        }
        fclose(f);
    }
    pid_t py = -1;
    const uint16_t port = start_python(root + "/www", &py);
    if (port == 0) {
        fprintf(stderr, "no http.server\n");
        return 1;
    }

    // The downloader prints a line per header chunk and per step: keep its
    // console out of the figures.
    fflush(stdout);
    const int saved = dup(1);
    int devnull = open("/dev/null", O_WRONLY);

    const int kRuns = 3;
    for (int run = 0; run < kRuns; ++run) {
        std::atomic<bool> done{false};
        long rss_min = rss_kib(), rss_max = rss_min;
        std::thread sampler([&] {
            while (!done.load()) {
                long r = rss_kib();
                if (r < rss_min) rss_min = r;
                if (r > rss_max) rss_max = r;
                usleep(5000);
            }
        });
        struct rusage r0 {}, r1 {};
        unsigned char digest[16];
        dup2(devnull, 1);
        getrusage(RUSAGE_THREAD, &r0);
        const double t0 = now_s();
        const int ok = http_get("127.0.0.1", port, "/big.bin", "/iot/conf/big.bin", digest);
        const double wall = now_s() - t0;
        getrusage(RUSAGE_THREAD, &r1);
        fflush(stdout);
        dup2(saved, 1);
        done.store(true);
        sampler.join();
        printf("http_get  run %d: ok=%d %.3f s wall, %.1f MB/s, %.3f s CPU, RSS %ld..%ld KiB\n", run, ok, wall,
               kFileBytes / wall / 1e6, cpu_s(r1) - cpu_s(r0), rss_min, rss_max);

        double ccpu = 0;
        const double cwall = run_timed({"curl", "-s", "-o", root + "/iot/conf/curl.bin",
                                        "http://127.0.0.1:" + std::to_string(port) + "/big.bin"},
                                       &ccpu);
        printf("curl      run %d: %.3f s wall, %.1f MB/s, %.3f s CPU\n", run, cwall, kFileBytes / cwall / 1e6, ccpu);
        fflush(stdout);
    }

    for (int run = 0; run < kRuns; ++run) {
        char hex[33];
        struct rusage r0 {}, r1 {};
        getrusage(RUSAGE_THREAD, &r0);
        const double t0 = now_s();
        compute_file_md5("/www/big.bin", hex);
        const double wall = now_s() - t0;
        getrusage(RUSAGE_THREAD, &r1);
        double mcpu = 0;
        const double mwall = run_timed({"md5sum", root + "/www/big.bin"}, &mcpu);
        printf("md5 run %d: compute_file_md5 %.1f MB/s (%.3f s CPU), md5sum %.1f MB/s (%.3f s CPU)\n", run,
               kFileBytes / wall / 1e6, cpu_s(r1) - cpu_s(r0), kFileBytes / mwall / 1e6, mcpu);
    }

    const int kCmds = 200;
    const double t0 = now_s();
    for (int i = 0; i < kCmds; ++i) execute_cmd_ignore_output("true");
    const double per = (now_s() - t0) / kCmds;
    char out[64];
    const double t1 = now_s();
    for (int i = 0; i < kCmds; ++i) execute_cmd_with_output("cat /proc/uptime", out, sizeof out);
    const double per_out = (now_s() - t1) / kCmds;
    printf("execute_cmd: \"true\" %.2f ms, \"cat /proc/uptime\" with output %.2f ms (mean of %d)\n", per * 1e3,
           per_out * 1e3, kCmds);

    kill(py, SIGTERM);
    waitpid(py, nullptr, 0);
    std::filesystem::remove_all(root);
    return 0;
}
