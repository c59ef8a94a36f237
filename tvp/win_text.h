// SPDX-License-Identifier: MIT
// Text across the Windows boundary: the library speaks UTF-8, Windows
// UTF-16, and error codes become messages a log line can carry.
#pragma once

#include <optional>
#include <string>

namespace tvp::win {

// A path or name from a caller: UTF-8, or the ANSI code page for bytes
// that are not UTF-8 (what a program built on the "A" calls passes).
// nullopt for text neither can read.
std::optional<std::wstring> Wide(const char *text);

// UTF-16 from Windows as UTF-8; empty for null or empty text.
std::string Utf8(const wchar_t *text);

// The system's message for a Win32 or Winsock error code, in UTF-8,
// with the code itself: "The system cannot find the file specified. (2)".
std::string SystemMessage(unsigned long code);

} // namespace tvp::win
