// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

#include "devsim_process.h"

// What the benchmarks of the program's windows share: they run offscreen
// against tvp-devsim on loopback, inside a private network namespace.

// Finds the simulator beside the benchmark and picks the offscreen
// platform, unless the environment says otherwise.
void SetGuiBenchEnvironment(const char *argv0);

// Starts `sim` and points the library of this process at it; false, having
// said so on standard error, when it does not start.
bool StartSimulator(testsupport::DevSim &sim);

// Runs `work` from the event loop and turns the loop until `done` holds
// (or the deadline passes); returns the longest gap between two beats of
// a 1 ms timer meanwhile: how long the loop was away at most.
double LongestGap(const std::function<void()> &work, const std::function<bool()> &done, int deadlineMs);
