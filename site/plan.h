// SPDX-License-Identifier: MIT
// Address plans: one device a line, a static address or DHCP, read from
// CSV (RFC 4180, a header line) or JSON with the same keys, with errors that
// name the line; plans and per-line results written back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace site {

// IP settings as a device takes them.
struct Settings
{
    bool dhcp = false;
    uint32_t ip = 0, mask = 0;
    uint32_t gateway = 0; // 0: none
    bool operator==(const Settings &) const = default;
};
// "10.1.0.20/24 gateway 10.1.0.1", "10.1.0.20/24", "DHCP"; a mask that is
// no prefix is written out ("10.1.0.20 mask 255.0.255.0").
std::string SettingsText(const Settings &settings);

struct PlanLine
{
    int line = 0;     // where it starts in the file, from 1
    std::string id;   // canonical, "00:1A:2B:3C:4D:5E"
    Settings planned; // the syntax is checked; the rules are plan_check's
    std::string name; // an optional note for people; nothing depends on it
};

enum class Format { Csv, Json };

struct ParsedPlan
{
    Format format = Format::Csv;
    std::vector<PlanLine> lines;
    std::vector<std::string> errors; // "line 4: ... ; what to do", in file order
};

// A plan in either form: JSON when it starts with '[' (after blanks and a
// byte order mark), else CSV. Lines with errors are left out of `lines`.
ParsedPlan ParsePlan(std::string_view text);

// The canonical ID text, empty for a text that is no MAC address.
std::string CanonicalId(std::string_view text);

// A plan as ParsePlan reads it back: CSV "id,ip,mask,gateway" ("id,dhcp"
// when every line is DHCP, both when mixed; "name" last when any line has
// one), or a JSON array of objects with those keys.
std::string WritePlan(const std::vector<PlanLine> &lines, Format format);

// One line's outcome, as `plan check` and `plan apply` report it.
struct LineResult
{
    int line = 0;
    std::string id, planned, outcome, message;
};
// Columns line, id, planned, outcome, message; CSV with a header, or a
// JSON array (invalid UTF-8 from device names becomes U+FFFD).
std::string WriteResults(const std::vector<LineResult> &results, Format format);

} // namespace site
