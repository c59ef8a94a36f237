// SPDX-License-Identifier: MIT
// The command line's output formats and name patterns,
// and its view of the local interfaces, without a network.
#include "cli_run.h"
#include "glob.h"
#include "output.h"
#include "system.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <fnmatch.h>
#include <sstream>

using namespace cli;

namespace {

TEST(CliOutput, CsvQuotingFollowsRfc4180)
{
    struct Case
    {
        const char *in, *out;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\r", "\"cr\r\""},
        {"lo (127.0.0.1)", "lo (127.0.0.1)"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(CsvField(c.in), c.out) << c.in;
}

std::vector<Record> Devices()
{
    return {
        {{"name", std::string("Line \"A\", West")},
         {"ip", std::string("10.0.0.5")},
         {"reachable", true},
         {"conflict", std::vector<std::string>{}}},
        {{"name", std::string("caf\xe9 \xff")},
         {"ip", std::string("10.0.0.6")},
         {"reachable", false},
         {"conflict", std::vector<std::string>{"02:00:00:00:00:01", "02:00:00:00:00:02"}}},
        {{"name", std::string("none")}, {"ip", Value{}}, {"reachable", false}},
    };
}

const std::vector<Column> kColumns = {
    {"name", "NAME"}, {"ip", "IP"}, {"reachable", "REACHABLE"}, {"conflict", "CONFLICT"}};

TEST(CliOutput, CsvListParsesBackToTheRecords)
{
    std::ostringstream out;
    PrintList(out, Devices(), kColumns, Format::Csv);
    auto rows = clitest::ParseCsv(out.str());
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"name", "ip", "reachable", "conflict"}));
    EXPECT_EQ(rows[1], (std::vector<std::string>{"Line \"A\", West", "10.0.0.5", "true", ""}));
    EXPECT_EQ(rows[2][2], "false");
    EXPECT_EQ(rows[2][3], "02:00:00:00:00:01 02:00:00:00:00:02");
    EXPECT_EQ(rows[3], (std::vector<std::string>{"none", "", "false", ""}));
}

TEST(CliOutput, JsonStaysValidWhateverBytesADeviceSends)
{
    std::ostringstream out;
    PrintList(out, Devices(), kColumns, Format::Json);
    auto j = nlohmann::json::parse(out.str()); // throws on invalid UTF-8
    ASSERT_TRUE(j.is_array());
    ASSERT_EQ(j.size(), 3u);
    EXPECT_EQ(j[0]["name"], "Line \"A\", West");
    EXPECT_EQ(j[0]["reachable"], true);
    EXPECT_TRUE(j[1]["name"].get<std::string>().find("caf") == 0);
    EXPECT_TRUE(j[2]["ip"].is_null());
    EXPECT_EQ(j[0]["conflict"], nlohmann::json::array());
    EXPECT_EQ(j[1]["conflict"], (nlohmann::json{"02:00:00:00:00:01", "02:00:00:00:00:02"}));
    // keys keep the record's order in the text
    EXPECT_LT(out.str().find("\"name\""), out.str().find("\"ip\""));
}

TEST(CliOutput, TableAlignsColumnsAndNamesNone)
{
    std::ostringstream out;
    PrintList(out, Devices(), kColumns, Format::Text);
    auto lines = clitest::Lines(out.str());
    ASSERT_EQ(lines.size(), 4u);
    const size_t ipColumn = lines[0].find("IP");
    ASSERT_NE(ipColumn, std::string::npos);
    EXPECT_EQ(lines[1].find("10.0.0.5"), ipColumn);
    EXPECT_EQ(lines[3].substr(ipColumn, 1), "-");
    EXPECT_NE(lines[1].find("yes"), std::string::npos);
    EXPECT_NE(lines[3].find("no"), std::string::npos);
    const size_t conflictColumn = lines[0].find("CONFLICT");
    EXPECT_EQ(lines[1].substr(conflictColumn), "-");
    EXPECT_EQ(lines[2].substr(conflictColumn), "02:00:00:00:00:01 02:00:00:00:00:02");

    std::ostringstream one;
    PrintOne(one, Record{{"ip", std::string("10.0.0.5")}, {"gateway", Value{}}, {"dhcp", false}}, Format::Text);
    EXPECT_EQ(one.str(), "ip: 10.0.0.5\ngateway: -\ndhcp: no\n");
}

