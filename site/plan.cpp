// SPDX-License-Identifier: MIT
#include "plan.h"

#include "address.h"
#include "csv.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <nlohmann/json.hpp>

namespace site {

namespace wire = tvp::wire;

namespace {

// More errors than this are counted, not listed: a wrong file gives one per line.
constexpr size_t kErrorsListed = 20;
const std::vector<std::string> kKeys = {"id", "ip", "mask", "gateway", "dhcp", "name"};
const char *const kKeysText = "id, ip, mask, gateway, dhcp and name";

// One line as the file gave it: the keys present with their texts.
struct RawLine
{
    int line = 0;
    std::map<std::string, std::string> values;
    std::string Get(const std::string &key) const
    {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    }
};

std::string Lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

class Errors
{
public:
    explicit Errors(std::vector<std::string> *out)
        : out_(out)
    {}
    void Add(int line, const std::string &what)
    {
        if (out_->size() < kErrorsListed)
            out_->push_back((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + what);
        else
            ++more_;
    }
    ~Errors()
    {
        if (more_)
            out_->push_back("and " + std::to_string(more_) + " more errors");
    }

private:
    std::vector<std::string> *out_;
    size_t more_ = 0;
};

// An address field: empty stays 0 when allowed.
bool Address(const RawLine &raw, const std::string &key, uint32_t *out, Errors &errors)
{
    const std::string text = raw.Get(key);
    if (text.empty())
        return true;
    if (auto a = wire::ParseDottedQuad(text)) {
        *out = *a;
        return true;
    }
    errors.Add(raw.line, key + " \"" + text + "\" is not an IPv4 address; write four numbers from 0 to 255, such as " +
                             (key == "mask" ? "255.255.255.0" : "10.1.0.20"));
    return false;
}

bool Dhcp(const RawLine &raw, bool *dhcp, Errors &errors)
{
    const std::string text = Lower(raw.Get("dhcp"));
    if (text.empty() || text == "no") {
        *dhcp = false;
        return true;
    }
    if (text == "yes") {
        *dhcp = true;
        return true;
    }
    errors.Add(raw.line,
               "dhcp \"" + raw.Get("dhcp") + "\" is neither yes nor no; write yes for DHCP, or leave it blank");
    return false;
}

bool ToPlanLine(const RawLine &raw, PlanLine *line, Errors &errors)
{
    line->line = raw.line;
    line->name = raw.Get("name");
    line->id = CanonicalId(raw.Get("id"));
    bool ok = true;
    if (line->id.empty()) {
        errors.Add(raw.line,
                   raw.Get("id").empty()
                       ? "the id is missing; write the device's ID (its MAC address, such as 00:1A:2B:3C:4D:5E)"
                       : "\"" + raw.Get("id") +
                             "\" is not a device ID; write its MAC address, such as 00:1A:2B:3C:4D:5E");
        ok = false;
    }
    Settings &s = line->planned;
    ok = Dhcp(raw, &s.dhcp, errors) && ok;
    ok = Address(raw, "ip", &s.ip, errors) && ok;
    ok = Address(raw, "mask", &s.mask, errors) && ok;
    ok = Address(raw, "gateway", &s.gateway, errors) && ok;
    if (!ok)
        return false;
    const bool anyStatic = !raw.Get("ip").empty() || !raw.Get("mask").empty() || !raw.Get("gateway").empty();
    if (s.dhcp && anyStatic) {
        errors.Add(raw.line, "a DHCP line takes no ip, mask or gateway; leave them blank, or write dhcp as no");
        return false;
    }
    if (!s.dhcp && (raw.Get("ip").empty() || raw.Get("mask").empty())) {
        errors.Add(raw.line, std::string(raw.Get("ip").empty() ? "the ip" : "the mask") +
                                 " is missing; a static address needs ip and mask (or write dhcp as yes)");
        return false;
    }
    return true;
}

// The header's columns; empty with errors when it cannot serve.
std::vector<std::string> Header(const CsvRecord &header, Errors &errors)
{
    std::vector<std::string> columns;
    bool ok = true;
    for (const auto &f : header.fields) {
        std::string key = Lower(f);
        if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
            errors.Add(header.line, "unknown column \"" + f + "\"; the columns are " + kKeysText +
                                        " (the first line of a plan is its header)");
            ok = false;
        } else if (std::find(columns.begin(), columns.end(), key) != columns.end()) {
            errors.Add(header.line, "the column \"" + key + "\" is there twice; keep one");
            ok = false;
        }
        columns.push_back(key);
    }
    auto has = [&](const char *key) { return std::find(columns.begin(), columns.end(), key) != columns.end(); };
    if (ok && (!has("id") || (!has("dhcp") && !(has("ip") && has("mask"))) || has("ip") != has("mask"))) {
        errors.Add(header.line, "the header needs the columns id,ip,mask,gateway or id,dhcp");
        ok = false;
    }
    return ok ? columns : std::vector<std::string>{};
}

std::vector<RawLine> CsvLines(std::string_view text, Errors &errors)
{
    std::vector<CsvRecord> records;
    std::string error;
    if (!ReadCsv(text, &records, &error)) {
        errors.Add(0, error);
        return {};
    }
    if (records.empty()) {
        errors.Add(0, "the plan is empty; its first line is the header id,ip,mask,gateway (or id,dhcp)");
        return {};
    }
    const auto columns = Header(records.front(), errors);
    if (columns.empty())
        return {};
    std::vector<RawLine> raws;
    for (size_t i = 1; i < records.size(); ++i) {
        const CsvRecord &r = records[i];
        if (r.fields.size() != columns.size()) {
            errors.Add(r.line, std::to_string(r.fields.size()) + " fields, but the header has " +
                                   std::to_string(columns.size()) + "; a field holding a comma is quoted");
            continue;
        }
        RawLine raw{r.line, {}};
        for (size_t c = 0; c < columns.size(); ++c)
            raw.values[columns[c]] = r.fields[c];
        raws.push_back(std::move(raw));
    }
    return raws;
}

// The line on which each element of the top-level array starts.
std::vector<int> ElementLines(std::string_view text)
{
    std::vector<int> lines;
    int line = 1, depth = 0;
    bool inString = false, expectElement = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n')
            ++line;
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (depth == 1 && expectElement && c != ']') {
            lines.push_back(line);
            expectElement = false;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{')
            expectElement = ++depth == 1;
        else if (c == ']' || c == '}')
            --depth;
        else if (c == ',' && depth == 1)
            expectElement = true;
    }
    return lines;
}

// A JSON value as the text a CSV field would hold.
bool JsonText(const nlohmann::json &v, std::string *text)
{
    if (v.is_null())
        *text = "";
    else if (v.is_string())
        *text = v.get<std::string>();
    else if (v.is_boolean())
        *text = v.get<bool>() ? "yes" : "no";
    else
        return false;
    return true;
}

std::vector<RawLine> JsonLines(std::string_view text, Errors &errors)
{
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        const size_t end = std::min(text.size(), e.byte);
        const int line = 1 + int(std::count(text.begin(), text.begin() + std::ptrdiff_t(end), '\n'));
        const std::string what = e.what();
        const size_t detail = what.find("syntax error");
        errors.Add(line, "not valid JSON: " + (detail == std::string::npos ? what : what.substr(detail)));
        return {};
    }
    if (!root.is_array()) {
        errors.Add(0, "a JSON plan is an array of objects such as [{\"id\": \"00:1A:2B:3C:4D:5E\", "
                      "\"ip\": \"10.1.0.20\", \"mask\": \"255.255.255.0\", \"gateway\": \"10.1.0.1\"}]");
        return {};
    }
    const auto lines = ElementLines(text);
    std::vector<RawLine> raws;
    for (size_t i = 0; i < root.size(); ++i) {
        RawLine raw{i < lines.size() ? lines[i] : 0, {}};
        if (!root[i].is_object()) {
            errors.Add(raw.line, "not an object; each device is {\"id\": ..., \"ip\": ..., ...}");
            continue;
        }
        bool ok = true;
        for (const auto &[key, value] : root[i].items()) {
            std::string v;
            if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end()) {
                errors.Add(raw.line, "unknown key \"" + key + "\"; the keys are " + kKeysText);
                ok = false;
            } else if (!JsonText(value, &v)) {
                errors.Add(raw.line, "\"" + key + "\" must be a text" + (key == "dhcp" ? ", true or false" : ""));
                ok = false;
            }
            raw.values[key] = v;
        }
        if (ok)
            raws.push_back(std::move(raw));
    }
    return raws;
}

} // namespace

