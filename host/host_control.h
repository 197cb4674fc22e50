#pragma once
// The host's control channel: one command a line on the FIFO
// $TELAGENT_ROOT/var/host/control, for the operations only the host calls.
//
//   upgrade <type> <bus frame in hex>   handle_hostcore_upgrade_task (type 0 bus
//                                       port, 1 lock line, 2 Bluetooth; digits of
//                                       either case, spaces allowed)
//   mcu_update <port> <package path>    uart_mcu_update (absolute device paths),
//                                       refused until the agent's lines are up;
//                                       the MCU line is given back afterwards
//   bakbat <12 hex digits>              the 6 bytes of mBakBatInfo
//   gd32_update                         handle_ota_gd_task
//   display_update                      handle_ota_diaplay_task
//   motor_update <controller id>        handle_ota_motor_task (1: HM52, else KD11)
//
// Each line gets one answer on the host's console:
//   [host] control: <command> -> <result>
// where the result is the operation's return value, "not available" when the
// loaded library lacks it, or "error: <why>" for a malformed line, which
// changes nothing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The library's operations as the host found them (null when absent).
struct HostControlOps {
    int (*upgrade)(int type, const unsigned char *frame, int len) = nullptr;
    int (*mcu_update)(const char *port, const char *path) = nullptr;
    int (*mcu_ready)(void) = nullptr;    // uart_mcu_link_ready
    int (*mcu_restore)(void) = nullptr;  // uart_mcu_link_restore
    unsigned char *bakbat = nullptr;  // 6 bytes
    int (*gd32_update)(void) = nullptr;
    int (*display_update)(void) = nullptr;
    int (*motor_update)(int id) = nullptr;
};

// Longest command line taken; a longer one is refused whole.
inline constexpr size_t kHostControlLineMax = 8192;
// Largest frame an upgrade line may carry.
inline constexpr size_t kHostControlFrameMax = 2100;

// Hex digits of either case, blanks anywhere between digit pairs.  false on
// an odd digit count, any other character, or more than `max` bytes.
bool host_control_hex(const std::string &text, size_t max, std::vector<uint8_t> *out);

// Runs one line; the text after "->" of its console answer.  *shown is the
// command as the answer names it (long frames are summarised).
std::string host_control_run(const HostControlOps &ops, const std::string &line, std::string *shown);

// Resolves the operations from a loaded library.
HostControlOps host_control_resolve(void *lib);

// Creates the FIFO under <root>/var/host and serves it from a detached
// thread for the life of the process.  0 / -1.
int host_control_start(const std::string &root, const HostControlOps &ops);

// A frame the host received through its Bluetooth handler that belongs to a
// library image transfer (id 0x0007 to the box, command 08 or 10).
bool host_is_upgrade_frame(const unsigned char *msg, int len);
