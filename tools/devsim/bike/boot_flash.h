#pragma once
// Bootloaders of the controllers on the lock line: the GD32 lock board (node
// 0x08), the display (0x03) and the motor controller (0x01, KD11 or HM52).
// Each holds a flash model: erase per sector, writes refused where the flash
// is not erased, a CRC check (CRC-32/MPEG-2 over all but the last 4 bytes,
// which hold it little-endian) over what it holds.  The flash is kept in
// HEX file order (KD11's word pairs, swapped on the wire, are swapped back) and
// mirrored to var/devsim/flash_<node>.bin, so a test compares it with a
// binary made independently from the HEX file.
//
// Protocol (bus frames, answers with destination and source swapped):
//   0x0003 read                 version: payload <version> 00 00 00
//   0x0007 20 00                enter the bootloader (no answer)
//   0x0007 read                 state: 00 00 in the bootloader, 01 00 application
//   0x0007 01 <sector>          erase: 02 00 done, 03 00 refused
//   0x0007 08 <addr LE32> <len LE16> <data>   write: 02 00 / 03 00
//   0x0007 10 00                CRC check: 02 00 good, 03 00 bad
//   0x0007 40 00                back to the application: <app_state> 00
//
// Faults, scenario section [ttyHSL1] or "bike boot<node>.<key> <value>"
// (node as two hex digits, e.g. boot08.version = 3):
//   version = N        the version byte answered (2 is the one the box flashes)
//   drop_erase = N     the next N erase commands get no answer (not carried out)
//   drop_write = N     the next N block writes get no answer (not carried out)
//   bad_crc = 0|1      the CRC check answers "bad" whatever the flash holds
//   delay_ms = N       every answer this late
//   app_state = N      the state answered when switched back to the application
//   refuse_enter = 0|1 the switch to the bootloader is ignored
// and for all of them: boot.pace = 0|1, answers paced as if the request and
// the answer crossed a 38400-baud line (10 bits a byte).
#include <cstdint>
#include <string>
#include <vector>

using BootBytes = std::vector<uint8_t>;

struct BootGeometry {
    uint8_t node;
    const char *name;       // for messages
    uint32_t addr0;         // address field of image byte 0
    unsigned unit;          // bytes per address step: 1, or 2 (word addressed)
    size_t size;            // image bytes
    int first_sector;
    int sectors;
    size_t sector_bytes;    // the last sector may be cut by the image end
    size_t block_bytes;     // data bytes of one write
    bool swap_pairs;        // wire bytes of each word are swapped (KD11)
};

const BootGeometry &boot_geometry_gd32();
const BootGeometry &boot_geometry_display();
const BootGeometry &boot_geometry_kd11();
const BootGeometry &boot_geometry_hm52();

// CRC-32/MPEG-2, bit by bit from its definition (independent of the agent's table).
uint32_t boot_crc32_mpeg2(const uint8_t *data, size_t len);

struct BootFaults {
    unsigned version = 2;
    unsigned drop_erase = 0;
    unsigned drop_write = 0;
    bool bad_crc = false;
    unsigned delay_ms = 0;
    unsigned app_state = 1;
    bool refuse_enter = false;
};

class BootTarget {
public:
    explicit BootTarget(const BootGeometry &g);
    const BootGeometry &geometry() const { return g_; }
    bool in_boot() const { return in_boot_; }
    // Handles a frame addressed to this node with id 0x0003 or 0x0007.  When
    // it answers, *answer is the payload; false when it stays silent.
    bool handle(uint16_t id, const BootBytes &payload, BootBytes *answer);
    // One fault key (without the "boot<node>." prefix): 1 used, 0 unknown, -1 bad value.
    int set(const std::string &key, const std::string &value, std::string *why);
    const BootFaults &faults() const { return f_; }
    const BootBytes &flash() const { return flash_; }
    unsigned erases() const { return erases_; }
    unsigned writes() const { return writes_; }
    bool dirty() const { return dirty_; }
    // Writes the flash to <root>/var/devsim/flash_<node>.bin.  0 / -1.
    int mirror(const std::string &root);

private:
    bool erase(int sector);
    bool write(const BootBytes &p);
    BootGeometry g_;
    BootFaults f_;
    BootBytes flash_;
    bool in_boot_ = false;
    bool dirty_ = true;
    unsigned erases_ = 0;
    unsigned writes_ = 0;
};

// Milliseconds a request and its answer of these lengths take at 38400 baud.
unsigned boot_line_ms(size_t request_bytes, size_t answer_bytes);
