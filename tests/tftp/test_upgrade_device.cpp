// SPDX-License-Identifier: MIT
// TVPUpgradeDevice through the public API: argument checks, every result
// against the simulator's server, and the code-4 events on the caller's
// thread.
#include "tftp_peers.h"
#include "tftp_server.h"
#include "test_support.h"
#include "tvp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>
#include <map>
#include <mutex>
#include <thread>

using namespace tftptest;
using devsim::UpgradeBehaviour;

namespace {

struct Recorded
{
    std::thread::id thread;
    uint32_t code;
    uint32_t kind;
    int32_t value;
    std::string text;
};
std::vector<Recorded> g_events;

void TVP_CALL Callback(uint32_t code, const void *record)
{
    Recorded r{std::this_thread::get_id(), code, 0, 0, {}};
    if (code == TVPEventUpgrade) {
        auto *u = static_cast<const TVPUpgradeRecord *>(record);
        r.kind = u->Kind;
        r.value = u->Value;
    } else if (code == TVPEventLog) {
        auto *l = static_cast<const TVPLogRecord *>(record);
        r.text = l->Text ? l->Text : "";
    }
    g_events.push_back(r);
}

constexpr uint32_t kSucceeds = 0x7f000001, kBusy = 0x7f000002, kFails = 0x7f000003, kStalls = 0x7f000004;
constexpr const char *kNobody = "127.0.0.5";

// One simulator server per device address, all on the same port.
class Devices
{
public:
    Devices()
    {
        const std::map<uint32_t, UpgradeBehaviour> devices = {{kSucceeds, UpgradeBehaviour::Succeed},
                                                              {kBusy, UpgradeBehaviour::BusyFirst},
                                                              {kFails, UpgradeBehaviour::Fail},
                                                              {kStalls, UpgradeBehaviour::Stall}};
        for (const auto &[address, behaviour] : devices) {
            devsim::TftpServerConfig c;
            c.bindAddress = "127.0.0." + std::to_string(address & 0xff);
            c.port = port_;
            c.behaviourFor = [device = address, b = behaviour](uint32_t a) {
                return a == device ? std::optional(b) : std::nullopt;
            };
            c.received = [this](uint32_t a, const std::string &name, std::vector<uint8_t> image) {
                std::lock_guard lock(mutex_);
                received_.push_back({a, name, std::move(image)});
            };
            servers_.push_back(std::make_unique<devsim::TftpServer>(c));
            if (!servers_.back()->Start())
                throw std::runtime_error("simulator TFTP server did not start on " + c.bindAddress);
            port_ = servers_.back()->Port();
        }
    }
    uint16_t port() const { return port_; }
    struct Image
    {
        uint32_t device;
        std::string name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Image> received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    uint16_t port_ = 0;
    std::vector<std::unique_ptr<devsim::TftpServer>> servers_;
    std::mutex mutex_;
    std::vector<Image> received_;
};

class UpgradeDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        setenv("TVP_INTERFACES", "lo", 1);
        setenv("TVP_TFTP_PORT", std::to_string(devices.port()).c_str(), 1);
        setenv("TVP_TFTP_TIMEOUT_MS", "50", 1);
        TVPCleanup(); // the environment is read anew at the next call
        TVPSetApplicationCallback(Callback, 1);
        g_events.clear();
        image = RandomImage(100000, 42);
        path = dir.path() + "/image.bin";
        WriteFile(path, image);
    }
    void TearDown() override
    {
        TVPCleanup();
        unsetenv("TVP_TFTP_PORT");
        unsetenv("TVP_TFTP_TIMEOUT_MS");
    }
    std::vector<Recorded> Upgrades() const
    {
        std::vector<Recorded> r;
        for (const auto &e : g_events)
            if (e.code == TVPEventUpgrade)
                r.push_back(e);
        return r;
    }
    std::string LogText()
    {
        TVPProcessEvents();
        std::string all;
        for (const auto &e : g_events)
            if (e.code == TVPEventLog)
                all += e.text + "\n";
        return all;
    }

    Devices devices;
    testsupport::TempDir dir;
    std::vector<uint8_t> image;
    std::string path;
};

} // namespace