TEST(CliCsvParser, RejectsMalformedText)
{
    for (const char *bad : {"\"open", "a\"b\n", "\"x\"y\n", "a,b"})
        EXPECT_THROW(clitest::ParseCsv(bad), std::runtime_error) << bad;
    EXPECT_EQ(clitest::ParseCsv("a,\"b\r\nc\"\r\n").at(0).at(1), "b\r\nc");
}

// --name once went to fnmatch(), which Windows lacks: the same answers in
// ASCII, and whole characters in UTF-8.
TEST(CliGlob, MatchesAsTheShellDoes)
{
    struct Case
    {
        const char *pattern, *text;
        bool match;
    } ascii[] = {
        {"Gate*", "Gate South", true},
        {"Gate*", "gate south", false},
        {"*Unit", "Busy Unit", true},
        {"*Unit", "Unit 2", false},
        {"*", "", true},
        {"", "", true},
        {"", "x", false},
        {"?", "", false},
        {"?at?", "Gate", true},
        {"a*b*c", "aXbYbZc", true},
        {"a*b*c", "aXbYbZ", false},
        {"*a*a*a*", "banana", true},
        {"**x", "abx", true},
        {"[GB]*", "Busy", true},
        {"[GB]*", "Good", true},
        {"[!GB]*", "Good", false},
        {"[^GB]*", "Line", true},
        {"[a-c]x", "bx", true},
        {"[a-c]x", "dx", false},
        {"[]]", "]", true},
        {"[!]]", "]", false},
        {"[a-]", "-", true},
        {"[[:digit:]]*", "7up", true},
        {"[[:digit:]]*", "up7", false},
        {"[[:upper:][:space:]]", " ", true},
        {"[[:alpha:]]", "_", false},
        {"\\*", "*", true},
        {"\\*", "x", false},
        {"[\\]]", "]", true},
        {"[abc", "[abc", true},
        {"[abc", "a", false},
        {"x[", "x[", true},
        {"Gate \"North\"*", "Gate \"North\", Door 1", true},
        {"*[0-9]", "Door 1", true},
        {"*/*", "I-O Gateway", false},
        {"*/*", "I/O Gateway", true},
    };
    for (const auto &c : ascii) {
        EXPECT_EQ(GlobMatch(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
        EXPECT_EQ(fnmatch(c.pattern, c.text, 0) == 0, c.match) << "fnmatch: " << c.pattern << " ~ " << c.text;
    }

    Case utf8[] = {
        {"K?hlraum", "K\u00fchlraum", true}, // ü is one character, two bytes
        {"K??hlraum", "K\u00fchlraum", false},
        {"[\u00e4\u00f6\u00fc]*", "\u00fcber", true},
        {"[a-z]ber", "\u00fcber", false},
        {"[!a-z]ber", "\u00fcber", true},
        {"*\u6771", "\u5c71\u6771", true}, // three bytes each
        {"?\u6771", "\u5c71\u6771", true},
        {"?", "\U0001F600", true}, // four bytes
        {"caf?", "caf\xe9", true}, // a stray byte is one character
        {"caf??", "caf\xc3", false},
        {"*\xff", "x\xff", true},
    };
    for (const auto &c : utf8)
        EXPECT_EQ(GlobMatch(c.pattern, c.text), c.match) << c.pattern << " ~ " << c.text;
}

TEST(CliSystem, LoopbackListedWithItsSubnet)
{
    const auto list = sys::LocalInterfaces();
    ASSERT_TRUE(list.has_value());
    const auto lo =
        std::find_if(list->begin(), list->end(), [](const sys::LocalInterface &i) { return i.name == "lo"; });
    ASSERT_NE(lo, list->end());
    EXPECT_NE(std::find(lo->subnets.begin(), lo->subnets.end(), std::make_pair(0x7f000001u, 0xff000000u)),
              lo->subnets.end());
    // names are listed once, whatever number of addresses they carry
    for (const auto &i : *list)
        EXPECT_EQ(
            std::count_if(list->begin(), list->end(), [&](const sys::LocalInterface &j) { return j.name == i.name; }),
            1)
            << i.name;
}

TEST(CliSystem, FileStates)
{
    const std::string dir = ::testing::TempDir();
    const std::string file = dir + "/netscry-cli-image.bin";
    {
        FILE *f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fputs("\r\n\x1a", f);
        std::fclose(f);
    }
    EXPECT_EQ(sys::CheckFile(file), sys::FileState::Readable);
    EXPECT_EQ(sys::CheckFile(dir), sys::FileState::NotReadable);
    EXPECT_EQ(sys::CheckFile(file + ".missing"), sys::FileState::Missing);
    std::remove(file.c_str());
}

} // namespace
