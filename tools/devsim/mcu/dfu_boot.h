#pragma once
// The main MCU's side of a firmware update, on ttyHSL2:
//   - in its application, the boot switch: the caret version query (20 01 ->
//     answer B0), the switch request (54 01 -> answer D4, then the bootloader
//     runs) and the watchdog frames (FF <sub> <value>), recorded in
//     var/devsim/mcu_watchdog;
//   - its serial bootloader: Nordic Secure DFU requests in SLIP packets, with
//     the state of the init-packet and firmware objects (maximum size, offset,
//     running CRC-32) and the received images written to
//     var/devsim/nrf_<kind>.bin when executed.
//
// The init packet names the image for the simulator: the first of the words
// "softdevice_bootloader", "softdevice", "bootloader", "application" found in
// it gives <kind> (else "image"), and "size=<n>" the firmware length, so the
// bootloader knows which execute is the last one (it then validates the image
// and, for an application, restarts into it).
//
// Knobs (scenario [ttyHSL2] "dfu.<key> = <value>", or at run time
// "ttyHSL2 dfu <key> <value>"):
//   mode = app|boot            where the MCU is now ("boot": already in its bootloader)
//   app = normal|silent|stay   silent: the application ignores the boot switch;
//                              stay: it answers the switch but keeps running
//   mtu = N                    MTU reported (encoded packets longer are dropped)
//   max_cmd = N, max_data = N  maximum object sizes
//   delay_ms = N               every answer that late
//   silent = 0|1               the bootloader answers nothing
//   silent_after_writes = N    hangs after N write packets, until the next abort (once)
//   reset_after_writes = N     restarts after N writes: the object being written
//                              is lost, then hangs until the next abort (once)
//   hang_at_execute = N        hangs when firmware execute N (1-based) arrives, before
//                              doing it, until the next abort (once)
//   resume_offset = N          after such a break, reports at most N bytes written
//   drop_byte = N              loses the N-th firmware byte received (once, 0-based)
//   bad_crc_object = N         spoils the CRC answer to the N-th firmware CRC request
//                              from now on (1-based, once)
//   wrong_offset_object = N    answers the N-th firmware CRC request from now on with
//                              offset+1 (once)
//   error = <op hex>:<code hex> answers that request with that result code ("-" off)
//   final_error = <code hex>   the last execute fails validation with that code
//   final_silent = 0|1         the last execute is not answered (the MCU restarts)
//   split = 0|1                answers go out in two pieces, 300 ms apart
//   baud = N                   answers wait for the line time of the bytes
//                              before them (10 bits a byte); 0 = no line time
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/peer.h"

using DfuBytes = std::vector<uint8_t>;

// Own encoders, independent of the agent's.
uint32_t devsim_crc32(const uint8_t *data, size_t len);
DfuBytes devsim_slip_encode(const DfuBytes &packet);

struct DfuBootKnobs {
    uint32_t mtu = 131;
    uint32_t max_cmd = 512;
    uint32_t max_data = 4096;
    unsigned delay_ms = 0;
    bool silent = false;
    long silent_after_writes = -1;
    long reset_after_writes = -1;
    long hang_at_execute = -1;
    long resume_offset = -1;
    long drop_byte = -1;
    long bad_crc_object = -1;
    long wrong_offset_object = -1;
    int error_op = -1;
    uint8_t error_code = 0;
    int final_error = -1;
    bool final_silent = false;
    bool split = false;
    unsigned baud = 0;
    bool app_silent = false;
    bool app_stay = false;
};

class DfuBoot {
public:
    explicit DfuBoot(PeerLine &line);

    bool in_boot() const { return boot_; }
    void set_boot(bool on);

    // Application side: a caret frame the agent wrote.  true when it was one
    // of the boot switch's or the watchdog's (answered or recorded here).
    bool on_app_caret(uint8_t cmd, const DfuBytes &data);
    // Bootloader side: bytes the agent wrote.
    void feed(const uint8_t *data, size_t len);

    // "dfu.<key>" scenario keys: 1 used, 0 not ours, -1 bad value (*why).
    int configure(const std::string &key, const std::string &value, std::string *why);
    // "ttyHSL2 dfu <key> <value>": 0 / -1.
    int command(const std::string &args, std::string *why);

    const DfuBootKnobs &knobs() const { return k_; }
    // Test access to the object state.
    uint32_t data_offset() const { return static_cast<uint32_t>(fw_.size()); }
    uint32_t executed() const { return executed_; }
    size_t writes() const { return writes_; }
    const std::string &last_image_file() const { return last_file_; }

private:
    void packet(const DfuBytes &p);
    void answer(uint8_t op, uint8_t result, const DfuBytes &extra = {});
    void send_raw(const DfuBytes &bytes);
    void on_write(const uint8_t *d, size_t n);
    void on_execute();
    void apply_break(bool drop_object);
    void write_image();
    void record_watchdog(uint8_t sub, unsigned value);
    int64_t now_us() const;

    PeerLine &line_;
    DfuBootKnobs k_;
    bool boot_ = false;
    bool hung_ = false;
    bool broke_ = false;  // a break happened: the next data select honours resume_offset
    DfuBytes rx_;         // SLIP bytes of the packet being received
    // Object state.  cmd_: the init packet; fw_: firmware bytes received, in
    // order; obj_*: the object being written.
    DfuBytes cmd_;
    uint32_t cmd_size_ = 0;
    bool cmd_executed_ = false;
    DfuBytes fw_;
    uint32_t executed_ = 0;
    uint8_t obj_type_ = 0;     // object type selected or created last
    bool data_open_ = false;   // a firmware object is being written (obj_start_, obj_size_)
    uint32_t obj_start_ = 0;
    uint32_t obj_size_ = 0;
    uint32_t fw_objects_ = 0;  // firmware objects created in this image
    long fw_executes_ = 0;     // firmware executes received since the knob was set
    long crc_for_bad_ = 0;     // firmware CRC requests since bad_crc_object was set
    long crc_for_offset_ = 0;  // ... since wrong_offset_object was set
    std::string kind_ = "image";
    long expect_size_ = -1;
    size_t writes_ = 0;
    size_t fw_bytes_seen_ = 0;
    std::string last_file_;
    // Line time: when the agent's bytes so far have all arrived, and when our
    // own last answer has left.
    int64_t rx_free_us_ = 0;
    int64_t tx_free_us_ = 0;
    // Watchdog record.
    int wd_enabled_ = 0;
    unsigned wd_timeout_ = 0;
    unsigned wd_feeds_ = 0;
};
