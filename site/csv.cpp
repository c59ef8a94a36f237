// SPDX-License-Identifier: MIT
#include "csv.h"

namespace site {

namespace {

std::string Trimmed(const std::string &text)
{
    const size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos)
        return {};
    return text.substr(b, text.find_last_not_of(" \t") - b + 1);
}

bool Blank(const CsvRecord &r)
{
    return r.fields.size() == 1 && r.fields[0].empty();
}

// Reads one record from `pos`; false with *error when it is malformed.
bool ReadRecord(std::string_view text, size_t &pos, int &line, CsvRecord *record, std::string *error)
{
    record->line = line;
    std::string field;
    bool quoted = false; // the field began with a quote
    for (;;) {
        if (pos >= text.size() || text[pos] == '\n' || text[pos] == '\r' || text[pos] == ',') {
            record->fields.push_back(quoted ? field : Trimmed(field));
            field.clear();
            quoted = false;
            if (pos >= text.size())
                return true;
            const char c = text[pos++];
            if (c == ',')
                continue;
            if (c == '\r' && pos < text.size() && text[pos] == '\n')
                ++pos;
            ++line;
            return true;
        }
        if (text[pos] == '"' && Trimmed(field).empty() && !quoted) {
            quoted = true;
            field.clear();
            const int opened = line;
            for (++pos;; ++pos) {
                if (pos >= text.size()) {
                    *error = "line " + std::to_string(opened) + ": a quote opened here is never closed";
                    return false;
                }
                if (text[pos] == '"') {
                    if (pos + 1 < text.size() && text[pos + 1] == '"') {
                        field += '"';
                        ++pos;
                        continue;
                    }
                    ++pos;
                    break;
                }
                if (text[pos] == '\n')
                    ++line;
                field += text[pos];
            }
            while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t'))
                ++pos;
            if (pos < text.size() && text[pos] != ',' && text[pos] != '\n' && text[pos] != '\r') {
                *error = "line " + std::to_string(line) +
                         ": text after a closing quote; a quote inside a quoted field is written twice (\"\")";
                return false;
            }
            continue;
        }
        field += text[pos++];
    }
}

} // namespace

bool ReadCsv(std::string_view text, std::vector<CsvRecord> *records, std::string *error)
{
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::vector<CsvRecord> out;
    size_t pos = 0;
    int line = 1;
    while (pos < text.size()) {
        CsvRecord r;
        if (!ReadRecord(text, pos, line, &r, error))
            return false;
        if (!Blank(r))
            out.push_back(std::move(r));
    }
    *records = std::move(out);
    return true;
}

std::string CsvField(const std::string &text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string q = "\"";
    for (char c : text) {
        if (c == '"')
            q += '"';
        q += c;
    }
    return q + "\"";
}

std::string CsvLine(const std::vector<std::string> &fields)
{
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i)
        line += (i ? "," : "") + CsvField(fields[i]);
    return line + "\n";
}

} // namespace site
