#pragma once
// The box's inertial sensor as its kernel driver shows it: two input devices
// under <root>/sys/devices/virtual/input/inputN/ with the driver's text nodes
// (name, enable / gyro_enable, acc_value / gyro_value, ranges, data rates,
// any-motion settings, temperature), the codec power node, and the GPIO and
// LED nodes the agent drives at start-up.  A thread writes new readings every
// period from a motion script; each value file is replaced in one step, so
// the agent never reads half a line.  The sensor only produces while the
// agent has it enabled, as the real chip does.
//
// Scenario section [imu] and control commands ("imu <key> <value>"):
//   family = icm42607|mi220   driver family: names "<family>_accel" / "<family>_gyro"
//   accel_input = N, gyro_input = N   device numbers 0..3 (default 1 and 2);
//                             input0 is taken by an unrelated device (a touch panel)
//   accel_name = TEXT, gyro_name = TEXT   names as given ("" for a device without one)
//   missing = none|accel|gyro|both   devices that do not exist at all
//   acc_range = 0..3, gyro_range = 0..4   initial ranges (the agent may write others)
//   pitch = DEG, roll = DEG   attitude (still)
//   ramp = DEG/S              pitch changes steadily (stops at +-89 degrees)
//   tilt = DEG[,DEG/S]        moves to an angle (default 90 deg/s, a fall) and stays
//   square = AMP,PERIOD_MS    pitch jumps between the base angle and base + AMP
//   raw = X,Y,Z               accelerometer counts written as they are
//   still                     hold the current attitude (control only)
//   noise = DEG               uniform noise on the pitch written, seeded (seed = N)
//   spike = N                 every Nth reading is "0 0 0" (a chip that reset)
//   text = TEXT               the next accelerometer reading is this text verbatim
//   frozen = 0|1              the driver stops updating the value files
//   period_ms = N             time between readings (default 100)
//   temperature = 0xHHHH      temperature node
// Control only: "imu remove" takes both devices away (as a driver unload),
// "imu restore" brings them back, "imu pitch <deg>", "imu ramp <deg/s>",
// "imu raw <x> <y> <z>" as above with blanks.
//
// What happened goes to <root>/var/devsim/imu.log, one line each:
//   <unix ms> W input1/enable 1     the agent wrote a node
//   <unix ms> C ramp 5              a command or scenario key took effect
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/control.h"

// The motion the sensor goes through.
struct ImuMotion {
    enum Kind { still, ramp, tilt, square, raw };
    Kind kind = still;
    double pitch = 0;   // degrees, what the sensor shows now (before noise)
    double roll = 0;
    double rate = 0;    // degrees per second: ramp speed, tilt speed
    double target = 0;  // tilt: where it stops
    double base = 0;    // square: the lower angle
    double amp = 0;     // square: the step
    int period_ms = 0;  // square: full period
    int64_t t_ms = 0;   // square: time into the period
    int counts[3] = {0, 0, 0};  // raw: accelerometer counts as written
};

// Moves the motion on by dt_ms; returns the pitch rate over that time (deg/s).
double imu_motion_advance(ImuMotion *m, int dt_ms);

// Accelerometer counts for an attitude: x/z is tan(pitch), -y/z tan(roll),
// one g at the given range (16384 counts per g at 0, halving per step);
// clamped to the chip's 16 bits.
void imu_accel_counts(double pitch_deg, double roll_deg, int range, int out[3]);
// Gyroscope counts for rates in degrees per second (16.384 per deg/s at range
// 0, doubling per step), clamped to 16 bits.
void imu_gyro_counts(double rate_x, double rate_y, double rate_z, int range, int out[3]);

struct ImuSettings {
    std::string family = "icm42607";
    int accel_input = 1;
    int gyro_input = 2;
    bool accel_name_set = false, gyro_name_set = false;
    std::string accel_name, gyro_name;
    bool accel_missing = false, gyro_missing = false;
    int acc_range = 0, gyro_range = 0;
    double noise = 0;
    uint32_t seed = 1;
    int spike = 0;
    bool frozen = false;
    int period_ms = 100;
    std::string temperature = "0x200";
    std::string text;  // one-shot accelerometer text
    ImuMotion motion;
};

// Applies one key to *s: 1 taken, 0 unknown key or bad value (nothing changed).
int imu_apply_setting(ImuSettings *s, const std::string &key, const std::string &value);

class ImuPeer {
public:
    ImuPeer() = default;
    ~ImuPeer();
    ImuPeer(const ImuPeer &) = delete;
    ImuPeer &operator=(const ImuPeer &) = delete;

    // A [imu] scenario key: 1 taken, 0 unknown or bad.
    int configure(const std::string &key, const std::string &value);
    // Creates the device nodes, registers the "imu" control commands and
    // starts the thread.  0 / -1 (reason on stderr).
    int start(const std::string &root);
    void stop();
    // One control command: 0 done, -1 refused with the reason in *why.
    int command(const std::string &cmd, const std::string &args, std::string *why);

private:
    void run();
    int create_devices_locked();
    void remove_devices_locked();
    void write_readings_locked(int dt_ms, int64_t now_ms);
    void watch_locked();
    void drain_writes();
    void log(const std::string &line);
    std::string dev_dir(int n) const;

    std::string root_;
    std::mutex mu_;  // settings and device state: commands come from devsim's loop thread
    ImuSettings set_;
    bool present_ = false;
    uint64_t readings_ = 0;
    // Texts last written to the reading nodes (write_value).
    std::string last_acc_, last_gyro_;
    void write_value(const std::string &path, const std::string &text, std::string *last);
    uint32_t rng_ = 1;
    int inotify_fd_ = -1;
    int watch_[2] = {-1, -1};  // accelerometer, gyroscope directory
    int log_fd_ = -1;
    int event_fd_ = -1;
    // Shared count of node writes (var/devsim/nodes.gen): the agent's kept
    // nodes compare it instead of asking the file system on every read.
    std::atomic<uint32_t> *node_gen_ = nullptr;
    void bump_nodes();
    std::atomic<bool> stopping_{false};
    std::thread thread_;
    std::unique_ptr<ControlRegistration> control_;
};
