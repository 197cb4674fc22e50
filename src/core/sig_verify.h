#pragma once
// Detached Ed25519 signatures of images (OpenSSL).  Stand-alone: the host
// compiles this file too, for libraries pushed over a vehicle link.
#include <cstddef>
#include <cstdint>
#include <string>

// The operator's public key; when this file is provisioned every image must
// carry a valid signature.
inline constexpr const char *kOtaPubkeyFile = "/iot/conf/ota_pubkey.pem";
inline constexpr size_t kSigLen = 64;

// 1 when `sig` (kSigLen bytes) is the signature of data[0..len) under the
// Ed25519 public key in the PEM file at machine path `key_path`; else 0 with
// *why set ("no such key", "not an Ed25519 key", "signature does not match").
int sig_verify_buf(const uint8_t *data, size_t len, const uint8_t *sig, const std::string &key_path,
                   std::string *why);
