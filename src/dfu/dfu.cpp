#include "dfu/dfu.h"

#include <zip.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// jsmn ships as a header only: its functions are compiled here, file-local,
// with strict parsing (keys must be strings, primitives must be JSON values).
#define JSMN_STATIC
#define JSMN_STRICT
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-function"
#include <jsmn.h>
#pragma GCC diagnostic pop

#include "dfu/dfu_serial.h"
#include "platform/plat_clock.h"
#include "platform/plat_path.h"

namespace {

struct KindName {
    int kind;
    const char *name;
};
// Tried in this order for every manifest member.
const KindName kKinds[] = {
    {DFU_IMG_APPLICATION, "application"},
    {DFU_IMG_BOOTLOADER, "bootloader"},
    {DFU_IMG_SOFTDEVICE, "softdevice"},
    {DFU_IMG_SOFTDEVICE_BOOTLOADER, "softdevice_bootloader"},
};

struct SendStep {
    int kind;
    const char *msg;
};
// Send order, whatever the manifest's order.
const SendStep kSendOrder[] = {
    {DFU_IMG_SOFTDEVICE_BOOTLOADER, "Sending SoftDevice+Bootloader image."},
    {DFU_IMG_SOFTDEVICE, "Sending SoftDevice image."},
    {DFU_IMG_BOOTLOADER, "Sending Bootloader image."},
    {DFU_IMG_APPLICATION, "Sending Application image."},
};

bool tok_is(const char *js, const jsmntok_t &t, const char *s) {
    const size_t n = strlen(s);
    return t.type == JSMN_STRING && t.end >= t.start && static_cast<size_t>(t.end - t.start) == n &&
           memcmp(js + t.start, s, n) == 0;
}

// Copies a string token into a fixed buffer; false when it is not a string,
// empty, or too long for the buffer.
bool tok_copy(const char *js, const jsmntok_t &t, char *dst, size_t cap) {
    if (t.type != JSMN_STRING || t.end < t.start) return false;
    const size_t n = static_cast<size_t>(t.end - t.start);
    if (n == 0 || n >= cap) return false;
    memcpy(dst, js + t.start, n);
    dst[n] = '\0';
    return true;
}

bool tok_is_number(const char *js, const jsmntok_t &t) {
    if (t.type != JSMN_PRIMITIVE || t.end <= t.start) return false;
    const char c = js[t.start];
    return c == '-' || (c >= '0' && c <= '9');
}

// Parses the image object at tokens[*i]; *i moves past it.
bool parse_image(const char *js, const jsmntok_t *tok, int ntok, int *i, int kind, dfu_image_t *img) {
    if (*i >= ntok || tok[*i].type != JSMN_OBJECT) return false;
    const int members = tok[*i].size;
    ++*i;
    bool bin = false, dat = false, meta = false;
    for (int m = 0; m < members; ++m) {
        if (*i + 1 >= ntok) return false;
        const jsmntok_t &key = tok[*i];
        const jsmntok_t &val = tok[*i + 1];
        if (tok_is(js, key, "bin_file") && !bin) {
            if (!tok_copy(js, val, img->bin_file, sizeof img->bin_file)) return false;
            bin = true;
            *i += 2;
        } else if (tok_is(js, key, "dat_file") && !dat) {
            if (!tok_copy(js, val, img->dat_file, sizeof img->dat_file)) return false;
            dat = true;
            *i += 2;
        } else if (kind == DFU_IMG_SOFTDEVICE_BOOTLOADER && tok_is(js, key, "info_read_only_metadata") && !meta) {
            // Sizes the bootloader takes from the init packet anyway: read and ignored.
            if (val.type != JSMN_OBJECT || val.size != 2 || *i + 5 >= ntok) return false;
            const jsmntok_t *k = &tok[*i + 2];
            bool bl = false, sd = false;
            for (int j = 0; j < 2; ++j) {
                const jsmntok_t &kk = k[2 * j];
                const jsmntok_t &vv = k[2 * j + 1];
                if (!tok_is_number(js, vv)) return false;
                if (tok_is(js, kk, "bl_size") && !bl) {
                    bl = true;
                } else if (tok_is(js, kk, "sd_size") && !sd) {
                    sd = true;
                } else {
                    return false;
                }
            }
            meta = true;
            *i += 6;
        } else {
            return false;
        }
    }
    if (!bin || !dat) return false;
    if (kind == DFU_IMG_SOFTDEVICE_BOOTLOADER && !meta) return false;
    img->kind = kind;
    return true;
}

// Reads one zip entry whole, refusing entries larger than `cap`.
int read_entry(zip_t *z, const char *name, size_t cap, std::vector<uint8_t> *out, const char *open_msg,
               const char *read_msg) {
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat(z, name, 0, &st) != 0 || !(st.valid & ZIP_STAT_SIZE)) {
        logger_error("%s", open_msg);
        return 1;
    }
    if (st.size > cap) {
        logger_error("%s", read_msg);
        logger_error("Package entry %s holds %llu bytes, more than %zu.", name,
                     static_cast<unsigned long long>(st.size), cap);
        return 1;
    }
    std::unique_ptr<zip_file_t, int (*)(zip_file_t *)> f(zip_fopen(z, name, 0), zip_fclose);
    if (!f) {
        logger_error("%s", open_msg);
        return 1;
    }
    out->assign(static_cast<size_t>(st.size), 0);
    zip_int64_t n = out->empty() ? 0 : zip_fread(f.get(), out->data(), out->size());
    uint8_t extra;
    // An entry whose data does not match its recorded size (or its CRC, which
    // libzip checks at the end) is refused.
    if (n != static_cast<zip_int64_t>(out->size()) || zip_fread(f.get(), &extra, 1) != 0) {
        out->clear();
        logger_error("%s", read_msg);
        return 1;
    }
    return 0;
}

