// SPDX-License-Identifier: MIT
// RFC 4180 text: records read with the line each starts on, fields written
// quoted where they must be.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace site {

struct CsvRecord
{
    int line = 0; // the line the record starts on, from 1
    std::vector<std::string> fields;
};

// Records of a text: fields split at commas, quoted fields with doubled
// quotes and line breaks inside, lines ended by CRLF or LF; a UTF-8 byte
// order mark at the start and blank lines are skipped, blanks around an
// unquoted field dropped. False with *error ("line 4: ...") for a quote
// left open or text after a closing quote.
bool ReadCsv(std::string_view text, std::vector<CsvRecord> *records, std::string *error);

// A field as RFC 4180 writes it: quoted, quotes doubled, when it holds a
// comma, a quote or a line break.
std::string CsvField(const std::string &text);
std::string CsvLine(const std::vector<std::string> &fields); // ends in "\n"

} // namespace site
