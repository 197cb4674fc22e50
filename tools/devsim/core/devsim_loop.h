#pragma once
// The serving part of devsim: pseudo-terminals for every port, the peers on
// them, one poll loop until SIGINT/SIGTERM.
#include <string>
#include <vector>

#include "core/scenario.h"

// Serves the ports of a prepared device root.  SIGINT and SIGTERM must already
// be blocked by the caller (so none is lost during start-up).  Returns the
// process exit status: 0 after a clean stop, 1 when the ports could not be set up.
int devsim_run(const std::string &root, const Scenario &sc);

// Scenario sections and keys that no module took, one message each, in file order.
// `known(section, key)` answers 1 when some module used the key.
std::vector<std::string> devsim_unused_keys(const Scenario &sc, int (*known)(void *, const ScenarioEntry &),
                                            void *ctx);
