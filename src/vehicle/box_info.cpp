#include "vehicle/box_info.h"

#include <cstring>
#include <mutex>

namespace {

// Read from link threads that outlive static destruction: made once, kept.
struct Registry {
    std::mutex mtx;
    box_info_ops_t ops{};
};
Registry &registry() {
    static Registry *r = new Registry;
    return *r;
}

box_info_ops_t ops() {
    Registry &r = registry();
    std::lock_guard<std::mutex> lk(r.mtx);
    return r.ops;
}

// The callbacks write up to 64 bytes; the caller may offer less.
size_t text_of(int (*fn)(char *), char *dst, size_t cap) {
    if (dst == nullptr || cap == 0) return 0;
    dst[0] = '\0';
    if (fn == nullptr) return 0;
    char tmp[64] = {0};
    fn(tmp);
    tmp[sizeof tmp - 1] = '\0';
    size_t n = strnlen(tmp, sizeof tmp);
    if (n >= cap) n = cap - 1;
    memcpy(dst, tmp, n);
    dst[n] = '\0';
    return n;
}

}  // namespace

void box_info_register(const box_info_ops_t *o) {
    Registry &r = registry();
    std::lock_guard<std::mutex> lk(r.mtx);
    r.ops = o ? *o : box_info_ops_t{};
}

size_t box_get_sn(char *dst, size_t cap) { return text_of(ops().get_sn, dst, cap); }

size_t box_get_iccid(char *dst, size_t cap) { return text_of(ops().get_iccid, dst, cap); }

int box_get_lte_data_status(void) {
    auto fn = ops().get_lte_data_status;
    return fn ? fn() : 0;
}

uint8_t box_get_lte_csq(void) {
    uint8_t csq = 99;  // "not known", as the modem says it
    auto fn = ops().get_lte_csq;
    if (fn) fn(&csq);
    return csq;
}

int box_get_position(box_position_t *out) {
    if (out == nullptr) return 0;
    *out = box_position_t{};
    auto fn = ops().get_position;
    return fn ? fn(out) : 0;
}

int box_get_gps_snr_num(uint8_t threshold) {
    auto fn = ops().get_gps_snr_num;
    return fn ? fn(threshold) : 0;
}

int box_get_cellinfo(int *cell_id, int *area_code, int *signal) {
    int c = 0, a = 0, s = 0;
    auto fn = ops().get_cellinfo;
    int r = fn ? fn(&c, &a, &s) : 0;
    if (cell_id) *cell_id = c;
    if (area_code) *area_code = a;
    if (signal) *signal = s;
    return r;
}

int box_get_modem_info(uint8_t *out35) {
    if (out35 == nullptr) return 0;
    memset(out35, 0, 35);
    auto fn = ops().get_modem_info;
    return fn ? fn(out35) : 0;
}

void box_clear_image_store(void) {
    auto fn = ops().clear_image_store;
    if (fn) fn();
}
