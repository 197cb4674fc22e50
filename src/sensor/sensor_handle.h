#pragma once
#include <cstdint>

#include "core/iot_common.h"
// Motion sensor access: accelerometer and gyroscope.  Filled in by the motion
// sensing work; until then the sensor reports nothing and accepts settings.

// Passes the sensitivity level (0..9) and the two detection parameters to the
// motion sensor.  Returns 1 when accepted.
int iot_set_measure_gsensor(int level, int param1, int param2);
// Reads the sensor settings back.  Returns 1 on success.
int iot_get_measure_gsensor(int *level, int *param1, int *param2);
// Brings up the sensor devices.
int sensor_mdm_init(void);
// Table slots: latest accelerometer and gyroscope readings.  1 on success.
int hostcore_get_gsensor_info(iot_sensor_data_t *out);
int hostcore_get_gyroscope_info(iot_sensor_data_t *out);
// One-shot GPIO set-up of the LTE/GPS LED, the LNA and the CAN transceiver.
int init_lte_gpio(void);
int init_lna_gpio(void);
int init_can_gpio(void);
// Movement flag (BikeMoveStatus): 1 once movement was detected; the GNSS loop
// clears it when it acts on it.  Nothing sets it until motion sensing lands.
uint8_t get_ebike_move_status(void);
void set_ebike_move_status(uint8_t status);
// Motion alarm byte alarm_info: bit 0 tilt, bit 1 moved while the motor is
// locked.  The motion thread raises bits; the telemetry report takes them.
uint8_t get_alarm_info_t(void);
void clear_alarm_info_t(void);
// Raises bits (bitwise OR); also how a report puts back the bits of a frame
// that never reached the client.
void set_alarm_info_t(uint8_t bits);
// Reads and clears in one atomic step: a bit raised between a separate read
// and clear would be lost.
uint8_t take_alarm_info_t(void);
