#pragma once
// Entry points of libTelAgent.so that the host executable calls.
#include <stdint.h>

#include "telagent/export.h"

TELAGENT_EXTERN_C_BEGIN

// Health marker: once its MQTT session has subscribed the request topics, the
// agent writes the path of the library it runs as (the argument of
// call_iotmain) and a newline into this file, in one rename.  The host keeps
// a new library only once the marker names it.
#define TELAGENT_HEALTH_FILE "/var/run/telagent.health"

// Runs the agent: registers the device-operations table, runs start-up and
// keeps the calling thread as the one-second supervision loop.  Never returns.
TELAGENT_API void call_iotmain(const char *lib_path);

// 1 when loaded as "/iot/lib/libTelAgent.so", 2 as "/iot/lib/libTelAgentEx.so",
// 0 otherwise.
TELAGENT_API int get_lib_load_telagent_name_type(void);

// Host callbacks: Bluetooth messages forwarded from the phone app, and events
// ("gsensor", "motion" | "fall" | "normal").
typedef struct iot_host_cb_t {
    void (*bt_msg)(const unsigned char *msg, int len);
    void (*event_msg)(const char *name, const char *value);
} iot_host_cb_t;

// Stores the host callbacks; returns 1.
TELAGENT_API int init_cb(const iot_host_cb_t *cb);

// Host handler for the frames of a library image pushed over a vehicle link:
// bus frames with id 0x0007 to the box (0x06), command 08 or 10, not from a
// bootloader (0xAA), as they arrive on the link `type` (0 bus port, 1 lock
// line, 2 Bluetooth).  Called on that link's dispatcher thread; the host hands
// them to handle_hostcore_upgrade_task.  Stores the handler; returns 1.
typedef void (*iot_link_msg_cb_t)(int type, const unsigned char *frame, int len);
TELAGENT_API int init_link_cb(iot_link_msg_cb_t cb);

// Starts power management (low-power cycle on the backup battery).
TELAGENT_API int init_lpm(void);

// Updates the main MCU's Nordic firmware: switches the MCU on port `dev_name`
// ("ttyHSL2", or "/dev/ttyHSL2") to its bootloader and sends the DFU package (zip) at device path
// `pkg_path`.  0 on success, 1 on an error, 2 on a stream offset/CRC mismatch.
TELAGENT_API int uart_mcu_update(const char *dev_name, const char *pkg_path);
// 1 once the agent has brought its lines up (the end of start-up): before,
// an update and the agent's own start would both open the MCU port.
TELAGENT_API int uart_mcu_link_ready(void);
// Gives the MCU port back to the MCU link after uart_mcu_update, whatever it
// returned: port open again, its receive and BLE polling threads running.
// 1 when the port opened.
TELAGENT_API int uart_mcu_link_restore(void);

TELAGENT_EXTERN_C_END
