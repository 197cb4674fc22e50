// Firmware image figures (Google Benchmark): building the full display image
// (245760 bytes) from its HEX text, record reading and CRCs included, and the
// CRC-32/MPEG-2 over the image alone.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dfu/fw_crc.h"
#include "dfu/fw_image.h"

namespace {

// A HEX file filling the display's window but its CRC, 32 bytes a record.
std::string display_hex() {
    std::string out;
    char line[128];
    uint32_t x = 12345;
    const uint32_t first = 0x08004000u, end = 0x0803FFFCu;
    uint32_t base = 0xFFFFFFFFu;
    for (uint32_t a = first; a < end; a += 32) {
        if ((a >> 16) != base) {
            base = a >> 16;
            const unsigned s = (0x100 - ((2 + 4 + (base >> 8) + (base & 0xFF)) & 0xFF)) & 0xFF;
            snprintf(line, sizeof line, ":02000004%04X%02X\r\n", base, s);
            out += line;
        }
        const unsigned n = end - a < 32 ? end - a : 32;
        unsigned sum = n + ((a >> 8) & 0xFF) + (a & 0xFF);
        int p = snprintf(line, sizeof line, ":%02X%04X00", n, a & 0xFFFF);
        for (unsigned i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            const unsigned b = (x >> 16) & 0xFF;
            sum += b;
            p += snprintf(line + p, sizeof line - static_cast<size_t>(p), "%02X", b);
        }
        snprintf(line + p, sizeof line - static_cast<size_t>(p), "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out += line;
    }
    return out + ":00000001FF\r\n";
}

void BM_DisplayImageFromHex(benchmark::State &state) {
    const std::string hex = display_hex();
    // The builder prints its CRC line each time: keep that off the report.
    fflush(stdout);
    const int saved = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    int ok = 1;
    for (auto _ : state) {
        ok &= fw_build_from_text(FW_DISPLAY, hex.data(), hex.size());
        benchmark::DoNotOptimize(ok);
    }
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null);
    if (!ok) state.SkipWithError("build failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * hex.size()));
    state.counters["hex_bytes"] = static_cast<double>(hex.size());
}
BENCHMARK(BM_DisplayImageFromHex)->Unit(benchmark::kMillisecond);

void BM_Crc32Mpeg2Image(benchmark::State &state) {
    std::vector<uint8_t> img(0x3C000 - 4, 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(CRCCCITT8bit(img.data(), static_cast<uint32_t>(img.size()), 0xFFFFFFFFu, 0));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * img.size()));
}
BENCHMARK(BM_Crc32Mpeg2Image)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
