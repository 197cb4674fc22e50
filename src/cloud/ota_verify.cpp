#include "cloud/ota_verify.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/sig_verify.h"
#include "platform/plat_path.h"

namespace {

bool read_all(const std::string &path, std::vector<uint8_t> *out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return !f.bad();
}

int refuse(const char *save_path, const std::string &sig_path, const std::string &why) {
    remove(plat_path(save_path).c_str());
    remove(plat_path(sig_path).c_str());
    printf(" %d /%s %s refused: %s \r\n", __LINE__, __func__, save_path, why.c_str());
    return 0;
}

}  // namespace

int ota_verify_signature(const char *url, const char *save_path, ota_fetch_fn fetch) {
    const std::string key = plat_path(kOtaPubkeyFile);
    if (access(key.c_str(), F_OK) != 0) return 1;  // not provisioned: as described
    const std::string sig_url = std::string(url) + ".sig";
    const std::string sig_path = std::string(save_path) + ".sig";
    remove(plat_path(sig_path).c_str());
    if (fetch == nullptr || fetch(sig_url.c_str(), sig_path.c_str()) != 1) {
        return refuse(save_path, sig_path, "no signature at " + sig_url);
    }
    std::vector<uint8_t> sig;
    std::vector<uint8_t> image;
    if (!read_all(plat_path(sig_path), &sig) || sig.size() != kSigLen) {
        return refuse(save_path, sig_path, "signature is " + std::to_string(sig.size()) + " bytes, not 64");
    }
    if (!read_all(plat_path(save_path), &image)) return refuse(save_path, sig_path, "image unreadable");
    std::string why;
    if (sig_verify_buf(image.data(), image.size(), sig.data(), key, &why) != 1) {
        return refuse(save_path, sig_path, why);
    }
    remove(plat_path(sig_path).c_str());
    printf(" %d /%s %s: signature good \r\n", __LINE__, __func__, save_path);
    return 1;
}
