// SPDX-License-Identifier: MIT
// One discovery cycle's diagnosis as netscry-cli doctor and the program's
// Network Diagnosis window both make it: the library's counters cleared
// before the cycle and read after it, the answers captured as they arrive,
// the system's readings, and the text the findings are shown in. The host
// runs the cycle its own way (the command line pumps the library, the
// program its event loop) and hands in the devices it found.
#pragma once

#include "doctor.h"
#include "readings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// The device port the library uses: TVP_PORT when it holds a port, else
// TVP_DEFAULT_PORT.
uint16_t DevicePort();

// The library's view of each interface (TVPGetDiagnostics) merged into the
// system's: counters and whether it is used, and why not. Interfaces only
// the library names (one TVP_INTERFACES names that does not exist) are
// added.
void MergeLibraryReports(std::vector<site::DoctorInterface> &interfaces);

// The findings first, most likely cause first; then the interfaces and the
// devices, one line each.
std::string DoctorText(const site::DoctorFacts &facts, const site::DoctorReport &report);

class DiagnosisRun
{
public:
    // Before the cycle: clears the library's counters so that they count
    // this cycle alone, opens the capture on the interfaces in use, notes
    // the reverse-path filter's drops. False when the library is not
    // running (then the cycle finds nothing).
    bool Begin();
    // The interfaces the library uses, as Begin found them.
    const std::vector<std::string> &Used() const { return used_; }
    // During the cycle: reads what the capture holds, without waiting.
    void Poll();
    // After the cycle: the facts, with the devices found (in name order; a
    // device that shares its address is not reachable). Reads the system
    // and may run the firewall tool for a few seconds: a window calls it
    // away from its event loop's thread.
    site::DoctorFacts Finish(const std::vector<site::DoctorDevice> &devices, bool libraryStarted);

private:
    std::vector<std::string> used_;
    sys::AnswerTap tap_;
    bool tapping_ = false;
    std::optional<uint64_t> dropsBefore_;
};

} // namespace cli
