#pragma once
// Scenario files: what the simulated box and its peers do in one run.
//
//   # comment (only at the start of a line, so values may hold '#')
//   [box]
//   calibration_hold = 1
//   disk_free = 1048576
//   refuse = reboot          (may repeat)
//   [ttyHSL1]
//   key = value              (handed to that port's peer)
//
// A bad line is reported and skipped; nothing in a scenario is fatal.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct ScenarioEntry {
    std::string section;
    std::string key;
    std::string value;
    int line = 0;
};

struct Scenario {
    std::vector<ScenarioEntry> entries;
    std::vector<std::string> problems;  // one readable message each
};

// Largest scenario file taken; a bigger one is refused as a mistake.
inline constexpr size_t kScenarioMaxBytes = 1 << 20;

// Parses INI text into *out (appending).  Never fails; see out->problems.
void scenario_parse(std::string_view text, Scenario *out);

// Reads and parses a file.  0 on success, -1 when unreadable or too big (the
// reason is added to out->problems).
int scenario_load(const std::string &path, Scenario *out);

// Applies the [box] keys to the device root: media/ram/iotdebug.ini,
// var/sim/disk_free, var/actions.refuse.  Bad values and unknown keys are
// added to *problems and skipped.  0 when every file write succeeded, -1 if not.
int scenario_apply_box(const Scenario &sc, const std::string &root, std::vector<std::string> *problems);
