// Serial line figures: CRC throughput (Google Benchmark), and the agent's CPU
// cost per received frame while the lock line streams valid frames at its
// full 38400 baud (8N1: 3840 bytes/s), next to the floor's: a bare reader on
// the same pseudo-terminals at the same rates (see BareLine).  The last line
// is "serial ratio <agent / floor per frame>".
//
//   bench_serial                       CRCs, then 30 s of streaming
//   bench_serial --stream-seconds=5    shorter streaming run
//   bench_serial --benchmark_filter=x  Google Benchmark options as usual
//   bench_serial --lines=3             the three lines at once: lock and MCU
//                                      at 38400 baud, the factory line at
//                                      115200, each at its full rate
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

double cpu_seconds(int who) {
    struct rusage ru {};
    getrusage(who, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
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

// The floor: what any reader of these lines must do at least.  Per line one
// receive thread that polls and reads whatever has arrived, finds frame ends
// by the length field, and hands each frame (its length) to the line's
// dispatch thread through a condition variable; the dispatch thread counts it
// and does nothing else.  No CRC, no slots, no console.
struct BareLine {
    int fd = -1;
    bool wide = false;
    int wait_ms = 2000;
    std::atomic<long> got{0};
    std::atomic<bool> stop{false};
    std::mutex m;
    std::condition_variable cv;
    long queued = 0;  // under m
    std::thread rx, disp;

    void start() {
        rx = std::thread([this] {
            uint8_t buf[64];
            size_t idx = 0, expect = 0;
            uint8_t head[7];
            while (!stop.load()) {
                struct pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, wait_ms) <= 0) {
                    idx = 0;
                    continue;
                }
                ssize_t n = read(fd, buf, sizeof buf);
                for (ssize_t i = 0; i < n; ++i) {
                    const uint8_t b = buf[i];
                    if (idx == 0 && b != 0x02) continue;
                    if (idx < sizeof head) head[idx] = b;
                    ++idx;
                    if (idx == (wide ? 7u : 6u)) expect = (wide ? (head[5] | (head[6] << 8)) : head[5]) + 10u;
                    if (expect != 0 && idx == expect) {
                        {
                            std::lock_guard<std::mutex> g(m);
                            ++queued;
                        }
                        cv.notify_one();
                        idx = expect = 0;
                    }
                }
            }
        });
        disp = std::thread([this] {
            std::unique_lock<std::mutex> g(m);
            while (!stop.load()) {
                cv.wait_for(g, std::chrono::milliseconds(2000), [this] { return queued > 0 || stop.load(); });
                got += queued;
                queued = 0;
            }
        });
    }
    void finish() {
        stop = true;
        cv.notify_all();
        rx.join();
        disp.join();
        close(fd);
    }
};

struct Line {
    const char *name;
    const char *dev;
    int master;
    double bytes_per_s;
    std::atomic<long> *got;
    long sent = 0;
    double cpu = 0;
};

