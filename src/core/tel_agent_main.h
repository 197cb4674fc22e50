#pragma once
// Entry point, start-up sequence and supervision loop of the agent.
#include <cstdint>

#include "telagent/iotsdk.h"

// Firmware identity printed at start-up and in the crash log.
inline constexpr const char *kFirmwareVersion = "TX513.880Q.v1.2.2.1.2023.11.21";

// Table slots of the runtime core.
int hostcore_init(void);
int hostcore_deinit(void);

// Hands the lower layers the callbacks through which they reach the higher
// ones (MQTT teardown for the LTE manager, the bike's status for GNSS, ...).
// call_iotmain does it first.
void register_layer_callbacks(void);

// The start-up sequence; returns 0.
int all_init(void);

// One pass of the supervision loop without its one-second sleep.  `pass` is the
// pass counter (starts at 1); returns 1 when this pass cleaned the log
// directories.
int supervision_pass(int *pass);

// Signal handling and the crash log.
void init_platform_sig(void);

// Command keywords of start-up, the LTE manager and the delayed restart.
void execute_command(const char *keyword);

// 1 once start-up has run to its end.
int get_startup_done(void);


// Sets the report counter and starts the report and recovery threads.
int init_tx510x(void);
