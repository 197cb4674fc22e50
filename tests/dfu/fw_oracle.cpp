#include "dfu/fw_oracle.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

FwBytes fw_random_bytes(size_t n, uint32_t seed) {
    FwBytes b(n);
    uint32_t x = seed ? seed : 1;
    for (auto &v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = static_cast<uint8_t>(x >> 11);
    }
    return b;
}

int fw_sh(const std::string &cmd) {
    int r = system(cmd.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : 128;
}

bool fw_write(const std::string &path, const FwBytes &b) {
    std::ofstream o(path, std::ios::binary);
    o.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
    return o.good();
}

FwBytes fw_read(const std::string &path) {
    std::ifstream i(path, std::ios::binary);
    return FwBytes(std::istreambuf_iterator<char>(i), std::istreambuf_iterator<char>());
}

static std::string text_of(const std::string &path) {
    FwBytes b = fw_read(path);
    return std::string(b.begin(), b.end());
}

std::string fw_objcopy_hex(const std::string &dir, const FwBytes &bin, uint32_t addr) {
    fw_write(dir + "/part.bin", bin);
    char cmd[512];
    snprintf(cmd, sizeof cmd, "objcopy -I binary -O ihex --change-addresses 0x%X '%s/part.bin' '%s/part.hex'", addr,
             dir.c_str(), dir.c_str());
    if (fw_sh(cmd) != 0) return "";
    return text_of(dir + "/part.hex");
}

std::string fw_hex_without_end(const std::string &hex) {
    std::istringstream in(hex);
    std::string line, out;
    while (std::getline(in, line)) {
        if (line.size() >= 9 && (line.compare(7, 2, "01") == 0 || line.compare(7, 2, "05") == 0)) continue;
        out += line + "\n";
    }
    return out;
}

FwBytes fw_srec_image(const std::string &dir, const std::string &hex, uint32_t first, size_t size) {
    {
        std::ofstream o(dir + "/oracle.hex", std::ios::binary);
        o << hex;
    }
    const uint32_t end = first + static_cast<uint32_t>(size) - 4;
    char cmd[768];
    snprintf(cmd, sizeof cmd,
             "srec_cat '%s/oracle.hex' -intel -crop 0x%X 0x%X -fill 0xFF 0x%X 0x%X -offset -0x%X -o '%s/oracle.bin' "
             "-binary",
             dir.c_str(), first, end, first, end, first, dir.c_str());
    if (fw_sh(cmd) != 0) return {};
    return fw_read(dir + "/oracle.bin");
}

static uint32_t crcmod(const std::string &dir, const FwBytes &b, const char *params) {
    fw_write(dir + "/crc.bin", b);
    const std::string cmd = std::string("/usr/bin/python3 -c \"import crcmod,sys; f=crcmod.mkCrcFun(") + params +
                            "); print(f(open(sys.argv[1],'rb').read()))\" '" + dir + "/crc.bin' > '" + dir +
                            "/crc.txt'";
    if (fw_sh(cmd) != 0) return 0xDEADBEEF;
    return static_cast<uint32_t>(std::stoul(text_of(dir + "/crc.txt")));
}

uint32_t fw_crcmod_mpeg2(const std::string &dir, const FwBytes &b) {
    return crcmod(dir, b, "0x104C11DB7, initCrc=0xFFFFFFFF, rev=False, xorOut=0");
}

uint32_t fw_crcmod_crc32(const std::string &dir, const FwBytes &b) {
    return crcmod(dir, b, "0x104C11DB7, initCrc=0, rev=True, xorOut=0xFFFFFFFF");
}

FwBytes fw_with_crc(FwBytes image, uint32_t crc) {
    for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return image;
}

std::string fw_hex_word_addressed(const std::string &hex) {
    std::istringstream in(hex);
    std::string line, out;
    uint32_t base = 0, emitted_base = 0xFFFFFFFFu;
    auto emit = [&out](unsigned type, uint32_t addr, const std::vector<unsigned> &data) {
        unsigned sum = static_cast<unsigned>(data.size()) + ((addr >> 8) & 0xFF) + (addr & 0xFF) + type;
        char b[16];
        snprintf(b, sizeof b, ":%02X%04X%02X", static_cast<unsigned>(data.size()), addr & 0xFFFF, type);
        out += b;
        for (unsigned v : data) {
            snprintf(b, sizeof b, "%02X", v);
            out += b;
            sum += v;
        }
        snprintf(b, sizeof b, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out += b;
    };
    while (std::getline(in, line)) {
        if (line.size() < 11 || line[0] != ':') continue;
        const unsigned n = static_cast<unsigned>(std::stoul(line.substr(1, 2), nullptr, 16));
        const uint32_t addr = static_cast<uint32_t>(std::stoul(line.substr(3, 4), nullptr, 16));
        const unsigned type = static_cast<unsigned>(std::stoul(line.substr(7, 2), nullptr, 16));
        std::vector<unsigned> data;
        for (unsigned i = 0; i < n; ++i) data.push_back(static_cast<unsigned>(std::stoul(line.substr(9 + 2 * i, 2), nullptr, 16)));
        if (type == 4) {
            base = (data[0] << 24) | (data[1] << 16);
        } else if (type == 0) {
            const uint32_t word = (base + addr) / 2;
            if ((word >> 16) != emitted_base) {
                emitted_base = word >> 16;
                emit(4, 0, {(emitted_base >> 8) & 0xFF, emitted_base & 0xFF});
            }
            emit(0, word & 0xFFFF, data);
        } else if (type == 1) {
            emit(1, 0, {});
        }
    }
    return out;
}