std::string CanonicalId(std::string_view text)
{
    wire::DeviceId id;
    return wire::ParseMac(std::string(text), &id) ? wire::FormatMac(id) : std::string();
}

std::string SettingsText(const Settings &s)
{
    if (s.dhcp)
        return "DHCP";
    const int prefix = wire::PrefixLength(s.mask);
    std::string text = wire::FormatDottedQuad(s.ip) +
                       (prefix > 0 ? "/" + std::to_string(prefix) : " mask " + wire::FormatDottedQuad(s.mask));
    if (s.gateway)
        text += " gateway " + wire::FormatDottedQuad(s.gateway);
    return text;
}

ParsedPlan ParsePlan(std::string_view text)
{
    ParsedPlan plan;
    std::string_view start = text;
    if (start.substr(0, 3) == "\xEF\xBB\xBF")
        start.remove_prefix(3);
    const size_t first = start.find_first_not_of(" \t\r\n");
    plan.format = first != std::string_view::npos && start[first] == '[' ? Format::Json : Format::Csv;
    {
        Errors errors(&plan.errors);
        const auto raws = plan.format == Format::Json ? JsonLines(start, errors) : CsvLines(text, errors);
        for (const auto &raw : raws) {
            PlanLine line;
            if (ToPlanLine(raw, &line, errors))
                plan.lines.push_back(std::move(line));
        }
        if (plan.errors.empty() && plan.lines.empty())
            errors.Add(0, "the plan lists no device; add a line for each device to re-address");
    }
    return plan;
}

