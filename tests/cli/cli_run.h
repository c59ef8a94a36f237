// SPDX-License-Identifier: MIT
// Runs the netscry-cli program as a child process and parses what it
// printed.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace clitest {

struct Result
{
    int exitCode = -1; // -1: killed or did not start
    std::string out, err;
};

// Runs <bin>/netscry-cli with `args`; `env` is added to this process's
// environment (an empty value unsets the variable). Killed after
// timeoutMs. A `prefix` runs it through another program (setpriv ...).
Result RunCli(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
              int timeoutMs = 60000, const std::vector<std::string> &prefix = {});

// RFC 4180 records: quoted fields with doubled quotes, lines ended by
// LF or CRLF. Throws std::runtime_error for a malformed text.
std::vector<std::vector<std::string>> ParseCsv(const std::string &text);

std::vector<std::string> Lines(const std::string &text);

} // namespace clitest
