// NMEA parser figures over the receiver captures: sentences per second through
// the checks the GNSS thread runs, the checksum alone, and one supervision
// pass over a full snapshot.
//
//   bench_nmea                          all figures (results on stderr)
//   bench_nmea --benchmark_filter=x     Google Benchmark options as usual
//
// The parser prints every new position on the console as the box does; that
// output goes to /dev/null here, its formatting cost stays in the figures.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "support/test_data.h"
#include "core/logging.h"
#include "gps/gps_handle.h"
#include "gps/nmea_parse.h"

namespace fs = std::filesystem;

namespace {

fs::path capture_dir() { return nmea_capture_dir(); }

// Every line of every capture, in file order.
const std::vector<std::string> &sentences() {
    static const std::vector<std::string> all = [] {
        std::vector<std::string> out;
        std::error_code ec;
        std::vector<fs::path> files;
        for (const auto &e : fs::directory_iterator(capture_dir(), ec)) {
            if (e.path().extension() == ".log") files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path &p : files) {
            std::ifstream f(p, std::ios::binary);
            std::string l;
            while (std::getline(f, l)) {
                if (!l.empty()) out.push_back(l + "\n");
            }
        }
        return out;
    }();
    return all;
}

bool starts(const std::string &s, const char *tag) { return s.compare(0, strlen(tag), tag) == 0; }

// What the box does with one sentence: the event callback files it (and feeds
// the GSV collector), the supervision pass runs the check of its slot.
void BM_SentenceChecks(benchmark::State &state) {
    const std::vector<std::string> &all = sentences();
    if (all.empty()) {
        state.SkipWithError("no captures found");
        return;
    }
    for (auto _ : state) {
        for (const std::string &s : all) {
            if (starts(s, "$GPGGA")) {
                benchmark::DoNotOptimize(check_gps_gga(s.c_str()));
            } else if (starts(s, "$GPRMC")) {
                benchmark::DoNotOptimize(check_gps_rmc(s.c_str()));
            } else if (starts(s, "$GPVTG")) {
                benchmark::DoNotOptimize(check_gps_vtg(s.c_str()));
            } else if (starts(s, "$GPGSV")) {
                {
                    std::lock_guard<std::mutex> lk(gps_nmea_mutex());
                    tx510_get_all_gpgsv_data(s.c_str());
                }
                benchmark::DoNotOptimize(check_gps_gsv(s.c_str()));
            } else {
                benchmark::DoNotOptimize(check_data_invalid(s.c_str()));
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(all.size()));
}
BENCHMARK(BM_SentenceChecks)->Unit(benchmark::kMicrosecond);

void BM_Checksum(benchmark::State &state) {
    const std::vector<std::string> &all = sentences();
    if (all.empty()) {
        state.SkipWithError("no captures found");
        return;
    }
    for (auto _ : state) {
        for (const std::string &s : all) benchmark::DoNotOptimize(check_data_invalid(s.c_str()));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(all.size()));
}
BENCHMARK(BM_Checksum)->Unit(benchmark::kMicrosecond);

// One supervision pass: GGA, RMC, VTG and the GSV evaluation on a snapshot
// (a complete three-sentence sequence published).
void BM_SupervisionPass(benchmark::State &state) {
    char snap[kNmeaSnapshotLen] = {};
    auto put = [&](size_t off, const char *s) { memcpy(snap + off, s, strlen(s)); };
    put(kNmeaGga, "$GPGGA,092751.000,5321.6802,N,00630.3371,W,1,8,1.03,61.7,M,55.3,M,,*75\r\n");
    put(kNmeaRmc, "$GPRMC,092751.000,A,5321.6802,N,00630.3371,W,0.06,31.66,280511,,,A*45\r\n");
    put(kNmeaVtg, "$GPVTG,31.66,T,,M,0.06,N,0.1,K,A*38\r\n");
    {
        std::lock_guard<std::mutex> lk(gps_nmea_mutex());
        for (const char *s : {"$GPGSV,3,1,10,20,78,331,45,01,59,235,47,22,41,069,,13,32,252,45*70\r\n",
                              "$GPGSV,3,2,10,12,32,112,37,03,18,316,,23,16,229,,32,12,145,*7E\r\n",
                              "$GPGSV,3,3,10,04,07,036,,31,05,211,*7B\r\n"}) {
            tx510_get_all_gpgsv_data(s);
        }
    }
    put(kNmeaGsv, "$GPGSV,3,3,10,04,07,036,,31,05,211,*7B\r\n");
    for (auto _ : state) benchmark::DoNotOptimize(check_gps_nmea_data(snap));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_SupervisionPass)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    iot_log_init(0, LOG_TYPE_OFF);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::cerr << "captures: " << capture_dir() << ", " << sentences().size() << " sentences\n";
    // Results on stderr: stdout is the parser's console.
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    reporter.SetErrorStream(&std::cerr);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
