#include "core/tavi_common.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {
std::atomic<int> g_test_mode{0};
std::atomic<int> g_factory_mode{0};
std::atomic<int> g_ota_mode{0};
std::atomic<uint8_t> g_sysboot_code{0};
std::atomic<int64_t> g_imei{0};
}  // namespace

int get_TestMode(void) { return g_test_mode.load(std::memory_order_relaxed); }

int set_TestMode(int mode) {
    g_test_mode.store(mode, std::memory_order_relaxed);
    return 1;
}

int get_factory_mode(void) { return g_factory_mode.load(std::memory_order_relaxed); }

void set_factory_mode(int flag) { g_factory_mode.store(flag, std::memory_order_relaxed); }

int get_ota_mode(void) { return g_ota_mode.load(std::memory_order_relaxed); }

void set_ota_mode(int flag) { g_ota_mode.store(flag, std::memory_order_relaxed); }

void set_sysboot_code(int bit) {
    if (bit < 0 || bit > 7) return;
    g_sysboot_code.fetch_or(static_cast<uint8_t>(1u << bit), std::memory_order_relaxed);
}

uint8_t get_sysboot_code(void) { return g_sysboot_code.load(std::memory_order_relaxed); }

int64_t getimei(void) { return g_imei.load(std::memory_order_relaxed); }

void setimei(int64_t imei) { g_imei.store(imei, std::memory_order_relaxed); }

int get_imei_text(char *dst) {
    if (dst == nullptr) return 0;
    dst[0] = '\0';
    const int64_t imei = getimei();
    if (imei <= 0) return 0;
    char buf[24];
    const int n = snprintf(buf, sizeof buf, "%015" PRId64, imei);
    if (n <= 10 || n >= 20) return 0;
    memcpy(dst, buf, static_cast<size_t>(n) + 1);
    return n;
}
