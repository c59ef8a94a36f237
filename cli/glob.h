// SPDX-License-Identifier: MIT
// Name patterns of --name, the same on every system.
#pragma once

#include <string_view>

namespace cli {

// Shell wildcard match of a whole text: * any run, ? one character, [...]
// one character of a set ([!...] or [^...] outside it, ranges a-z, classes
// [:digit:]), \ takes the next character literally. Characters are UTF-8
// code points, so ? matches "ü" whole; a byte that is not valid UTF-8 is a
// character of its own. An unclosed [ is an ordinary character.
bool GlobMatch(std::string_view pattern, std::string_view text);

} // namespace cli
