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

// The facts as JSON and as text, findings first.
void PrintDoctor(std::ostream &out, const site::DoctorFacts &facts, const site::DoctorReport &report, bool json);

} // namespace cli
