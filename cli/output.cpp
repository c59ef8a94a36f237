// SPDX-License-Identifier: MIT
#include "output.h"

#include "csv.h"

#include <algorithm>
#include <nlohmann/json.hpp>

namespace cli {

namespace {

nlohmann::ordered_json JsonValue(const Value &v)
{
    if (const auto *s = std::get_if<std::string>(&v))
        return *s;
    if (const auto *b = std::get_if<bool>(&v))
        return *b;
    if (const auto *i = std::get_if<int64_t>(&v))
        return *i;
    if (const auto *l = std::get_if<std::vector<std::string>>(&v))
        return *l;
    return nullptr;
}

nlohmann::ordered_json JsonObject(const Record &r)
{
    nlohmann::ordered_json o = nlohmann::ordered_json::object();
    for (const auto &f : r)
        o[f.key] = JsonValue(f.value);
    return o;
}

std::string Dump(const nlohmann::ordered_json &j)
{
    // invalid UTF-8 in a device name becomes U+FFFD instead of an exception
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

const Value *Find(const Record &r, const std::string &key)
{
    for (const auto &f : r)
        if (f.key == key)
            return &f.value;
    return nullptr;
}

void CsvLine(std::ostream &out, const std::vector<std::string> &fields)
{
    for (size_t i = 0; i < fields.size(); ++i)
        out << (i ? "," : "") << CsvField(fields[i]);
    out << "\n";
}

} // namespace

std::string CsvField(const std::string &text)
{
    return site::CsvField(text);
}

std::string ValueText(const Value &v, Format format)
{
    if (const auto *s = std::get_if<std::string>(&v))
        return *s;
    if (const auto *b = std::get_if<bool>(&v))
        return format == Format::Text ? (*b ? "yes" : "no") : (*b ? "true" : "false");
    if (const auto *i = std::get_if<int64_t>(&v))
        return std::to_string(*i);
    if (const auto *l = std::get_if<std::vector<std::string>>(&v); l && !l->empty()) {
        std::string text;
        for (const auto &item : *l)
            text += (text.empty() ? "" : " ") + item;
        return text;
    }
    return format == Format::Text ? "-" : "";
}

std::string ToJson(const std::vector<Record> &records)
{
    nlohmann::ordered_json a = nlohmann::ordered_json::array();
    for (const auto &r : records)
        a.push_back(JsonObject(r));
    return Dump(a);
}

std::string ToJson(const Record &record)
{
    return Dump(JsonObject(record));
}

void PrintList(std::ostream &out, const std::vector<Record> &records, const std::vector<Column> &columns, Format format)
{
    if (format == Format::Json) {
        out << ToJson(records) << "\n";
        return;
    }
    auto cell = [&](const Record &r, const Column &c) {
        const Value *v = Find(r, c.key);
        return v ? ValueText(*v, format) : ValueText(Value{}, format);
    };
    if (format == Format::Csv) {
        std::vector<std::string> header;
        for (const auto &c : columns)
            header.push_back(c.key);
        CsvLine(out, header);
        for (const auto &r : records) {
            std::vector<std::string> line;
            for (const auto &c : columns)
                line.push_back(cell(r, c));
            CsvLine(out, line);
        }
        return;
    }
    std::vector<size_t> width;
    for (const auto &c : columns)
        width.push_back(c.heading.size());
    for (const auto &r : records)
        for (size_t i = 0; i < columns.size(); ++i)
            width[i] = std::max(width[i], cell(r, columns[i]).size());
    auto line = [&](const std::vector<std::string> &cells) {
        std::string text;
        for (size_t i = 0; i < cells.size(); ++i) {
            text += cells[i];
            if (i + 1 < cells.size())
                text += std::string(width[i] - cells[i].size() + 2, ' ');
        }
        out << text << "\n";
    };
    std::vector<std::string> header;
    for (const auto &c : columns)
        header.push_back(c.heading);
    line(header);
    for (const auto &r : records) {
        std::vector<std::string> cells;
        for (const auto &c : columns)
            cells.push_back(cell(r, c));
        line(cells);
    }
}

void PrintOne(std::ostream &out, const Record &record, Format format)
{
    if (format == Format::Json) {
        out << ToJson(record) << "\n";
        return;
    }
    if (format == Format::Csv) {
        std::vector<std::string> keys, values;
        for (const auto &f : record) {
            keys.push_back(f.key);
            values.push_back(ValueText(f.value, format));
        }
        CsvLine(out, keys);
        CsvLine(out, values);
        return;
    }
    for (const auto &f : record)
        out << f.key << ": " << ValueText(f.value, format) << "\n";
}

} // namespace cli