TEST_F(UpgradeDevice, BadArgumentsFailClearlyWithoutSending)
{
    const std::string missing = dir.path() + "/missing.bin";
    // sparse: sizes travel as signed 32-bit values, so this one cannot
    const std::string huge = dir.path() + "/huge.bin";
    {
        int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t{INT32_MAX} + 1), 0);
        close(fd);
    }
    struct Case
    {
        const char *path;
        const char *address;
        int32_t result;
    };
    const Case cases[] = {
        {nullptr, "127.0.0.1", TVPUpgradeFileError},
        {"", "127.0.0.1", TVPUpgradeFileError},
        {missing.c_str(), "127.0.0.1", TVPUpgradeFileError},
        {dir.path().c_str(), "127.0.0.1", TVPUpgradeFileError},
        {huge.c_str(), "127.0.0.1", TVPUpgradeFileError},
        {path.c_str(), nullptr, TVPUpgradeBadAddress},
        {path.c_str(), "", TVPUpgradeBadAddress},
        {path.c_str(), "10.", TVPUpgradeBadAddress},
        {path.c_str(), "127.0.1", TVPUpgradeBadAddress},
        {path.c_str(), "127.0.0.256", TVPUpgradeBadAddress},
        {path.c_str(), "127.0.0.1 ", TVPUpgradeBadAddress},
        {path.c_str(), "0.0.0.0", TVPUpgradeBadAddress},
        {path.c_str(), "255.255.255.255", TVPUpgradeBadAddress},
        {path.c_str(), "224.0.0.1", TVPUpgradeBadAddress},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TVPUpgradeDevice(c.path, c.address), c.result)
            << (c.path ? c.path : "(null)") << " " << (c.address ? c.address : "(null)");
    }
    EXPECT_TRUE(Upgrades().empty());
    EXPECT_TRUE(devices.received().empty());
}

TEST_F(UpgradeDevice, SuccessReportsTotalThenRisingPositionsOnTheCallingThread)
{
    ASSERT_EQ(TVPUpgradeDevice(path.c_str(), "127.0.0.1"), TVPUpgradeOK);
    auto events = Upgrades();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0].kind, static_cast<uint32_t>(TVPUpgradeStarted));
    EXPECT_EQ(events[0].value, static_cast<int32_t>(image.size()));
    int32_t last = 0;
    for (size_t i = 1; i < events.size(); ++i) {
        EXPECT_EQ(events[i].kind, static_cast<uint32_t>(TVPUpgradeProgress));
        EXPECT_GT(events[i].value, last);
        last = events[i].value;
    }
    EXPECT_EQ(last, static_cast<int32_t>(image.size()));
    for (const auto &e : events)
        EXPECT_EQ(e.thread, std::this_thread::get_id());
    auto got = devices.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].device, kSucceeds);
    EXPECT_EQ(got[0].name, "image.bin"); // the base name, without local folders
    EXPECT_TRUE(got[0].bytes == image);
    const std::string log = LogText();
    EXPECT_NE(log.find("TFTP negotiated blksize 1428, windowsize 16"), std::string::npos) << log;
    EXPECT_NE(log.find("TFTP transfer complete"), std::string::npos) << log;
}

TEST_F(UpgradeDevice, EachDeviceBehaviourGivesItsResult)
{
    struct Case
    {
        const char *address;
        int32_t result;
        bool started;
    };
    const Case cases[] = {
        {"127.0.0.2", TVPUpgradeNoAnswer, false}, // busy
        {"127.0.0.2", TVPUpgradeOK, true},        // the program's retry
        {"127.0.0.3", TVPUpgradeDeviceError, false}, {"127.0.0.4", TVPUpgradeStalled, true},
        {kNobody, TVPUpgradeNoAnswer, false},
    };
    for (const Case &c : cases) {
        g_events.clear();
        EXPECT_EQ(TVPUpgradeDevice(path.c_str(), c.address), c.result) << c.address << "\n" << LogText();
        auto events = Upgrades();
        EXPECT_EQ(!events.empty(), c.started) << c.address;
        if (c.started) {
            EXPECT_EQ(events[0].kind, static_cast<uint32_t>(TVPUpgradeStarted));
            EXPECT_EQ(events[0].value, static_cast<int32_t>(image.size()));
        }
        if (c.result == TVPUpgradeStalled) {
            // it moved, then stopped short
            ASSERT_GE(events.size(), 2u);
            EXPECT_LT(events.back().value, static_cast<int32_t>(image.size()));
            EXPECT_NE(LogText().find("TFTP transfer stalled"), std::string::npos);
        }
    }
    auto got = devices.received();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].device, kBusy);
    EXPECT_TRUE(got[0].bytes == image);
}

TEST_F(UpgradeDevice, NoDebugMeansNoLogLines)
{
    TVPSetApplicationCallback(Callback, 0);
    ASSERT_EQ(TVPUpgradeDevice(path.c_str(), "127.0.0.3"), TVPUpgradeDeviceError);
    TVPProcessEvents();
    for (const auto &e : g_events)
        EXPECT_NE(e.code, static_cast<uint32_t>(TVPEventLog)) << e.text;
}

TEST_F(UpgradeDevice, UnroutableAddressIsALocalError)
{
    if (!testsupport::InPrivateNetns())
        GTEST_SKIP() << "needs the private network namespace (NETSCRY_NETNS=1) where only loopback exists";
    EXPECT_EQ(TVPUpgradeDevice(path.c_str(), "10.0.0.1"), TVPUpgradeLocalError) << LogText();
}
