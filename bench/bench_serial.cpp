// Serial line figures: CRC throughput (Google Benchmark), and the agent's CPU
// cost per received frame while the lock line streams valid frames at its
// full 38400 baud (8N1: 3840 bytes/s).
//
//   bench_serial                       CRCs, then 30 s of streaming
//   bench_serial --stream-seconds=5    shorter streaming run
//   bench_serial --benchmark_filter=x  Google Benchmark options as usual
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "vehicle/frame_codec.h"
#include "vehicle/usart_lock_handle.h"

namespace {

void BM_Crc16Ccitt(benchmark::State &state) {
    std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(crc16_ccitt(buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Ccitt)->Arg(16)->Arg(256)->Arg(2100);

void BM_Crc16Arc(benchmark::State &state) {
    std::vector<uint8_t> buf(static_cast<size_t>(state.range(0)), 0x5A);
    for (auto _ : state) benchmark::DoNotOptimize(crc16_arc(buf.data(), buf.size()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Arc)->Arg(16)->Arg(256);

std::atomic<long> g_received{0};
int count_frame(const unsigned char *, int) {
    ++g_received;
    return 0;
}

double cpu_seconds(int who) {
    struct rusage ru {};
    getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int stream(int seconds) {
    char tmpl[] = "/tmp/telagent-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/dev");
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) || unlockpt(master)) return 1;
    int keep = open(ptsname(master), O_RDWR | O_NOCTTY);
    struct termios t {};
    tcgetattr(keep, &t);
    cfmakeraw(&t);
    tcsetattr(keep, TCSANOW, &t);
    if (symlink(ptsname(master), (root + "/dev/ttyHSL1").c_str()) != 0) return 1;

    hostcore_GD32_recv_register(count_frame);
    if (init_lock_usart() != 1) return 1;
    // A battery answer of typical size: 20 payload bytes, 30 on the wire.
    std::vector<uint8_t> payload(20);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13);
    uint8_t frame[64];
    size_t flen = build_orlin_frame(0x06, 0x05, 0x3001, payload.data(), payload.size(), frame, sizeof frame);

    const double bytes_per_s = 38400.0 / 10.0;
    const double frame_period = static_cast<double>(flen) / bytes_per_s;
    double writer_cpu = 0;
    long sent = 0;
    double cpu0 = cpu_seconds(RUSAGE_SELF);
    auto t0 = std::chrono::steady_clock::now();
    std::thread writer([&] {
        double w0 = cpu_seconds(RUSAGE_THREAD);
        auto next = std::chrono::steady_clock::now();
        auto end = next + std::chrono::seconds(seconds);
        while (next < end) {
            ssize_t w = write(master, frame, flen);
            if (w == static_cast<ssize_t>(flen)) ++sent;
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(frame_period));
            std::this_thread::sleep_until(next);
        }
        writer_cpu = cpu_seconds(RUSAGE_THREAD) - w0;
    });
    writer.join();
    for (int i = 0; i < 50 && g_received.load() < sent; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double agent_cpu = cpu_seconds(RUSAGE_SELF) - cpu0 - writer_cpu;
    long got = g_received.load();
    printf("\nlock line stream at 38400 baud: %d s, %zu-byte frames\n", seconds, flen);
    printf("  frames sent        %ld (%.1f/s)\n", sent, static_cast<double>(sent) / wall);
    printf("  frames delivered   %ld (%.2f %%)\n", got, sent ? 100.0 * static_cast<double>(got) / static_cast<double>(sent) : 0.0);
    printf("  agent CPU          %.3f s (%.2f %% of one core)\n", agent_cpu, 100.0 * agent_cpu / wall);
    printf("  agent CPU / frame  %.1f us\n", got ? 1e6 * agent_cpu / static_cast<double>(got) : 0.0);
    std::filesystem::remove_all(root);
    return got == sent ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 30;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--stream-seconds=", 17) == 0) {
            seconds = atoi(argv[i] + 17);
        } else {
            rest.push_back(argv[i]);
        }
    }
    int n = static_cast<int>(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    fflush(stdout);
    // The console lines of the line are noise here.
    return seconds > 0 ? stream(seconds) : 0;
}
