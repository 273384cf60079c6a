// SPDX-License-Identifier: MIT
// dectsim's event loop.
#pragma once
#include "sim/simcore.h"

// Serves clients on 127.0.0.1 until --once, --idle-exit or a signal ends
// the run; then prints the summary and writes the result files.
// Returns 0, or 1 when the port cannot be bound.
int sim_run(const SimOptions &opt);
