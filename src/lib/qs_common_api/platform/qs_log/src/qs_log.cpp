// Library log: level filter and line formatting.
#include "lib/qs_common_api/platform/qs_log/src/qs_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Level and callback change together: a line must never be filtered by one
// host's level and delivered to another host's callback.
std::mutex g_cfg_lock;
st_qs_lib_log g_cfg{QS_OL_LOG_NONE, nullptr};

const char *short_name(const char *path) {
    if (path == nullptr) return "";
    const char *s = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/' || *p == '\\') s = p + 1;
    }
    return s;
}

}  // namespace

void QS_OL_Liblog_Level_Set(QS_OL_LOG_LEVEL level, QS_OL_LOG_CB callback) {
    std::lock_guard<std::mutex> hold(g_cfg_lock);
    g_cfg.level = level;
    g_cfg.callback = callback;
}

st_qs_lib_log qs_ol_log_config(void) {
    std::lock_guard<std::mutex> hold(g_cfg_lock);
    return g_cfg;
}

void qs_ol_log(QS_OL_LOG_LEVEL level, const char *file, const char *func, int line, const char *fmt, ...) {
    const st_qs_lib_log cfg = qs_ol_log_config();
    const unsigned want = static_cast<unsigned>(level);
    // A message without any level bit would pass every filter; it has no
    // place in the log.
    if (cfg.callback == nullptr || want == 0) return;
    if ((want & static_cast<unsigned>(cfg.level)) != want) return;

    char text[QS_OL_LOG_LINE_MAX];
    int n = snprintf(text, sizeof text, "[%s]%s|%03d::", short_name(file), func ? func : "", line);
    if (n < 0) return;
    // Room is kept for the line feed, so a cut line still ends like a line.
    const size_t body_max = sizeof text - 1;
    size_t used = static_cast<size_t>(n) < body_max ? static_cast<size_t>(n) : body_max - 1;
    if (fmt != nullptr && used < body_max) {
        va_list ap;
        va_start(ap, fmt);
        const int m = vsnprintf(text + used, body_max - used, fmt, ap);
        va_end(ap);
        if (m > 0) used += static_cast<size_t>(m) < body_max - used ? static_cast<size_t>(m) : body_max - used - 1;
    }
    text[used] = '\n';
    text[used + 1] = '\0';
    cfg.callback(level, text);
}
