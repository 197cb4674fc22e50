#pragma once
// Vehicle state record: batteries, motor controller and display, box supply.

// Once-a-second ageing of stale values, run by the supervision loop.
int check_sys_status(void);
