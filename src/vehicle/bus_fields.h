#pragma once
// Bus data fields: the answers and broadcasts of the motor controller, the
// display and the batteries, stored in the vehicle state.  Each handler takes
// a frame and its length and returns 0 (stored or ignored) or -1 (a read, or
// held back during a firmware update).
#include <cstdint>

int handle_odo(const uint8_t *f, int len);
int handle_odoRange(const uint8_t *f, int len);
int handle_motor_pwr_out(const uint8_t *f, int len);
int handle_human_pwr(const uint8_t *f, int len);
int handle_supportLevel(const uint8_t *f, int len);
int handle_error(const uint8_t *f, int len);
int handle_battery_soc(const uint8_t *f, int len);
int handle_battery_pack_voltage(const uint8_t *f, int len);
int handle_battery_real_current(const uint8_t *f, int len);
int handle_battery_temperature(const uint8_t *f, int len);
int handle_left_capacity(const uint8_t *f, int len);
int handle_main_battery_charging(const uint8_t *f, int len);
int handle_disp_status(const uint8_t *f, int len);
int handle_softWareVersion(const uint8_t *f, int len);
int handle_serialnumber(const uint8_t *f, int len);
int handle_hardwareVersion(const uint8_t *f, int len);
int handle_configHmiUartProtocol(const uint8_t *f, int len);

// Accepted, no action.
int handle_state(const uint8_t *f, int len);
int handle_bikeId(const uint8_t *f, int len);
int handle_nextServiceTurn(const uint8_t *f, int len);
int handle_bikeServiceRequired(const uint8_t *f, int len);
int handle_wokenForLoraCh(const uint8_t *f, int len);
int handle_movementDetected(const uint8_t *f, int len);
int handle_batteryLevel(const uint8_t *f, int len);
int handle_rotationRpm(const uint8_t *f, int len);

// Battery index 1..3 of a source address, 0 for any other node.
int battery_of_source(uint8_t src);
