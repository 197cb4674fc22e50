#pragma once
// Vehicle state record: the latest known state of the bike, as packed byte
// records with the all-ones "no value" marking the cloud understands.
//
// Writers (lock and MCU dispatcher threads, the supervision thread) and readers
// (telemetry, cloud commands, GNSS, sensors) meet under one small lock: readers
// get a copy, writers change fields through vs_update_*.
#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct mc_info_t {
    uint32_t odo;
    uint16_t odorange;
    uint32_t ErrorStatus;
    uint16_t MotorPowerOut;
    uint16_t HumanPower;
    uint16_t BikeSpeed;
    uint16_t Candence;
    uint8_t CurrentSupportLevel;
    uint8_t reserved[5];
    uint8_t motor_sn[24];
    uint8_t motor_sw_version[4];
    uint8_t motor_boot_version[4];
    uint8_t motor_model[20];
    uint8_t motor_branch[30];
};

struct battery_info_t {
    uint8_t BatteryNumber;
    uint8_t Battery1Enable;
    uint8_t Battery2Enable;
    uint8_t Battery3Enable;
    uint16_t BatteryError[3];
    uint8_t BatterySoC;
    uint8_t Battery2SoC;
    uint8_t Battery3SoC;
    uint16_t BatteryPackageVoltage[3];
    uint16_t BatteryCurrent[3];
    uint8_t BatteryTemperature[3];
    uint16_t BatteryCapacity[3];
    uint8_t BatteryCharging[3];
};

struct iot_battery_t {
    uint16_t pack_voltage;
    uint8_t reserved0;
    uint8_t pack_charging;
    uint8_t main_battery_status;
    uint8_t reserved[10];
};
#pragma pack(pop)

static_assert(sizeof(mc_info_t) == 106, "mc_info layout");
static_assert(sizeof(battery_info_t) == 37, "battery_info layout");
static_assert(sizeof(iot_battery_t) == 15, "iot_battery layout");
// The report copies these records into the uplink frame as they are: every
// field where the cloud expects it, on every target.
static_assert(offsetof(mc_info_t, odorange) == 4 && offsetof(mc_info_t, ErrorStatus) == 6 &&
                  offsetof(mc_info_t, MotorPowerOut) == 10 && offsetof(mc_info_t, BikeSpeed) == 14 &&
                  offsetof(mc_info_t, CurrentSupportLevel) == 18 && offsetof(mc_info_t, motor_sn) == 24 &&
                  offsetof(mc_info_t, motor_model) == 56 && offsetof(mc_info_t, motor_branch) == 76,
              "mc_info field offsets");
static_assert(offsetof(battery_info_t, BatteryError) == 4 && offsetof(battery_info_t, BatterySoC) == 10 &&
                  offsetof(battery_info_t, BatteryPackageVoltage) == 13 &&
                  offsetof(battery_info_t, BatteryCurrent) == 19 &&
                  offsetof(battery_info_t, BatteryTemperature) == 25 &&
                  offsetof(battery_info_t, BatteryCapacity) == 28 && offsetof(battery_info_t, BatteryCharging) == 34,
              "battery_info field offsets");
static_assert(offsetof(iot_battery_t, pack_charging) == 3 && offsetof(iot_battery_t, main_battery_status) == 4,
              "iot_battery field offsets");

// Status flag bits of Bits_Field8.
enum : uint8_t { BIT_BIKE_ON = 0x01, BIT_MOTOR_LOCKED = 0x02, BIT_LIGHT_ON = 0x08 };

// Copies of the records.
mc_info_t motor_info_get_protocol(void);
battery_info_t battery_info_get_protocol(void);
iot_battery_t get_iot_battery_info(void);

// Changes a record under the lock.  `fn` gets the record and must not block.
void vs_update_mc(void (*fn)(mc_info_t &, const void *), const void *ctx);
void vs_update_battery(void (*fn)(battery_info_t &, const void *), const void *ctx);
void vs_update_iot_battery(void (*fn)(iot_battery_t &, const void *), const void *ctx);
// Sets (on != 0) or clears the given status bits.
void vs_set_flag(uint8_t bits, int on);

// Battery n (1..3) answered its state of charge: present, watchdog reset.
void vs_battery_seen(int n);
// A 0xF107 status broadcast arrived: the bike-status watchdog starts over.
void vs_bike_status_seen(void);

void get_Bits_Field8_t(uint8_t *out);
int get_BikeOnStatus(void);
int get_system_status(void);
int get_MotorLockStatus(void);
void clear_Bits_Field8_t(void);
void clear_mc_info_t(void);
void clear_battery_info_t(void);

// Once-a-second ageing of stale values, run by the supervision loop.
int check_sys_status(void);
