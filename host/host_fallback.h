#pragma once
// Going back to the previous library when a new one is bad.  The host keeps
// the name of the last library that ran through its trial in
// /iot/conf/libiot.good.  A library named by libiot.ini that differs from it
// is on trial: when it cannot be loaded, or ends more than kHostTrialEnds
// times within its first window (5 minutes), the host writes the good name
// back into libiot.ini and starts that one.  Pure decisions here; the host
// does the waiting and the logging.
#include <cstdint>
#include <string>

inline constexpr int kHostTrialEnds = 3;
inline constexpr int64_t kHostTrialWindowMs = 5 * 60 * 1000;
// A library on trial must mark itself healthy (reach its broker) within this
// long of its first start, or it is replaced as a crash loop is.  0 turns the
// requirement off: the trial window alone decides, as it did before.
inline constexpr int64_t kHostHealthWindowMs = 10 * 60 * 1000;
// The child's exit status when the library could not be loaded.
inline constexpr int kHostLoadFailed = 127;

struct HostTrial {
    std::string good;         // last library known to run ("" until known)
    std::string trial;        // library on trial ("" when none)
    std::string last;         // library of the last start ("" before the first)
    int64_t start_ms = 0;     // first start of the trial library
    int ends = 0;             // times it ended within the window
};

enum class HostVerdict {
    kRestart,   // start libiot.ini's library again
    kFallBack,  // write `good` into libiot.ini and start it
};

// Where a library image pushed over a vehicle link lands (the agent writes it).
inline constexpr const char *kHostPushedLib = "/iot/conf/libTelAgent_w.so";

// Takes a pushed library into use, before a start: moves <root>/iot/conf/
// libTelAgent_w.so over the library slot not named by libiot.ini
// (libTelAgentEx.so, or libTelAgent.so when Ex is the current one) in one
// rename, then names that slot in libiot.ini.  The current library stays where
// it is; the next start sees the switch and puts the new one on trial, as
// after a cloud self-update.  1 installed (*installed the slot), 0 nothing
// pushed, -1 failed (errno; the pushed file is left for the next start).
// With the operator's key provisioned (/iot/conf/ota_pubkey.pem) the pushed
// image must end in its 64-byte Ed25519 signature over the bytes before it:
// it is installed without those bytes, or removed with -1 and *why set.
int host_install_pushed_lib(const std::string &root, std::string *installed, std::string *why = nullptr);

// Reads /iot/conf/libiot.good under `root` ("" when missing or unusable).
std::string host_read_good_lib(const std::string &root);
// Replaces <root><device_path> with `lib` and a newline in one step.  0 / -1.
int host_write_lib_file(const std::string &root, const char *device_path, const std::string &lib);

// Before each start.  Records the library as good when nothing is known yet.
// When libiot.ini names another library than the last start (a self-update),
// the one that ran last becomes the one to go back to and the new one goes on
// trial; so does a library that differs from the good one after a host restart.  True when `logical` is
// on trial now (and `*persist_good` true when the good name must be written).
bool host_trial_begin(HostTrial *t, const std::string &logical, int64_t now_ms, bool *persist_good);
// The trial library has run for the whole window: it becomes the good one.
// True when it did (write it to libiot.good).
bool host_trial_passed(HostTrial *t, int64_t now_ms, int64_t window_ms);
// After the child ended with `exit_code` (exit status, 128+signal).  On
// kFallBack, *why says what went wrong and the trial is closed.  With a
// health window, outliving the trial window keeps nothing: only the marker
// does (host_trial_healthy), and an end after the health window goes back.
HostVerdict host_trial_end(HostTrial *t, int exit_code, int64_t now_ms, int64_t window_ms, std::string *why,
                           int64_t health_window_ms = 0);

// The health marker (TELAGENT_HEALTH_FILE) under `root`: the library it names
// ("" when missing or unusable), and its removal before a trial start, so that
// only the library being tried can mark itself.
std::string host_read_health(const std::string &root);
void host_clear_health(const std::string &root);
// The marker names the library on trial: it becomes the good one.  True when
// it did (write it to libiot.good).
bool host_trial_healthy(HostTrial *t, const std::string &marker);
// The library on trial has not marked itself within the health window of its
// first start.  On true, *why says so and the trial is closed as on kFallBack.
bool host_trial_unhealthy(HostTrial *t, int64_t now_ms, int64_t health_window_ms, std::string *why);
