#pragma once
// The modem service library's diagnostic log: a level-filtered formatter that
// hands every finished line to a callback of the host.  Silent until a host
// calls QS_OL_Liblog_Level_Set.
#include "telagent/export.h"

/* Cumulative masks: each level contains every more severe one. */
typedef enum {
    QS_OL_LOG_NONE = 0,
    QS_OL_LOG_EMERGENCY = 1,
    QS_OL_LOG_ALERT = 3,
    QS_OL_LOG_CRITICAL = 7,
    QS_OL_LOG_ERROR = 15,
    QS_OL_LOG_WARNING = 31,
    QS_OL_LOG_NOTICE = 63,
    QS_OL_LOG_INFO = 127,
    QS_OL_LOG_DEBUG = 255,
} QS_OL_LOG_LEVEL;

typedef void (*QS_OL_LOG_CB)(QS_OL_LOG_LEVEL level, const char *text);

/* The configuration a host set (both zero until then). */
typedef struct {
    QS_OL_LOG_LEVEL level;
    QS_OL_LOG_CB callback;
} st_qs_lib_log;

/* Longest line handed to the callback, terminator included. */
#define QS_OL_LOG_LINE_MAX 1024

TELAGENT_EXTERN_C_BEGIN

TELAGENT_API void QS_OL_Liblog_Level_Set(QS_OL_LOG_LEVEL level, QS_OL_LOG_CB callback);

/* One line "[<file>]<function>|<line>::<message>\n" when a callback is set and
 * every bit of `level` is in the configured level. */
void qs_ol_log(QS_OL_LOG_LEVEL level, const char *file, const char *func, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

TELAGENT_EXTERN_C_END

/* The current configuration. */
st_qs_lib_log qs_ol_log_config(void);

#define QS_OL_LOG(level, ...) qs_ol_log((level), __FILE__, __func__, __LINE__, __VA_ARGS__)