int send_image(uart_drv_t *p_uart, zip_t *z, const dfu_image_t &img) {
    std::vector<uint8_t> dat, bin;
    int r = read_entry(z, img.dat_file, kDfuDatMax, &dat, "Cannot open package DAT file!",
                       "Cannot read package DAT file!");
    if (r != 0) return r;
    r = read_entry(z, img.bin_file, kDfuBinMax, &bin, "Cannot open package BIN file!",
                   "Cannot read package BIN file!");
    if (r != 0) return r;
    r = dfu_serial_open(p_uart);
    if (r == 0) r = dfu_serial_send_init_packet(p_uart, dat.data(), static_cast<uint32_t>(dat.size()));
    if (r == 0) r = dfu_serial_send_firmware(p_uart, bin.data(), static_cast<uint32_t>(bin.size()));
    int c = dfu_serial_close(p_uart);
    return r != 0 ? r : c;
}

}  // namespace

int dfu_parse_manifest(const char *json, size_t len, dfu_manifest_t *out) {
    if (json == nullptr || out == nullptr) return 1;
    memset(out, 0, sizeof *out);
    jsmn_parser p;
    jsmn_init(&p);
    jsmntok_t tok[kDfuJsonTokens];
    const int ntok = jsmn_parse(&p, json, len, tok, kDfuJsonTokens);
    if (ntok < 0) {
        logger_error("Cannot parse package manifest json (%d)!", ntok);
        return 1;
    }
    if (ntok < 3 || tok[0].type != JSMN_OBJECT || tok[0].size != 1 || !tok_is(json, tok[1], "manifest") ||
        tok[2].type != JSMN_OBJECT) {
        logger_error("Cannot get json manifest object!");
        return 1;
    }
    if (tok[2].size < 1 || tok[2].size > 2) {
        logger_error("Cannot get json number of DFU images!");
        return 1;
    }
    out->declared = tok[2].size;
    int i = 3;
    while (i < ntok) {
        int kind = DFU_IMG_NONE;
        for (const KindName &k : kKinds) {
            if (tok_is(json, tok[i], k.name)) {
                kind = k.kind;
                break;
            }
        }
        if (kind == DFU_IMG_NONE) {
            logger_error("Cannot find json DFU image object!");
            return 1;
        }
        if (out->count >= static_cast<int>(kDfuMaxImages)) {
            logger_error("No data storage for json DFU image object!");
            return 1;
        }
        for (int k = 0; k < out->count; ++k) {
            if (out->images[k].kind == kind) {
                // Two images of one kind: which one to send is anybody's guess.
                logger_error("Incoherent json object structure detected!");
                return 1;
            }
        }
        ++i;
        if (!parse_image(json, tok, ntok, &i, kind, &out->images[out->count])) {
            logger_error("Cannot find json DFU image object!");
            return 1;
        }
        ++out->count;
    }
    if (i != ntok || out->count != out->declared) {
        logger_error("Incoherent json object structure detected!");
        return 1;
    }
    return 0;
}

int dfu_send_package(dfu_param_t *p_dfu) {
    if (p_dfu == nullptr || p_dfu->p_uart == nullptr || p_dfu->p_pkg_file == nullptr) return 1;
    const std::string path = plat_path(p_dfu->p_pkg_file);
    int err = 0;
    std::unique_ptr<zip_t, void (*)(zip_t *)> z(zip_open(path.c_str(), ZIP_RDONLY, &err), zip_discard);
    if (!z) {
        logger_error("Cannot open ZIP package file!");
        return 1;
    }
    std::vector<uint8_t> text;
    int r = read_entry(z.get(), "manifest.json", kDfuManifestMax, &text, "Cannot open package manifest file!",
                       "Cannot read package manifest file!");
    if (r != 0) return r;
    dfu_manifest_t man;
    if (dfu_parse_manifest(reinterpret_cast<const char *>(text.data()), text.size(), &man) != 0) return 1;

    for (const SendStep &step : kSendOrder) {
        for (int k = 0; k < man.count; ++k) {
            const dfu_image_t &img = man.images[k];
            if (img.kind != step.kind) continue;
            logger_info_1("%s", step.msg);
            r = send_image(p_dfu->p_uart, z.get(), img);
            if (r != 0) return r;
            // The MCU restarts into what it just received before it takes the next image.
            if (man.declared == 2 && img.kind != DFU_IMG_APPLICATION) plat_sleep_s(5);
        }
    }
    return 0;
}
