#pragma once
// Signed images: with the operator's public key provisioned
// (/iot/conf/ota_pubkey.pem), a downloaded file counts only with a valid
// detached Ed25519 signature, fetched from the same URL with ".sig" appended.

// Stores a small file from a URL at a device path; 1 on success.  The OTA
// handlers pass their downloader, which knows the URL forms.
typedef int (*ota_fetch_fn)(const char *url, const char *save_path);

// Called after `url` was downloaded to `save_path` (a device path) and before
// anything flashes, installs or renames it.  1 when no key is provisioned or
// the signature is good; 0 otherwise, with the file removed and the reason on
// the console.
int ota_verify_signature(const char *url, const char *save_path, ota_fetch_fn fetch);
