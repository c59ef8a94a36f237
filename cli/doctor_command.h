// SPDX-License-Identifier: MIT
// netscry-cli doctor: one discovery cycle, then why devices may not be
// found, from what the library sent, received and dropped and what the
// system tells.
#pragma once

#include "library.h"

#include "doctor.h"

#include <ostream>

namespace cli {

struct DoctorOptions
{
    bool json = false;
    bool verbose = false;
};

// Runs the cycle, gathers the facts, prints the findings first; the exit
// code: 0 when a device answered and nothing blocks answers, else 1.
int RunDoctor(const DoctorOptions &options, std::ostream &out);

// The library's view of each interface (TVPGetDiagnostics) merged into the
// system's: counters and whether it is used, and why not. Interfaces only
// the library names (one TVP_INTERFACES names that does not exist) are
// added.
void MergeLibraryReports(std::vector<site::DoctorInterface> &interfaces);

// The facts as JSON and as text, findings first.
void PrintDoctor(std::ostream &out, const site::DoctorFacts &facts, const site::DoctorReport &report, bool json);

} // namespace cli
