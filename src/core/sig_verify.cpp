#include "core/sig_verify.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstdio>
#include <memory>

namespace {
struct KeyFree {
    void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); }
};
struct MdFree {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};
}  // namespace

int sig_verify_buf(const uint8_t *data, size_t len, const uint8_t *sig, const std::string &key_path,
                   std::string *why) {
    FILE *f = fopen(key_path.c_str(), "re");
    if (f == nullptr) {
        *why = "public key unreadable";
        return 0;
    }
    std::unique_ptr<EVP_PKEY, KeyFree> key(PEM_read_PUBKEY(f, nullptr, nullptr, nullptr));
    fclose(f);
    if (!key || EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
        *why = "public key is not an Ed25519 key in PEM";
        return 0;
    }
    std::unique_ptr<EVP_MD_CTX, MdFree> ctx(EVP_MD_CTX_new());
    // Ed25519 signs the message itself (no separate digest): one shot.
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestVerify(ctx.get(), sig, kSigLen, data, len) != 1) {
        *why = "signature does not match";
        return 0;
    }
    return 1;
}
