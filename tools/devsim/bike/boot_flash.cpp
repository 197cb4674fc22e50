#include "bike/boot_flash.h"

#include <cstdio>
#include <cstring>

#include "core/devsim_files.h"
#include "core/frame_link.h"

namespace {

// Sizes and windows of the four controllers' application flash.
const BootGeometry kGd32 = {0x08, "gd32", 0x08004000u, 1, 0x1C000, 0, 112, 0x400, 0x400, false};
const BootGeometry kDisplay = {0x03, "display", 0x08004000u, 1, 0x3C000, 0, 120, 0x800, 0x800, false};
const BootGeometry kKd11 = {0x01, "kd11", 0x3E8000u, 2, 0x1C000, 1, 7, 0x4000, 0x800, true};
const BootGeometry kHm52 = {0x01, "hm52", 0x08005000u, 1, 0x37000, 1, 7, 0x8000, 0x800, false};

const BootBytes kDone = {0x02, 0x00};
const BootBytes kRefused = {0x03, 0x00};

}  // namespace

const BootGeometry &boot_geometry_gd32() { return kGd32; }
const BootGeometry &boot_geometry_display() { return kDisplay; }
const BootGeometry &boot_geometry_kd11() { return kKd11; }
const BootGeometry &boot_geometry_hm52() { return kHm52; }

uint32_t boot_crc32_mpeg2(const uint8_t *data, size_t len) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; ++i) {
        crc ^= static_cast<uint32_t>(data[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

unsigned boot_line_ms(size_t request_bytes, size_t answer_bytes) {
    return static_cast<unsigned>(((request_bytes + answer_bytes) * 10 * 1000 + 38399) / 38400);
}

BootTarget::BootTarget(const BootGeometry &g) : g_(g), flash_(g.size) {
    // The application already there: anything but erased flash.
    for (size_t i = 0; i < flash_.size(); ++i) flash_[i] = static_cast<uint8_t>(0x5A ^ (i * 7));
}

bool BootTarget::erase(int sector) {
    if (sector < g_.first_sector || sector >= g_.first_sector + g_.sectors) return false;
    const size_t from = static_cast<size_t>(sector - g_.first_sector) * g_.sector_bytes;
    if (from >= flash_.size()) return false;
    const size_t to = std::min(flash_.size(), from + g_.sector_bytes);
    std::fill(flash_.begin() + static_cast<long>(from), flash_.begin() + static_cast<long>(to), 0xFF);
    ++erases_;
    dirty_ = true;
    return true;
}

bool BootTarget::write(const BootBytes &p) {
    if (p.size() < 7) return false;
    const uint32_t addr = p[1] | p[2] << 8 | p[3] << 16 | static_cast<uint32_t>(p[4]) << 24;
    const size_t len = p[5] | p[6] << 8;
    if (len != p.size() - 7 || len != g_.block_bytes) return false;
    if (addr < g_.addr0) return false;
    const uint64_t off = static_cast<uint64_t>(addr - g_.addr0) * g_.unit;
    if (off + len > flash_.size()) return false;
    BootBytes data(p.begin() + 7, p.end());
    if (g_.swap_pairs) {
        for (size_t i = 0; i + 1 < data.size(); i += 2) std::swap(data[i], data[i + 1]);
    }
    // Flash bits only go from 1 to 0: a write over unerased cells is refused.
    for (size_t i = 0; i < len; ++i) {
        if (flash_[off + i] != 0xFF) return false;
    }
    std::copy(data.begin(), data.end(), flash_.begin() + static_cast<long>(off));
    ++writes_;
    dirty_ = true;
    return true;
}

bool BootTarget::handle(uint16_t id, const BootBytes &p, BootBytes *answer) {
    answer->clear();
    if (id == 0x0003) {
        if (!p.empty()) return false;
        *answer = {static_cast<uint8_t>(f_.version), 0x00, 0x00, 0x00};
        return true;
    }
    if (id != 0x0007) return false;
    if (p.empty()) {
        *answer = {static_cast<uint8_t>(in_boot_ ? 0 : 1), 0x00};
        return true;
    }
    const uint8_t cmd = p[0];
    if (cmd == 0x20) {
        if (!f_.refuse_enter) in_boot_ = true;
        return false;
    }
    if (!in_boot_) {
        *answer = kRefused;  // the application knows none of these
        return true;
    }
    switch (cmd) {
        case 0x01:
            if (f_.drop_erase > 0) {
                --f_.drop_erase;
                return false;
            }
            *answer = p.size() >= 2 && erase(p[1]) ? kDone : kRefused;
            return true;
        case 0x08:
            if (f_.drop_write > 0) {
                --f_.drop_write;
                return false;
            }
            *answer = write(p) ? kDone : kRefused;
            return true;
        case 0x10: {
            const size_t body = flash_.size() - 4;
            // The CRC is a little-endian number as the controller reads its
            // flash: for KD11 that is wire order, each HEX pair swapped.
            const size_t x = g_.swap_pairs ? 1 : 0;
            const uint32_t stored = flash_[body + x] | flash_[body + (1 ^ x)] << 8 | flash_[body + 2 + x] << 16 |
                                    static_cast<uint32_t>(flash_[body + (3 ^ x)]) << 24;
            const bool good = !f_.bad_crc && boot_crc32_mpeg2(flash_.data(), body) == stored;
            *answer = good ? kDone : kRefused;
            return true;
        }
        case 0x40:
            in_boot_ = false;
            *answer = {static_cast<uint8_t>(f_.app_state), 0x00};
            return true;
        default:
            *answer = kRefused;
            return true;
    }
}

int BootTarget::set(const std::string &key, const std::string &value, std::string *why) {
    unsigned v = 0;
    auto number = [&](unsigned max) {
        if (parse_dec_number(value, max, &v)) return true;
        *why = key + " takes 0.." + std::to_string(max);
        return false;
    };
    if (key == "version") {
        if (!number(255)) return -1;
        f_.version = v;
    } else if (key == "drop_erase") {
        if (!number(1000)) return -1;
        f_.drop_erase = v;
    } else if (key == "drop_write") {
        if (!number(1000)) return -1;
        f_.drop_write = v;
    } else if (key == "bad_crc") {
        if (!number(1)) return -1;
        f_.bad_crc = v != 0;
    } else if (key == "delay_ms") {
        if (!number(60000)) return -1;
        f_.delay_ms = v;
    } else if (key == "app_state") {
        if (!number(65535)) return -1;
        f_.app_state = v;
    } else if (key == "refuse_enter") {
        if (!number(1)) return -1;
        f_.refuse_enter = v != 0;
    } else {
        return 0;
    }
    return 1;
}

int BootTarget::mirror(const std::string &root) {
    char name[64];
    snprintf(name, sizeof name, "/var/devsim/flash_%02x.bin", g_.node);
    if (devsim_write_file(root + name, std::string(flash_.begin(), flash_.end())) != 0) return -1;
    dirty_ = false;
    return 0;
}
