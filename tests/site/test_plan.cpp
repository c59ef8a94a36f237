// SPDX-License-Identifier: MIT
// Plans read from CSV and JSON, their errors, and plans and results written.
#include "plan.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace site;

namespace {

uint32_t Q(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

const std::vector<PlanLine> kExpected = {
    {2, "00:1A:2B:3C:4D:01", {false, Q(10, 1, 0, 20), Q(255, 255, 255, 0), Q(10, 1, 0, 1)}, "Boiler, \"North\""},
    {4, "00:1A:2B:3C:4D:02", {false, Q(10, 1, 0, 21), Q(255, 255, 0, 0), 0}, ""},
    {5, "00:1A:2B:3C:4D:03", {true, 0, 0, 0}, "Door\nWest"},
};

void ExpectLines(const ParsedPlan &plan, const std::vector<int> &lines)
{
    ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
    ASSERT_EQ(plan.lines.size(), kExpected.size());
    for (size_t i = 0; i < kExpected.size(); ++i) {
        EXPECT_EQ(plan.lines[i].line, lines[i]) << i;
        EXPECT_EQ(plan.lines[i].id, kExpected[i].id) << i;
        EXPECT_EQ(plan.lines[i].planned, kExpected[i].planned) << i;
        EXPECT_EQ(plan.lines[i].name, kExpected[i].name) << i;
    }
}

TEST(Plan, CsvAndJsonFormsReadAlike)
{
    // a spreadsheet's CSV: byte order mark, CRLF, upper-case keys in any
    // order, quoted fields, a blank line, IDs written as people write them
    const std::string csv = "\xEF\xBB\xBF"
                            "Id,IP,Mask,Gateway,DHCP,Name\r\n"
                            "00:1a:2b:3c:4d:01, 10.1.0.20 ,255.255.255.0,10.1.0.1,no,\"Boiler, \"\"North\"\"\"\r\n"
                            "\r\n"
                            "00-1A-2B-3C-4D-02,10.1.0.21,255.255.0.0,,,\r\n"
                            "001a.2b3c.4d03,,,,YES,\"Door\nWest\"\r\n";
    const ParsedPlan fromCsv = ParsePlan(csv);
    EXPECT_EQ(fromCsv.format, Format::Csv);
    ExpectLines(fromCsv, {2, 4, 5});

    const std::string json = R"([
  {"id": "00:1A:2B:3C:4D:01", "ip": "10.1.0.20", "mask": "255.255.255.0", "gateway": "10.1.0.1",
   "name": "Boiler, \"North\""},
  {"id": "001A2B3C4D02", "ip": "10.1.0.21", "mask": "255.255.0.0", "gateway": null},
  {"id": "00:1A:2B:3C:4D:03", "dhcp": true, "name": "Door\nWest"}
])";
    const ParsedPlan fromJson = ParsePlan(json);
    EXPECT_EQ(fromJson.format, Format::Json);
    ExpectLines(fromJson, {2, 4, 5});
}

TEST(Plan, WrittenPlansReadBack)
{
    for (Format format : {Format::Csv, Format::Json}) {
        const std::string text = WritePlan(kExpected, format);
        const ParsedPlan back = ParsePlan(text);
        EXPECT_EQ(back.format, format) << text;
        ExpectLines(back, format == Format::Csv ? std::vector<int>{2, 3, 4} : std::vector<int>{2, 9, 14});
    }
    EXPECT_EQ(WritePlan({kExpected[1]}, Format::Csv), "id,ip,mask,gateway\n00:1A:2B:3C:4D:02,10.1.0.21,255.255.0.0,\n");
    EXPECT_EQ(WritePlan({kExpected[2]}, Format::Csv).substr(0, 13), "id,dhcp,name\n");
}

