// SPDX-License-Identifier: MIT
// What the command line needs from the operating system, one file per
// system: system_posix.cpp, system_win.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cli::sys {

// The program's arguments in UTF-8. Windows hands main() the ANSI code
// page's text, which cannot hold every interface name or file name.
std::vector<std::string> Utf8Arguments(int argc, char **argv);

// Readies standard output for the program's UTF-8 text. On Windows the
// console's code page becomes UTF-8 until exit, and standard output and
// error are binary, so what a script reads is the same bytes on every
// system (lines end in \n).
void PrepareOutput();

// Whether standard error is a terminal that understands the cursor
// sequences of the progress bars.
bool ProgressTerminal();

// Sets a variable of this process's environment, as the library reads it.
bool SetEnvironment(const std::string &name, const std::string &value);

enum class FileState { Readable, Missing, NotReadable };
// Whether a path (UTF-8) names a regular file this process can read.
FileState CheckFile(const std::string &path);

// Waits until the library's event handle is readable or `ms` have passed.
// False when the wait itself failed (then nothing was waited for).
bool WaitReadable(int handle, int ms);

// From now on Ctrl+C (SIGINT and SIGTERM; on Windows the console's Ctrl+C,
// Ctrl+Break and close events) only sets a flag that Interrupted() reads,
// so a command that runs until interrupted ends cleanly. A wait in
// WaitReadable ends at once on a signal, within its time on Windows.
void CatchInterrupt();
bool Interrupted();

// A whole file (UTF-8 path) as text; nullopt with *error saying why.
std::optional<std::string> ReadTextFile(const std::string &path, std::string *error);
// Writes a file whole or not at all: a new file beside it, then renamed
// over it; false with *error saying why.
bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error);

// One local interface: its name as the library names it, and its IPv4
// addresses with their masks (host byte order).
struct LocalInterface
{
    std::string name;
    std::vector<std::pair<uint32_t, uint32_t>> subnets;
    bool up = true;
};
// Every interface the system knows, up or down; empty when the system's
// list cannot be read.
std::optional<std::vector<LocalInterface>> LocalInterfaces();

// The card address and its mask that an Interface text of the library
// names ("eth0 (10.1.0.1)"); nullopt when no card of `local` has it.
std::optional<std::pair<uint32_t, uint32_t>> CardOf(const std::string &interfaceText,
                                                    const std::vector<LocalInterface> &local);

} // namespace cli::sys
