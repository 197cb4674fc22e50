#pragma once
// Motion sensing: the accelerometer and gyroscope behind the kernel's input
// driver (sysfs text nodes), the GPIO lines start-up sets once, and the motion
// thread that turns pitch changes into the movement flag and the alarm byte.
#include <cstdint>

#include "core/iot_common.h"

// ---- settings handed over by start-up --------------------------------------

// Sensitivity level (0..9) and the two detection parameters from start-up.
// The level is stored and reported; it does not move the detection thresholds.
// Returns 1.
int iot_set_measure_gsensor(int level, int param1, int param2);
// Reads the three back.  1, or 0 when every out-parameter is null.
int iot_get_measure_gsensor(int *level, int *param1, int *param2);
int set_mdm_measure_gsensor_para_cmd(int level);
int get_mdm_measure_gsensor_para(int *level);

// ---- sensor access ----------------------------------------------------------

// Finds the accelerometer and gyroscope among input0..input3 by driver name,
// enables them, reads their ranges and starts the motion thread.  1 when both
// were found, else 0 (the box then runs without motion detection).
int sensor_mdm_init(void);
// The same without starting the thread, for callers that drive
// sensor_handle_step themselves.  1 / 0 as above.
int sensor_mdm_probe(void);
// Input device numbers; 255 while not found.
int get_bmi160_accel_fid(void);
int get_bmi160_gyro_fid(void);
int get_mdm_gsensor_enable(void);
int get_iot_sensor_type(void);
// Counts per g and counts per radian per second in use.
float get_gsensor_acc_value(void);
float get_gsensor_gyro_value(void);

void fw_sensor_enable(void);
void fw_sensor_disable(void);

// Readings in g / radians per second.  1 on success, 0 on failure (the record
// is left as it was unless said otherwise).
int fw_gsensor_get_info(iot_sensor_data_t *out);
int fw_gsensor_source_info(iot_sensor_data_t *out);
int fw_gyroscope_get_info(iot_sensor_data_t *out);
int get_mdm_gyroscope_info(iot_sensor_data_t *out);
int fw_gyroscope_source_info(iot_sensor_data_t *out);
// Accelerometer reading; on failure the whole record is zeroed.
int get_mdm_measure_gsensor_info(iot_sensor_data_t *out);

// Setters: 1 written, 0 write failed, -1 value out of range (nothing written).
int fw_gsensor_set_threshold(int value);           // 1..255
int fw_gsensor_set_duration(int value);            // 0..3
int fw_gsensor_set_sampled_frequency(int value);   // 5..12
int fw_gsensor_set_measure_range(int value);       // 0..3, scale follows
int fw_gyroscope_set_measure_range(int value);     // 0..4, scale follows
int fw_gyroscope_set_sampled_frequency(int value); // 5..12
// Getters: 1 with the node's value in *out, 0 on a failed read or null out.
// The range getters also bring the scale in line with the sensor.
int fw_gsensor_get_sampled_frequency(int *out);
int gsensor_get_measure_range(int *out);
int fw_gyroscope_get_sampled_frequency(int *out);
int gyroscope_get_measure_range(int *out);
// Chip temperature in degrees Celsius (0.0 when the chip has none).  1 / 0.
int qs_gsensor_get_temp_info(float *out);

// Scale of a range index (unknown indexes take the range-0 scale).
float gsensor_scale_of_range(int range);
float gyroscope_scale_of_range(int range);

// Text of a value node: exactly three decimal integers separated by blanks,
// each within 32 bits.  1 parsed, 0 not.
int sensor_parse_counts(const char *text, int out[3]);
// Text of a setting node: one decimal integer.  1 / 0.
int sensor_parse_int(const char *text, int *out);
// Text of the temperature node, "0x%x" of a 16-bit value: 1 with degrees
// Celsius in *out, 0 when it is not such a text.
int sensor_parse_temp(const char *text, float *out);

// Table slots: latest readings, zeroed on failure.  1 on success.
int hostcore_get_gsensor_info(iot_sensor_data_t *out);
int hostcore_get_gyroscope_info(iot_sensor_data_t *out);

// ---- GPIO lines ----------------------------------------------------------------

int init_lte_gpio(void);
int init_lna_gpio(void);
int init_can_gpio(void);
int fw_lna_enable(void);
int fw_lna_disable(void);
int get_lna_status(void);

// ---- tilt and movement detection ---------------------------------------------

// One-dimensional Kalman filter state, single precision, in this order.
struct Kalman_t {
    float Q_angle;
    float Q_bias;
    float R_measure;
    float angle;
    float bias;
    float P[2][2];
};
// A fresh state: Q_angle 0.05, Q_bias 0.0003, R_measure 0.01, the rest 0.
Kalman_t kalman_initial(void);
// One filter step; returns the new angle (degrees).
float Kalman_getAngle(Kalman_t *k, float newAngle, float newRate, float dt);

// Offset windows: 0 for five calls while storing the angle, then on the sixth
// |fifth - first| and the window starts over.
float get_pitch_offset(float angle);
float get_roll_offset(float angle);
float my_fabs(float v);

// Motion thread body: 10 s start delay, then sensor_handle_step forever.
void *sensor_handle_loop(void *arg);

enum sensor_step_result_t {
    SENSOR_STEP_GATED = 0,      // factory mode, or neither working nor test mode
    SENSOR_STEP_NO_READING,     // accelerometer or gyroscope read failed
    SENSOR_STEP_DISCARDED,      // one of the first readings after start
    SENSOR_STEP_BAD_SAMPLE,     // angles not finite: skipped like a failed read
    SENSOR_STEP_FILTERED,       // went through the filters
};
// One pass of the motion thread, including its sleep (1 s when gated, 100 ms
// otherwise) through the platform clock.
int sensor_handle_step(void);
// The part of a pass after the reads: angles, filters, windows, thresholds.
// Returns SENSOR_STEP_BAD_SAMPLE or SENSOR_STEP_FILTERED.
int sensor_handle_sample(const iot_sensor_data_t *acc, const iot_sensor_data_t *gyro);
// Last accelerometer angles and filter outputs, degrees.
float get_pitch_raw(void);
float get_roll_raw(void);
float get_kalman_pitch(void);
float get_kalman_roll(void);

// Movement flag (BikeMoveStatus): 1 once movement was detected; the GNSS loop
// clears it when it acts on it (and restarts a stopped receiver then).
uint8_t get_ebike_move_status(void);
void set_ebike_move_status(uint8_t status);

// Alarm byte of the telemetry frame: bit 0 tilt, bit 1 moved while locked.
uint8_t get_alarm_info_t(void);
void clear_alarm_info_t(void);
// Read and clear in one step: a bit raised between a separate read and clear
// would be lost with the pair above.
uint8_t take_alarm_info_t(void);

// Motor-lock hint from the MCU side: 1 for nonzero, else 0.
void iot_set_mcu_locked_mdm(int locked);

// Where the motion events go: the entry points this at the host's event
// callback.  Called with ("gsensor", "motion" | "fall" | "normal") from the
// motion thread.
using sensor_event_cb_t = void (*)(const char *name, const char *value);
void set_sensor_event_cb(sensor_event_cb_t cb);
// Registered by the entry: the motor lock state (1 locked), which turns a
// movement into the moved-while-locked alarm.
void set_sensor_lock_status_cb(int (*locked)(void));
// Raises bits (bitwise OR): how a report puts back the bits of a frame that
// never reached the client.
void set_alarm_info_t(uint8_t bits);
