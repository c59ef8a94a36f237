// SPDX-License-Identifier: MIT
// What the simulator asks of the process, one file per system: a stop on
// Ctrl-C or a termination request, and where the program file lies.
#pragma once

#include "sockets.h"

#include <string>

namespace devsim {

// On an interrupt or termination request *stop turns true and the waker is
// set. Also makes a write to a closed pipe an error, not a death.
void StopOnSignals(volatile bool *stop, sock::Waker *waker);

// The folder of the running program, ending in a separator; "" if unknown.
std::string ProgramDirectory();

} // namespace devsim
