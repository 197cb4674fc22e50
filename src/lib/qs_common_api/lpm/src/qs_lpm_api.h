#pragma once
// The modem library's low-power part: the power daemon's wake-event FIFO and
// its monitor thread, the alarm timer, and autosleep with the USB wake-source
// check.  0 on success, -1 on failure.
#include <cstddef>
#include <cstdint>

#include "platform/plat_alarm.h"
#include "telagent/export.h"

// A fixed underlying type: an id the power daemon sends that is not listed
// here still reaches the handler as a value it can log and refuse.
typedef enum : int {
    E_QS_LPM_WAKEUP_EVENT_MIN = 0,
    E_QS_LPM_WAKEUP_NEW_SMS = 1,
    E_QS_LPM_WAKEUP_VOICE_NEW_CALL = 2,
    E_QS_LPM_WAKEUP_VOICE_CALL_END = 3,
    E_QS_LPM_WAKEUP_MCU_GPIO_SUSPEND = 4,
    E_QS_LPM_WAKEUP_MCU_GPIO_RESUME = 5,
    E_QS_LPM_WAKEUP_RTC_ALARM = 6,
    E_QS_LPM_WAKEUP_EVENT_MAX = 7,
} e_qs_lpm_wakeup_type;

typedef void (*qs_lpm_wakeup_handler)(e_qs_lpm_wakeup_type id);
typedef plat_alarm *qs_timer_t;
typedef void (*qs_timer_cb)(void *param);

// Device path of the FIFO the power daemon writes wake ids into.
inline constexpr const char *kQsWakeFifo = "/tmp/wakemsgid_fifo";
// Bytes the monitor reads per wake-up.
inline constexpr size_t kQsWakeReadLen = 4;

// Stores the handler, creates the FIFO when missing, opens it and starts the
// monitor thread (1 MiB stack).
int QS_Lpm_Init(qs_lpm_wakeup_handler handler);
// Alarm timer: first expiry after `interval_s`, then every `interval_s` when
// periodic is 1.  The callback runs on a new thread per expiry.
int QS_Posix_Timer_Enable(qs_timer_t *timer_id, qs_timer_cb cb, void *param, int64_t interval_s, int periodic);
int QS_Posix_Timer_Disable(qs_timer_t timer_id);
// USB wake-source check, then "mem" to the autosleep node.
int QS_Autosleep_Enable(void);

// Splits what one read of the FIFO returned into wake ids.  Ids are single
// decimal digits, so every digit is one event even when the daemon wrote two
// ids back to back; separators (NUL, blanks, line ends) are skipped and each
// run of other bytes is one id -1 ("default").  Returns the number of ids
// stored, at most `max`.
size_t qs_lpm_parse_ids(const char *buf, size_t len, int *ids, size_t max);
// Text of the event line for an id ("read id is %d, event ...\n"), or
// "read id is default.\n" for any other id.
const char *qs_lpm_event_fmt(int id);
