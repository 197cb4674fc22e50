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
