// SPDX-License-Identifier: MIT
// The protocol interface object: record conversion, dispatch, the log, the
// discovery cycle.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QObject>

#include <QThread>

#include <array>
#include <memory>
#include <thread>
#include <vector>

#include "devices.h"
#include "gui_helpers.h"
#include "log.h"
#include "mainwindow_support.h"
#include "tvpinterface.h"

namespace {

struct Received
{
    int found = 0;
    int replies = 0;
    TDeviceInfo last;
};

// An interface whose device slots record what reaches them.
struct Recorder
{
    QObject owner;
    TTVPInterface *tvp = new TTVPInterface(&owner);
    Received got;

    Recorder()
    {
        tvp->OnDeviceFound = [this](TTVPInterface *sender, const TDeviceInfo *info) {
            EXPECT_EQ(sender, tvp);
            ++got.found;
            got.last = *info;
        };
        tvp->OnDeviceReply = [this](TTVPInterface *sender, const TDeviceInfo *info) {
            EXPECT_EQ(sender, tvp);
            ++got.replies;
            got.last = *info;
        };
    }
};

TEST(LibraryCallback, CopiesEachCodesFieldsAndLeavesTheRestEmpty)
{
    Recorder r;
    const TVPDeviceFoundRecord found{"00:1A:2B:00:00:01", "lo", "10.0.0.5", "Boiler", "Gateway"};
    const TVPGetIPReplyRecord reply{"00:1A:2B:00:00:02", "eth1", "10.0.0.6", "255.255.255.0", "10.0.0.1", 1};
    const TVPSetIPReplyRecord written{"00:1A:2B:00:00:03", "10.0.0.7"};

    struct Case
    {
        uint32_t code;
        const void *record;
        int found, replies;
        TDeviceInfo expected;
    };
    const std::vector<Case> cases = {
        {1, &found, 1, 0, {"Boiler", "Gateway", "10.0.0.5", "00:1A:2B:00:00:01", 0, "", "", "lo"}},
        {2, &reply, 1, 1, {"", "", "10.0.0.6", "00:1A:2B:00:00:02", 1, "255.255.255.0", "10.0.0.1", "eth1"}},
        {3, &written, 1, 2, {"", "", "10.0.0.7", "00:1A:2B:00:00:03", 0, "", "", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.code);
        LibraryCallback(c.code, c.record);
        EXPECT_EQ(r.got.found, c.found);
        EXPECT_EQ(r.got.replies, c.replies);
        EXPECT_EQ(r.got.last.Name, c.expected.Name);
        EXPECT_EQ(r.got.last.Type, c.expected.Type);
        EXPECT_EQ(r.got.last.IPAddress, c.expected.IPAddress);
        EXPECT_EQ(r.got.last.ID, c.expected.ID);
        EXPECT_EQ(r.got.last.UseDHCP, c.expected.UseDHCP);
        EXPECT_EQ(r.got.last.SubnetMask, c.expected.SubnetMask);
        EXPECT_EQ(r.got.last.DefaultGateway, c.expected.DefaultGateway);
        EXPECT_EQ(r.got.last.Interface, c.expected.Interface);
    }
}

TEST(LibraryCallback, NullTextsReadAsEmpty)
{
    Recorder r;
    const TVPDeviceFoundRecord found{nullptr, nullptr, nullptr, nullptr, nullptr};
    LibraryCallback(TVPEventDeviceFound, &found);
    ASSERT_EQ(r.got.found, 1);
    EXPECT_TRUE(r.got.last.ID.isEmpty());
    EXPECT_TRUE(r.got.last.Name.isEmpty());
    EXPECT_TRUE(r.got.last.IPAddress.isEmpty());
}

TEST(LibraryCallback, TextsAreCopiedOutOfTheRecord)
{
    Recorder r;
    char name[] = "Original";
    const TVPDeviceFoundRecord found{"id", "lo", "10.0.0.5", name, "t"};
    LibraryCallback(TVPEventDeviceFound, &found);
    name[0] = 'X';
    EXPECT_EQ(r.got.last.Name, "Original");
}

TEST(LibraryCallback, UnknownCodesAndEmptySlotsReachNobody)
{
    Recorder r;
    const TVPDeviceFoundRecord found{"id", "lo", "10.0.0.5", "n", "t"};
    for (uint32_t code : {5u, 6u, 255u, 0xffffffffu})
        LibraryCallback(code, &found);
    EXPECT_EQ(r.got.found, 0);
    EXPECT_EQ(r.got.replies, 0);

    // Each code goes to its own slot only; an empty slot calls nobody.
    r.tvp->OnDeviceFound = nullptr;
    LibraryCallback(TVPEventDeviceFound, &found);
    EXPECT_EQ(r.got.replies, 0);
    r.tvp->DispatchEvent(7, TDeviceInfo{});
    r.tvp->DispatchEvent(0, TDeviceInfo{});
    EXPECT_EQ(r.got.found + r.got.replies, 0);
}

TEST(LibraryCallback, EventsWithoutACurrentObjectAreDropped)
{
    int calls = 0;
    {
        QObject owner;
        auto *tvp = new TTVPInterface(&owner);
        tvp->OnDeviceFound = [&calls](TTVPInterface *, const TDeviceInfo *) { ++calls; };
    }
    EXPECT_EQ(CurrentInterface, nullptr);
    const TVPDeviceFoundRecord found{"id", "lo", "10.0.0.5", "n", "t"};
    LibraryCallback(TVPEventDeviceFound, &found);
    EXPECT_EQ(calls, 0);
}

TEST(LibraryCallback, LogLinesReachTheLogOnlyInDebugMode)
{
    // the main window subscribes the log to its protocol object
    TDeviceForm form;
    TLogForm log;
    LogForm = &log;
    const bool wasDebug = DebugMode;
    const TVPLogRecord line{"discover: sent on lo"};
    for (bool debug : {false, true}) {
        SCOPED_TRACE(debug);
        DebugMode = debug;
        const qsizetype before = log.Lines().size();
        LibraryCallback(TVPEventLog, &line);
        EXPECT_EQ(log.Lines().size(), before + (debug ? 1 : 0));
        if (debug) {
            EXPECT_EQ(log.Lines().last(), "discover: sent on lo");
        }
    }
    DebugMode = wasDebug;
}

TEST(LibraryCallback, DeviceEventsReachEveryListenerBesideTheSlots)
{
    Recorder r;
    std::vector<uint32_t> first, second;
    QObject::connect(r.tvp, &TTVPInterface::DeviceEvent,
                     [&](uint32_t code, const TDeviceInfo &) { first.push_back(code); });
    QObject::connect(r.tvp, &TTVPInterface::DeviceEvent, [&](uint32_t code, const TDeviceInfo &info) {
        second.push_back(code);
        EXPECT_EQ(info.ID, "00:1A:2B:00:00:09");
    });
    TDeviceInfo info;
    info.ID = QStringLiteral("00:1A:2B:00:00:09");
    for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 7u})
        r.tvp->DispatchEvent(code, info);
    EXPECT_EQ(first, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(second, first);
    EXPECT_EQ(r.got.found + r.got.replies, 3);
}

// An upload on a thread of its own (several run at once) reports its
// transfer to its own sink, never to the one upgrade dialog, and its log
// lines reach the log on the object's thread.
TEST(LibraryCallback, AnUploadOnAThreadOfItsOwnReportsToItsSinkOnly)
{
    Recorder r;
    int dialogEvents = 0;
    r.tvp->OnUpgradeEvent = [&](TTVPInterface *, uint32_t, const void *) { ++dialogEvents; };
    QStringList lines;
    QThread *lineThread = nullptr;
    r.tvp->OnLogLine = [&](TTVPInterface *, const QString &text) {
        lines << text;
        lineThread = QThread::currentThread();
    };
    struct Sink final : TUpgradeSink
    {
        std::vector<int32_t> values;
        void UpgradeEvent(const TVPUpgradeRecord &record) override { values.push_back(record.Value); }
    } sink;
    const TVPUpgradeRecord started{TVPUpgradeStarted, 100}, progress{TVPUpgradeProgress, 40};
    const TVPLogRecord line{"tftp: 10.0.0.5 block 1"};
    std::thread([&] {
        LibraryCallback(TVPEventUpgrade, &started); // no sink: nobody
        SetThreadUpgradeSink(&sink);
        LibraryCallback(TVPEventUpgrade, &started);
        LibraryCallback(TVPEventUpgrade, &progress);
        LibraryCallback(TVPEventLog, &line);
        SetThreadUpgradeSink(nullptr);
    }).join();
    EXPECT_EQ(sink.values, (std::vector<int32_t>{100, 40}));
    EXPECT_EQ(dialogEvents, 0);
    EXPECT_TRUE(lines.isEmpty());
    ASSERT_TRUE(testsupport::WaitFor([&] { return !lines.isEmpty(); }));
    EXPECT_EQ(lines, QStringList{"tftp: 10.0.0.5 block 1"});
    EXPECT_EQ(lineThread, QThread::currentThread());
    // the upgrade dialog's own upload, on this thread, still reaches it
    LibraryCallback(TVPEventUpgrade, &progress);
    EXPECT_EQ(dialogEvents, 1);
}

bool sentinelAlive = false;
struct Sentinel
{
    Sentinel() { sentinelAlive = true; }
    ~Sentinel() { sentinelAlive = false; }
};

TEST(DispatchEvent, AHandlerMayReplaceItsOwnSlotDuringTheCall)
{
    QObject owner;
    auto *tvp = new TTVPInterface(&owner);
    static bool aliveAfterReplacing = false;
    static int secondCalls = 0;
    tvp->OnDeviceFound = [sentinel = std::make_shared<Sentinel>()](TTVPInterface *sender, const TDeviceInfo *) {
        sender->OnDeviceFound = [](TTVPInterface *, const TDeviceInfo *) { ++secondCalls; };
        // what the running handler holds must outlive its replacement
        aliveAfterReplacing = sentinelAlive;
    };
    tvp->DispatchEvent(TVPEventDeviceFound, TDeviceInfo{});
    EXPECT_TRUE(aliveAfterReplacing);
    EXPECT_FALSE(sentinelAlive);
    tvp->DispatchEvent(TVPEventDeviceFound, TDeviceInfo{});
    EXPECT_EQ(secondCalls, 1);
}

TEST(Discovery, FiveBroadcastsHalfASecondApartThenDone)
{
    QObject owner;
    auto *tvp = new TTVPInterface(&owner);
    QElapsedTimer clock;
    std::vector<std::pair<int, qint64>> progress;
    qint64 doneAt = -1;
    int doneCount = 0;
    tvp->OnDiscoveryProgress = [&](TTVPInterface *, int step) { progress.emplace_back(step, clock.elapsed()); };
    tvp->OnDiscoveryDone = [&](TTVPInterface *) {
        ++doneCount;
        doneAt = clock.elapsed();
    };
    clock.start();
    tvp->StartDiscovery();
    EXPECT_TRUE(tvp->DiscoveryTimer->isActive());
    ASSERT_TRUE(testsupport::WaitFor([&] { return doneCount > 0; }, 5000));

    ASSERT_EQ(progress.size(), 5u);
    for (size_t i = 0; i < progress.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(progress[i].first, i == 0 ? 0 : 1);
        // each broadcast on the 500 ms rhythm, with room for a busy machine
        EXPECT_NEAR(double(progress[i].second), 500.0 * double(i), 150.0);
    }
    EXPECT_NEAR(double(doneAt), 2500.0, 150.0);
    EXPECT_FALSE(tvp->DiscoveryTimer->isActive());
    EXPECT_EQ(tvp->DiscoveryCount, 0);
    // nothing more after the cycle
    testsupport::WaitFor([] { return false; }, 600);
    EXPECT_EQ(progress.size(), 5u);
    EXPECT_EQ(doneCount, 1);
}

TEST(Discovery, ARestartKeepsTheRhythmAndResetsTheCount)
{
    QObject owner;
    auto *tvp = new TTVPInterface(&owner);
    QElapsedTimer clock;
    std::vector<std::pair<int, qint64>> progress;
    bool done = false;
    tvp->OnDiscoveryProgress = [&](TTVPInterface *, int step) { progress.emplace_back(step, clock.elapsed()); };
    tvp->OnDiscoveryDone = [&](TTVPInterface *) { done = true; };
    clock.start();
    tvp->StartDiscovery();
    ASSERT_TRUE(testsupport::WaitFor([&] { return progress.size() == 2; }, 2000));
    // halfway between two ticks
    testsupport::WaitFor([&] { return clock.elapsed() >= 750; }, 2000);
    tvp->StartDiscovery();
    EXPECT_EQ(tvp->DiscoveryCount, 4);
    ASSERT_TRUE(testsupport::WaitFor([&] { return done; }, 5000));
    // 0, 1 at 500, restart 0 at 750, then four ticks still on the old beat
    ASSERT_EQ(progress.size(), 7u);
    EXPECT_EQ(progress[2].first, 0);
    for (size_t i = 3; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(progress[i].first, 1);
        EXPECT_NEAR(double(progress[i].second), 500.0 * double(i - 1), 150.0);
    }
}

} // namespace
