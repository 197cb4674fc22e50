// Serial line figures: CRC throughput (Google Benchmark), and the agent's CPU
// cost per received frame while the lock line streams valid frames at its
// full 38400 baud (8N1: 3840 bytes/s).
//
//   bench_serial                       CRCs, then 30 s of streaming
//   bench_serial --stream-seconds=5    shorter streaming run
//   bench_serial --benchmark_filter=x  Google Benchmark options as usual
//   bench_serial --lines=3             the three lines at once: lock and MCU
//                                      at 38400 baud, the factory line at
//                                      115200, each at its full rate
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
#include "vehicle/serial_line.h"
#include "vehicle/usart_lock_handle.h"
#include "vehicle/usart_mcu_handle.h"

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

// One pseudo-terminal whose slave is linked at <root>/dev/<name>; the master fd.
int make_pty(const std::string &root, const char *name) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) || unlockpt(master)) return -1;
    int keep = open(ptsname(master), O_RDWR | O_NOCTTY);  // kept open for the run
    struct termios t {};
    tcgetattr(keep, &t);
    cfmakeraw(&t);
    tcsetattr(keep, TCSANOW, &t);
    if (symlink(ptsname(master), (root + "/dev/" + name).c_str()) != 0) return -1;
    return master;
}

std::atomic<long> g_rx_lock{0}, g_rx_mcu{0}, g_rx_ecu{0};
int count_lock(const unsigned char *, int) { return static_cast<int>(++g_rx_lock); }
int count_mcu(const unsigned char *, int) { return static_cast<int>(++g_rx_mcu); }

// The factory line's own settings (115200 baud, 5 x 2100-byte slots, 100 ms
// gap, 16-bit length) on a SerialLine of the bench's, so its frames can be
// counted; the machinery is the same.
const SerialLineConfig kBenchEcuCfg = {
    "ecu", "/dev/ttyHSL3", 115200, 5, 2100, 100, true, false, " ecu get new buf failed ", "test_factory_com_recv",
};

int stream3(int seconds) {
    char tmpl[] = "/tmp/telagent-serbench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/dev");
    const int m_lock = make_pty(root, "ttyHSL1"), m_mcu = make_pty(root, "ttyHSL2"), m_ecu = make_pty(root, "ttyHSL3");
    if (m_lock < 0 || m_mcu < 0 || m_ecu < 0) return 1;
    hostcore_GD32_recv_register(count_lock);
    hostcore_bluetooth_recv_register(count_mcu);
    if (init_lock_usart() != 1 || init_mcu_usart() != 1) return 1;
    // Only the receive paths are measured: the polling threads would write.
    com_uart_read_thread_destroy();
    ble_read_thread_destroy();
    static SerialLine *ecu = new SerialLine(kBenchEcuCfg);
    if (ecu->open_port() != 1) return 1;
    ecu->recv_thread.start([] { ecu->recv_frames(); });
    ecu->dispatch_thread.start([] { ecu->dispatch_once([](const uint8_t *, size_t) { ++g_rx_ecu; }); });

    std::vector<uint8_t> payload(20);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13);
    uint8_t frame[64];
    const size_t flen = build_orlin_frame(0x06, 0x05, 0x3001, payload.data(), payload.size(), frame, sizeof frame);
    struct Line {
        int master;
        double bytes_per_s;
        std::atomic<long> *got;
        long sent = 0;
        double cpu = 0;
    };
    Line lines[3] = {{m_lock, 3840.0, &g_rx_lock}, {m_mcu, 3840.0, &g_rx_mcu}, {m_ecu, 11520.0, &g_rx_ecu}};
    double cpu0 = cpu_seconds(RUSAGE_SELF);
    auto t0 = std::chrono::steady_clock::now();
    std::vector<std::thread> writers;
    for (Line &l : lines) {
        writers.emplace_back([&l, &frame, flen, seconds] {
            double w0 = cpu_seconds(RUSAGE_THREAD);
            const double period = static_cast<double>(flen) / l.bytes_per_s;
            auto next = std::chrono::steady_clock::now();
            auto end = next + std::chrono::seconds(seconds);
            while (next < end) {
                if (write(l.master, frame, flen) == static_cast<ssize_t>(flen)) ++l.sent;
                next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                    std::chrono::duration<double>(period));
                std::this_thread::sleep_until(next);
            }
            l.cpu = cpu_seconds(RUSAGE_THREAD) - w0;
        });
    }
    for (auto &w : writers) w.join();
    auto all_in = [&] {
        for (Line &l : lines)
            if (l.got->load() < l.sent) return false;
        return true;
    };
    for (int i = 0; i < 100 && !all_in(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double agent_cpu = cpu_seconds(RUSAGE_SELF) - cpu0;
    for (Line &l : lines) agent_cpu -= l.cpu;
    long sent = 0, got = 0;
    const char *names[3] = {"lock 38400", "mcu 38400", "factory 115200"};
    printf("\nthree lines at once: %d s, %zu-byte frames\n", seconds, flen);
    for (int i = 0; i < 3; ++i) {
        printf("  %-15s sent %ld, delivered %ld\n", names[i], lines[i].sent, lines[i].got->load());
        sent += lines[i].sent;
        got += lines[i].got->load();
    }
    printf("  agent CPU          %.3f s (%.2f %% of one core)\n", agent_cpu, 100.0 * agent_cpu / wall);
    printf("  agent CPU / frame  %.1f us\n", got ? 1e6 * agent_cpu / static_cast<double>(got) : 0.0);
    std::filesystem::remove_all(root);
    return got == sent ? 0 : 2;
}

}  // namespace

int main(int argc, char **argv) {
    int seconds = 30;
    int nlines = 1;
    std::vector<char *> rest;
    for (int i = 0; i < argc; ++i) {
        if (strncmp(argv[i], "--stream-seconds=", 17) == 0) {
            seconds = atoi(argv[i] + 17);
        } else if (strncmp(argv[i], "--lines=", 8) == 0) {
            nlines = atoi(argv[i] + 8);
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
    if (seconds <= 0) return 0;
    return nlines == 3 ? stream3(seconds) : stream(seconds);
}
