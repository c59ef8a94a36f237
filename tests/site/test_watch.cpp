// SPDX-License-Identifier: MIT
// The watch's differ: scans handed in one after another with the time in
// the test's hand, and a saved site file against a scan.
#include "watch.h"

#include <gtest/gtest.h>

using namespace site;

namespace {

WatchDevice Dev(const std::string &id, const std::string &ip, bool reachable = true, const std::string &name = "Dev",
                const std::string &iface = "eth0 (10.0.0.1)")
{
    return {id, name, "Serial Server", ip, "", iface, reachable};
}

// "changed A ip 10.0.0.5>10.0.0.9", "conflict 10.0.0.7 A,B", "appeared A"
std::string Short(const WatchEvent &e)
{
    std::string s = std::string(EventName(e.kind)) + " ";
    if (e.kind == WatchEventKind::Conflict) {
        s += e.device.ip + " ";
        for (size_t i = 0; i < e.ids.size(); ++i)
            s += (i ? "," : "") + e.ids[i];
        return s;
    }
    s += e.device.id;
    if (!e.field.empty())
        s += " " + e.field + " " + e.before + ">" + e.after;
    return s;
}

std::vector<std::string> Shorts(const std::vector<WatchEvent> &events)
{
    std::vector<std::string> out;
    for (const auto &e : events)
        out.push_back(Short(e));
    return out;
}

WallClock::time_point At(int seconds)
{
    return WallClock::time_point{} + std::chrono::seconds(seconds);
}

TEST(Watch, EachScanReportsWhatChangedSinceTheLast)
{
    struct Step
    {
        const char *what;
        std::vector<WatchDevice> found;
        std::vector<std::string> expected;
    };
    WatchDevice masked = Dev("A", "10.0.0.9");
    masked.mask = "255.255.255.0";
    WatchDevice remasked = masked;
    remasked.mask = "255.255.0.0";
    const std::vector<Step> steps = {
        {"first scan", {Dev("A", "10.0.0.5"), Dev("B", "10.0.0.6")}, {"appeared A", "appeared B"}},
        {"nothing new", {Dev("B", "10.0.0.6"), Dev("A", "10.0.0.5")}, {}},
        {"re-addressed", {Dev("A", "10.0.0.9"), Dev("B", "10.0.0.6")}, {"changed A ip 10.0.0.5>10.0.0.9"}},
        {"the card's own address changed: not the device",
         {Dev("A", "10.0.0.9", true, "Dev", "eth0 (10.0.0.2)"), Dev("B", "10.0.0.6")},
         {}},
        {"renamed, on another card, silent",
         {Dev("A", "10.0.0.9", false, "Door", "eth1 (10.1.0.1)"), Dev("B", "10.0.0.6")},
         {"changed A name Dev>Door", "changed A interface eth0 (10.0.0.2)>eth1 (10.1.0.1)", "unreachable A"}},
        {"answers again, a mask learnt",
         {masked, Dev("B", "10.0.0.6")},
         {"changed A name Door>Dev", "changed A interface eth1 (10.1.0.1)>eth0 (10.0.0.1)", "reachable A"}},
        {"another mask", {remasked, Dev("B", "10.0.0.6")}, {"changed A mask 255.255.255.0>255.255.0.0"}},
        {"no mask learnt this time", {Dev("A", "10.0.0.9"), Dev("B", "10.0.0.6")}, {}},
        {"B shares A's address, once listed twice",
         {Dev("A", "10.0.0.9"), Dev("B", "10.0.0.9"), Dev("B", "10.0.0.77")},
         {"changed B ip 10.0.0.6>10.0.0.9", "conflict 10.0.0.9 A,B"}},
        {"still shared: said once", {Dev("A", "10.0.0.9"), Dev("B", "10.0.0.9")}, {}},
        {"B missed once", {Dev("A", "10.0.0.9")}, {}},
        {"B missed twice", {Dev("A", "10.0.0.9")}, {}},
        {"B missed three times", {Dev("A", "10.0.0.9")}, {"disappeared B"}},
        {"said once", {Dev("A", "10.0.0.9")}, {}},
        {"B back, shared again", {Dev("A", "10.0.0.9"), Dev("B", "10.0.0.9")}, {"appeared B", "conflict 10.0.0.9 A,B"}},
        {"A missed once, then back re-addressed", {Dev("B", "10.0.0.9")}, {}},
        {"", {Dev("B", "10.0.0.9"), Dev("A", "10.0.0.3")}, {"changed A ip 10.0.0.9>10.0.0.3"}},
    };
    Watch watch;
    int t = 0;
    for (const auto &s : steps) {
        t += 10;
        const auto events = watch.Scan(s.found, At(t));
        EXPECT_EQ(Shorts(events), s.expected) << s.what;
        for (const auto &e : events)
            EXPECT_EQ(e.time, At(t)) << s.what << ": the time of the scan that saw it";
    }
    EXPECT_EQ(watch.Devices().at("B").lastSeen, At(t));
    EXPECT_EQ(watch.Devices().size(), 2u);
}

TEST(Watch, ASavedSiteAgainstAScanNamesNewMissingMovedAndChanged)
{
    const std::vector<WatchDevice> saved = {Dev("A", "10.0.0.5"), Dev("B", "10.0.0.6"), Dev("C", "10.0.0.7")};
    WatchDevice renamed = Dev("B", "10.0.0.6", false, "Door");
    const auto events =
        CompareSite(saved, {Dev("D", "10.0.0.8"), Dev("A", "10.0.0.50"), renamed, Dev("E", "10.0.0.8")}, At(5));
    EXPECT_EQ(Shorts(events),
              (std::vector<std::string>{"new D", "moved A ip 10.0.0.5>10.0.0.50", "changed B name Dev>Door", "new E",
                                        "conflict 10.0.0.8 D,E", "missing C"}))
        << "reachability is no difference: a file holds no present";
    EXPECT_EQ(events.back().device.ip, "10.0.0.7") << "a missing device as the file holds it";
    EXPECT_TRUE(CompareSite(saved, saved, At(5)).empty());
}

TEST(Watch, EventTextsNameTheDeviceAndBothValues)
{
    WatchEvent e;
    e.kind = WatchEventKind::Changed;
    e.device = Dev("02:00:00:00:00:01", "10.0.0.9", true, "Door");
    e.field = "ip";
    e.before = "10.0.0.5";
    e.after = "10.0.0.9";
    EXPECT_EQ(EventText(e), "changed 02:00:00:00:00:01 (Door): ip 10.0.0.5 -> 10.0.0.9");
    e = {};
    e.kind = WatchEventKind::Appeared;
    e.device = Dev("02:00:00:00:00:01", "10.0.0.9", false, "Door");
    EXPECT_EQ(EventText(e), "appeared 02:00:00:00:00:01 (Door) Serial Server at 10.0.0.9 on eth0 (10.0.0.1), "
                            "not reachable");
    e.kind = WatchEventKind::Conflict;
    e.ids = {"A", "B"};
    EXPECT_EQ(EventText(e), "conflict 10.0.0.9: 2 devices answer there (A, B)");
    EXPECT_EQ(InterfaceName("vEthernet (Default Switch) (172.20.0.1)"), "vEthernet (Default Switch)");
}

TEST(SiteFile, ReadsTheCommandLinesListAndNamesWhatIsWrong)
{
    std::string error;
    const auto site = ParseSiteFile(R"j([{"name":"Door","type":"I/O","ip":"10.0.0.5","id":"02:0a:00:00:00:01",
        "interface":"eth0 (10.0.0.1)","reachable":true,"mask":null},{"id":"02:0A:00:00:00:02"}])j",
                                    &error);
    ASSERT_TRUE(site) << error;
    ASSERT_EQ(site->size(), 2u);
    EXPECT_EQ((*site)[0].id, "02:0A:00:00:00:01");
    EXPECT_EQ((*site)[0].interfaceText, "eth0 (10.0.0.1)");
    EXPECT_TRUE((*site)[0].reachable);
    EXPECT_EQ((*site)[1].ip, "");

    const struct
    {
        const char *text, *error;
    } bad[] = {
        {"[{\"id\": \"02:0A:00:00:00:01\"", "not JSON"},
        {R"({"devices": []})", "not a list of devices"},
        {R"([{"id":"02:0A:00:00:00:01"}, 5])", "device 2 is not an object"},
        {R"([{"name":"Door"}])", "device 1 has no \"id\""},
        {R"([{"id":"02:0A:00:00:00"}])", "device 1 has no \"id\""},
        {R"([{"id":"02:0A:00:00:00:01","ip":"10.0.0.256"}])", "device 1 has a \"ip\" that is not an IPv4 address"},
        {R"([{"id":"02:0A:00:00:00:01","name":7}])", "device 1 has a \"name\" that is not a text"},
        {R"([{"id":"02:0A:00:00:00:01"},{"id":"02:0a:00:00:00:01"}])", "device 2 repeats the ID 02:0A:00:00:00:01"},
    };
    for (const auto &b : bad) {
        error.clear();
        EXPECT_FALSE(ParseSiteFile(b.text, &error)) << b.text;
        EXPECT_NE(error.find(b.error), std::string::npos) << b.text << ": " << error;
    }
}

} // namespace
