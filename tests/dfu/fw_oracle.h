#pragma once
// Independent references for firmware images: HEX files made by binutils'
// objcopy from known binaries, flat images made from them by srecord's
// srec_cat, CRCs computed by python3-crcmod.  None of it shares code with the
// agent's parser or CRC tables.
#include <cstdint>
#include <string>
#include <vector>

using FwBytes = std::vector<uint8_t>;

// Deterministic pseudo-random bytes.
FwBytes fw_random_bytes(size_t n, uint32_t seed);
// Runs a shell command; its exit status.
int fw_sh(const std::string &cmd);
bool fw_write(const std::string &path, const FwBytes &b);
FwBytes fw_read(const std::string &path);
// objcopy -I binary -O ihex --change-addresses <addr>: the HEX text.
std::string fw_objcopy_hex(const std::string &dir, const FwBytes &bin, uint32_t addr);
// The HEX text with its end-of-file record (and start-address record) removed,
// so several parts can be joined before one end record.
std::string fw_hex_without_end(const std::string &hex);
// The HEX text with every address halved (byte addresses to word
// addresses, as a word-addressed controller's files are), checksums redone.
std::string fw_hex_word_addressed(const std::string &hex);
// srec_cat: the flat image of `hex` over [first, first+size-4), gaps 0xFF.
FwBytes fw_srec_image(const std::string &dir, const std::string &hex, uint32_t first, size_t size);
// python3-crcmod: CRC-32/MPEG-2 and standard CRC-32 of a file's bytes.
uint32_t fw_crcmod_mpeg2(const std::string &dir, const FwBytes &b);
uint32_t fw_crcmod_crc32(const std::string &dir, const FwBytes &b);
// The image with its CRC appended least significant byte first (size-4 data bytes).
FwBytes fw_with_crc(FwBytes image, uint32_t crc);
