// SPDX-License-Identifier: MIT
// Results as the commands print them: a table or "key: value" lines for
// people, JSON or CSV for scripts.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <variant>
#include <vector>

namespace cli {

enum class Format { Text, Json, Csv };

// A field's value; std::monostate is "none" (JSON null, empty in CSV). A
// list is a JSON array, its items separated by blanks in a table or CSV.
using Value = std::variant<std::monostate, std::string, bool, int64_t, std::vector<std::string>>;

struct Field
{
    std::string key;
    Value value;
};

// One result: fields in the order they are printed.
using Record = std::vector<Field>;

// A column of the text table: the record key and its heading.
struct Column
{
    std::string key;
    std::string heading;
};

// RFC 4180: a field holding a comma, a quote or a line break is quoted,
// its quotes doubled.
std::string CsvField(const std::string &text);

// How a value reads in a table or a CSV line: "yes"/"no" in a table,
// "true"/"false" in CSV; an empty list as none.
std::string ValueText(const Value &value, Format format);

// Records as a list: a table with the given columns (the heading alone when
// there are none), a JSON array, or CSV with a header of the keys of `columns`.
void PrintList(std::ostream &out, const std::vector<Record> &records, const std::vector<Column> &columns,
               Format format);

// One record: "key: value" lines, a JSON object, or CSV header and line.
void PrintOne(std::ostream &out, const Record &record, Format format);

// Texts from devices may hold any byte; JSON output stays valid UTF-8.
std::string ToJson(const std::vector<Record> &records);
std::string ToJson(const Record &record);

} // namespace cli
