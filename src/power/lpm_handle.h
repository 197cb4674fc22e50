#pragma once
// Low-power state machine: on the backup battery the box makes one report and
// sleeps (wake lock released, autosleep), woken by the alarm timer or by the
// power daemon's wake events.
#include <cstddef>
#include <cstdint>

#include "lib/qs_common_api/lpm/src/qs_lpm_api.h"
#include "telagent/iotsdk.h"

// Low-power states.
inline constexpr int IOT_LPM_BEGIN = 0;
inline constexpr int IOT_LPM_WAITING_NET_GPS = 1;
inline constexpr int IOT_LPM_SLEEPING = 2;
inline constexpr int IOT_LPM_MAIN_BATTERY = 3;
// Longest wait for a subscribed session and a fix, seconds.
inline constexpr int kLpmWaitSeconds = 360;
inline constexpr const char *kLpmLockKey = "LPM_LOCK_KEY";
// Every wake-lock write is one block of this size: the text, then zeros.
inline constexpr size_t kWakelockBlock = 24;

// The checknv flag as read at start-up: the box boots from the factory line.
int check_factory_booting(void);
void set_factory_booting(int flag);

extern "C" {
// The host fills this record (6 bytes): on the backup battery when the first
// 16-bit field is non-zero and byte 3 is 1.
TELAGENT_API extern unsigned char mBakBatInfo[6];
TELAGENT_API int init_lpm(void);
TELAGENT_API int get_lpm_status(void);
TELAGENT_API void mcu_force_disable_sleeping(void);
TELAGENT_API void enable_usb(void);
}

// Writes the record as the host does (tests, and hosts that link statically).
void set_bakbat_info(const unsigned char info[6]);
// 1 while the record says the box runs on its backup battery.
int lpm_on_backup_battery(void);

// Registered by the entry: 1 while the MQTT session is subscribed.
void set_lpm_mqtt_subscribed_cb(int (*subscribed)(void));

void goto_sleep(void);
int disable_sleep(void);
void disable_usb(void);
int get_lpm_sleeping(void);
int get_lpm_rtc_disabled(void);

// Sysfs writers: 1 on success, 0 on failure.
int Qs_wakelock_create(const char *name, size_t length);
int Qs_wakelock_lock(const char *name, size_t size);
int Qs_wakelock_unlock(const char *name, size_t size);
int Qs_autosleep_enable(void);
int Qs_autosleep_disable(void);

// Interval of the alarm timer in seconds for a configured number of minutes
// (negative counts as 0; capped so it fits the timer).
int64_t lpm_interval_seconds(int minutes);

// Handlers of the wake FIFO and of the alarm timer.
void qs_wakeup_hander(e_qs_lpm_wakeup_type id);
void posix_timer_hander(void *param);

// One pass of the backup-battery thread, without its 5-second sleep.
void px510_backup_battery_step(void);
// Thread body: a pass every 5 seconds, forever.
void px510_backup_battery_handle(void);
