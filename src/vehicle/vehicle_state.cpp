#include "vehicle/vehicle_state.h"

// No records to age yet: they come with the vehicle state work.
int check_sys_status(void) { return 0; }

// The status flags come with the vehicle state work; until then the bike is off.
int get_system_status(void) { return 0; }
