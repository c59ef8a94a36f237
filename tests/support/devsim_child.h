// SPDX-License-Identifier: MIT
// A child process whose standard output the parent reads, on each system.
#pragma once

#include "devsim_process.h"

#include <cstddef>
#include <string>
#include <vector>

namespace testsupport {

class DevSim::Child
{
public:
    ~Child();
    // Starts args[0] (looked up on PATH where the system does) with args.
    bool Spawn(const std::vector<std::string> &args);
    // Blocks for output; 0 at its end or on an error.
    size_t Read(char *buffer, size_t capacity);
    // Asks the process to stop, forces it after 3 s, and reaps it.
    void Stop();

private:
#ifdef _WIN32
    void *process_ = nullptr;
    void *output_ = nullptr;
#else
    int pid_ = -1;
    int output_ = -1;
#endif
};

} // namespace testsupport
