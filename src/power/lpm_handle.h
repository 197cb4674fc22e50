#pragma once
// Low-power state machine.
#include "telagent/iotsdk.h"

// The checknv flag as read at start-up: the box boots from the factory line.
int check_factory_booting(void);
void set_factory_booting(int flag);