namespace {

struct PlanColumns
{
    bool statics = false, dhcp = false, name = false;
};

PlanColumns ColumnsOf(const std::vector<PlanLine> &lines)
{
    PlanColumns c;
    for (const auto &l : lines) {
        c.dhcp = c.dhcp || l.planned.dhcp;
        c.statics = c.statics || !l.planned.dhcp;
        c.name = c.name || !l.name.empty();
    }
    if (!c.dhcp)
        c.statics = true;
    return c;
}

std::string Quad(uint32_t a)
{
    return a ? wire::FormatDottedQuad(a) : std::string();
}

} // namespace

std::string WritePlan(const std::vector<PlanLine> &lines, Format format)
{
    const PlanColumns c = ColumnsOf(lines);
    std::vector<std::string> header = {"id"};
    if (c.statics)
        header.insert(header.end(), {"ip", "mask", "gateway"});
    if (c.dhcp)
        header.push_back("dhcp");
    if (c.name)
        header.push_back("name");
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    std::string csv = CsvLine(header);
    for (const auto &l : lines) {
        const Settings &s = l.planned;
        std::map<std::string, std::string> v = {{"id", l.id},
                                                {"ip", s.dhcp ? "" : Quad(s.ip)},
                                                {"mask", s.dhcp ? "" : Quad(s.mask)},
                                                {"gateway", s.dhcp ? "" : Quad(s.gateway)},
                                                {"dhcp", s.dhcp ? "yes" : "no"},
                                                {"name", l.name}};
        std::vector<std::string> fields;
        nlohmann::ordered_json object = nlohmann::ordered_json::object();
        for (const auto &key : header) {
            fields.push_back(v[key]);
            // JSON leaves out what does not apply to the line
            if (!v[key].empty() && !(key == "dhcp" && !s.dhcp))
                object[key] = v[key];
        }
        csv += CsvLine(fields);
        array.push_back(object);
    }
    if (format == Format::Csv)
        return csv;
    return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string WriteResults(const std::vector<LineResult> &results, Format format)
{
    if (format == Format::Csv) {
        std::string csv = CsvLine({"line", "id", "planned", "outcome", "message"});
        for (const auto &r : results)
            csv += CsvLine({std::to_string(r.line), r.id, r.planned, r.outcome, r.message});
        return csv;
    }
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const auto &r : results)
        array.push_back(
            {{"line", r.line}, {"id", r.id}, {"planned", r.planned}, {"outcome", r.outcome}, {"message", r.message}});
    return array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace site