// Writes the frame on every line at its full rate for `seconds`; returns the
// writers' own CPU.
double stream_frames(Line *lines, int n, const uint8_t *frame, size_t flen, int seconds) {
    std::vector<std::thread> writers;
    for (int i = 0; i < n; ++i) {
        Line &l = lines[i];
        l.sent = 0;
        writers.emplace_back([&l, frame, flen, seconds] {
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
    double cpu = 0;
    for (auto &w : writers) w.join();
    for (int i = 0; i < n; ++i) cpu += lines[i].cpu;
    return cpu;
}

struct Phase {
    double cpu = 0, wall = 0;
    long sent = 0, got = 0;
};

// Streams, waits for the last frames, and accounts the process's CPU less the writers'.
template <class GotFn>
Phase run_phase(Line *lines, int n, const uint8_t *frame, size_t flen, int seconds, GotFn got_of) {
    Phase ph;
    const double cpu0 = cpu_seconds(RUSAGE_SELF);
    const auto t0 = std::chrono::steady_clock::now();
    const double wcpu = stream_frames(lines, n, frame, flen, seconds);
    auto all_in = [&] {
        for (int i = 0; i < n; ++i)
            if (got_of(i) < lines[i].sent) return false;
        return true;
    };
    for (int i = 0; i < 100 && !all_in(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ph.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ph.cpu = cpu_seconds(RUSAGE_SELF) - cpu0 - wcpu;
    for (int i = 0; i < n; ++i) {
        ph.sent += lines[i].sent;
        ph.got += got_of(i);
    }
    return ph;
}

double loadavg1() {
    double l = 0;
    FILE *f = fopen("/proc/loadavg", "r");
    if (f) {
        if (fscanf(f, "%lf", &l) != 1) l = 0;
        fclose(f);
    }
    return l;
}

// The agent's lines (lock; with --lines=3 also MCU and factory) against the
// floor on the same pseudo-terminals at the same rates, one after the other.
int stream_lines(int nlines, int seconds) {
    char tmpl[] = "/tmp/telagent-serbench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return 1;
    std::string root = tmpl;
    setenv("TELAGENT_ROOT", root.c_str(), 1);
    std::filesystem::create_directories(root + "/dev");
    Line lines[3] = {{"lock 38400", "/dev/ttyHSL1", make_pty(root, "ttyHSL1"), 3840.0, &g_rx_lock},
                     {"mcu 38400", "/dev/ttyHSL2", make_pty(root, "ttyHSL2"), 3840.0, &g_rx_mcu},
                     {"factory 115200", "/dev/ttyHSL3", make_pty(root, "ttyHSL3"), 11520.0, &g_rx_ecu}};
    for (const Line &l : lines)
        if (l.master < 0) return 1;
    hostcore_GD32_recv_register(count_lock);
    hostcore_bluetooth_recv_register(count_mcu);
    if (init_lock_usart() != 1) return 1;
    // Only the receive paths are measured: the polling threads would write.
    com_uart_read_thread_destroy();
    static SerialLine *ecu = new SerialLine(kBenchEcuCfg);
    if (nlines == 3) {
        if (init_mcu_usart() != 1) return 1;
        ble_read_thread_destroy();
        if (ecu->open_port() != 1) return 1;
        ecu->recv_thread.start([] { ecu->recv_frames(); });
        ecu->dispatch_thread.start([] { ecu->dispatch_once([](const uint8_t *, size_t) { ++g_rx_ecu; }); });
    }
    std::vector<uint8_t> payload(20);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 13);
    uint8_t frame[64];
    const size_t flen = build_orlin_frame(0x06, 0x05, 0x3001, payload.data(), payload.size(), frame, sizeof frame);
    const double load0 = loadavg1();

    Phase agent = run_phase(lines, nlines, frame, flen, seconds, [&](int i) { return lines[i].got->load(); });
    long agent_got[3] = {};
    for (int i = 0; i < nlines; ++i) agent_got[i] = lines[i].got->load();
    // The agent's lines let go of the terminals; the floor opens them as the agent did.
    lock_line().close_port();
    if (nlines == 3) {
        mcu_line().close_port();
        ecu->close_port();
    }
    BareLine bare[3];
    for (int i = 0; i < nlines; ++i) {
        bare[i].fd = open((root + lines[i].dev).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        bare[i].wide = i == 2;
        bare[i].wait_ms = i == 2 ? 100 : 2000;
        if (bare[i].fd < 0) return 1;
        struct termios t {};
        tcgetattr(bare[i].fd, &t);
        cfmakeraw(&t);
        tcflush(bare[i].fd, TCIFLUSH);
        tcsetattr(bare[i].fd, TCSANOW, &t);
        bare[i].start();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the idle floor settle
    Phase floor = run_phase(lines, nlines, frame, flen, seconds, [&](int i) { return bare[i].got.load(); });
    const double load1 = loadavg1();

    printf("\n%d line%s, %d s each for the agent and the floor, %zu-byte frames at full rate, load average %.2f -> %.2f\n",
           nlines, nlines > 1 ? "s" : "", seconds, flen, load0, load1);
    for (int i = 0; i < nlines; ++i) {
        printf("  %-15s agent: sent %ld, delivered %ld;  floor: delivered %ld\n", lines[i].name, lines[i].sent,
               agent_got[i], bare[i].got.load());
    }
    for (int i = 0; i < nlines; ++i) bare[i].finish();
    auto per_frame = [](const Phase &p) { return p.got ? 1e6 * p.cpu / static_cast<double>(p.got) : 0.0; };
    printf("  agent CPU          %.3f s (%.2f %% of one core), %.1f us per frame, %ld of %ld frames\n", agent.cpu,
           100.0 * agent.cpu / agent.wall, per_frame(agent), agent.got, agent.sent);
    printf("  floor CPU          %.3f s (%.2f %% of one core), %.1f us per frame, %ld of %ld frames\n", floor.cpu,
           100.0 * floor.cpu / floor.wall, per_frame(floor), floor.got, floor.sent);
    std::filesystem::remove_all(root);
    const double ratio = per_frame(floor) > 0 ? per_frame(agent) / per_frame(floor) : 0.0;
    printf("serial ratio %.2f\n", ratio);
    return agent.got == agent.sent ? 0 : 2;
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
    return stream_lines(nlines == 3 ? 3 : 1, seconds);
}
