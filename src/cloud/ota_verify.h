#pragma once
// Signed images: with the operator's public key provisioned
// (/iot/conf/ota_pubkey.pem), a downloaded file counts only with a valid
// detached Ed25519 signature, fetched from the same URL with ".sig" appended.

// Called after `url` was downloaded to `save_path` (a device path) and before
// anything flashes, installs or renames it.  1 when no key is provisioned or
// the signature is good; 0 otherwise, with the file removed and the reason on
// the console.
int ota_verify_signature(const char *url, const char *save_path);
