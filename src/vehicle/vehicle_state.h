#pragma once
// Vehicle state record: batteries, motor controller and display, box supply.

// Once-a-second ageing of stale values, run by the supervision loop.
int check_sys_status(void);
// System-on flag (bit 0 of the status flags): 1 while the bike is switched on.
int get_system_status(void);