TEST(Plan, ErrorsNameTheLineAndWhatToDo)
{
    const std::string header = "id,ip,mask,gateway\n";
    const std::string good = "00:1A:2B:3C:4D:01,10.1.0.20,255.255.255.0,10.1.0.1\n";
    struct Case
    {
        std::string text;
        std::vector<const char *> errors; // each, in order, contains this
    } cases[] = {
        {"", {"the plan is empty; its first line is the header"}},
        {header, {"lists no device"}},
        {"id,ip,mask,gatway\n" + good, {"line 1: unknown column \"gatway\"; the columns are id, ip"}},
        {"id,ip,gateway\n", {"line 1: the header needs the columns id,ip,mask,gateway or id,dhcp"}},
        {"ip,mask\n", {"line 1: the header needs"}},
        {"id,ip,ip,mask\n", {"line 1: the column \"ip\" is there twice"}},
        {header + good + "00:1A:2B:3C:4D:02,10.1.0.21,255.255.255.0\n", {"line 3: 3 fields, but the header has 4"}},
        {header + "00:1A:2B:3C:4D,10.1.0.20,255.255.255.0,\n",
         {"line 2: \"00:1A:2B:3C:4D\" is not a device ID; write its MAC address"}},
        {header + ",10.1.0.20,255.255.255.0,\n", {"line 2: the id is missing"}},
        {header + good + "00:1A:2B:3C:4D:02,10.1.0.300,255.255.255.0,10.1.0.1\n",
         {"line 3: ip \"10.1.0.300\" is not an IPv4 address; write four numbers from 0 to 255"}},
        {header + "00:1A:2B:3C:4D:02,10.1.0.21,,10.1.0.1\n", {"line 2: the mask is missing"}},
        {"id,ip,mask,dhcp\n00:1A:2B:3C:4D:02,10.1.0.21,255.255.255.0,yes\n", {"line 2: a DHCP line takes no ip"}},
        {"id,dhcp\n00:1A:2B:3C:4D:02,maybe\n", {"line 2: dhcp \"maybe\" is neither yes nor no"}},
        {header + "\"00:1A:2B:3C:4D:02,10.1.0.21,255.255.255.0,\n", {"line 2: a quote opened here is never closed"}},
        {header + "\"00:1A:2B:3C:4D:02\"x,10.1.0.21,255.255.255.0,\n", {"line 2: text after a closing quote"}},
        // every bad line is reported, the good ones kept
        {header + "x,10.1.0.20,255.255.255.0,\n" + good + "y,10.1.0.22,255.255.255.0,\n", {"line 2:", "line 4:"}},
        {"[\n  {\"id\": \"00:1A:2B:3C:4D:01\", \"ip\": \"10.1.0.20\",\n   \"mask\": 24}\n]",
         {"line 2: \"mask\" must be a text"}},
        {"[\n  {\"id\": \"00:1A:2B:3C:4D:01\", \"dhcp\": true},\n  {\"id\": \"00:1A:2B:3C:4D:02\", \"ipaddr\": "
         "\"x\"}\n]",
         {"line 3: unknown key \"ipaddr\""}},
        {"[\n  {\"id\": \"00:1A:2B:3C:4D:01\",\n", {"line 3: not valid JSON: syntax error"}},
    };
    for (const auto &c : cases) {
        const ParsedPlan plan = ParsePlan(c.text);
        ASSERT_EQ(plan.errors.size(), c.errors.size()) << c.text << (plan.errors.empty() ? "" : plan.errors[0]);
        for (size_t i = 0; i < c.errors.size(); ++i)
            EXPECT_NE(plan.errors[i].find(c.errors[i]), std::string::npos) << c.text << "\n" << plan.errors[i];
    }
    const ParsedPlan partly = ParsePlan(header + "x,10.1.0.20,255.255.255.0,\n" + good);
    ASSERT_EQ(partly.lines.size(), 1u);
    EXPECT_EQ(partly.lines[0].line, 3);
}

TEST(Plan, ResultsAsCsvAndJson)
{
    const std::vector<LineResult> results = {
        {2, "00:1A:2B:3C:4D:01", "10.1.0.20/24", "ok", "found at 10.1.0.5 on eth0 (10.1.0.1)"},
        {3, "00:1A:2B:3C:4D:02", "DHCP", "problem", "held by device X (\"Gate, North\xff\")"},
    };
    EXPECT_EQ(WriteResults(results, Format::Csv),
              "line,id,planned,outcome,message\n"
              "2,00:1A:2B:3C:4D:01,10.1.0.20/24,ok,found at 10.1.0.5 on eth0 (10.1.0.1)\n"
              "3,00:1A:2B:3C:4D:02,DHCP,problem,\"held by device X (\"\"Gate, North\xff\"\")\"\n");
    const auto json = nlohmann::json::parse(WriteResults(results, Format::Json));
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[1]["line"], 3);
    EXPECT_EQ(json[1]["outcome"], "problem");
    EXPECT_EQ(json[1]["message"], "held by device X (\"Gate, North\xEF\xBF\xBD\")");
}

} // namespace
