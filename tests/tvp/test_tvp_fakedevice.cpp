// SPDX-License-Identifier: MIT
// The library against a scripted fake device on loopback: the test plays
// the device byte by byte, so it can answer wrongly on purpose.
#include "tvp.h"
#include "tvp_events.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <functional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tvptest;
namespace wire = tvp::wire;

namespace {

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const wire::DeviceId kId = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e, 0, 0};

class FakeDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(fd_, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_ANY);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len), 0);
        setenv("TVP_INTERFACES", "lo", 1);
        setenv("TVP_PORT", std::to_string(ntohs(a.sin_port)).c_str(), 1);
        TVPCleanup();
        Collect();
    }
    void TearDown() override
    {
        TVPCleanup();
        close(fd_);
    }

    // The next request the library sent, reachability probes skipped (the
    // library probes a device it found whenever it sees fit); false after 1 s.
    bool Receive(wire::Message *m, size_t *size = nullptr)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0)
                return false;
            uint8_t buffer[2048];
            socklen_t len = sizeof library_;
            ssize_t n = recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&library_), &len);
            if (size)
                *size = size_t(n);
            if (n <= 0 || !wire::Decode(buffer, size_t(n), m))
                return false;
            if (m->opcode != wire::Probe)
                return true;
        }
    }
    void Send(const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&library_), sizeof library_),
                  ssize_t(bytes.size()));
    }
    wire::Message DiscoverReply(uint32_t txid)
    {
        wire::Message r;
        r.opcode = wire::DiscoverReply;
        r.txid = txid;
        r.id = kId;
        r.name = "Fake";
        r.type = "Scripted";
        r.address = 0x7f000063;
        return r;
    }
    wire::Message GetIPReply(uint32_t txid)
    {
        wire::Message r;
        r.opcode = wire::GetIPReply;
        r.txid = txid;
        r.id = kId;
        r.address = 0x7f000063;
        r.mask = 0xff000000;
        r.gateway = 0;
        r.dhcp = false;
        return r;
    }
    uint32_t RequestGetIP()
    {
        uint8_t id[TVP_ID_SIZE];
        EXPECT_EQ(TVPMacToID("00:1A:2B:3C:4D:5E", id), 0);
        EXPECT_EQ(TVPGetIP(id), 0);
        wire::Message req;
        EXPECT_TRUE(Receive(&req));
        EXPECT_EQ(req.opcode, wire::GetIP);
        EXPECT_EQ(req.id, kId);
        return req.txid;
    }

    int fd_ = -1;
    sockaddr_in library_{};
};

TEST_F(FakeDevice, RequestsArePaddedAgainstReflection)
{
    ASSERT_EQ(TVPDiscover(), 0);
    wire::Message req;
    size_t size = 0;
    ASSERT_TRUE(Receive(&req, &size));
    EXPECT_EQ(req.opcode, wire::Discover);
    EXPECT_GE(size, wire::kMinRequest);
    EXPECT_GE(size, wire::kMaxReply);
}

TEST_F(FakeDevice, AnswersThatMatchNoRequestAreDropped)
{
    struct Case
    {
        const char *what;
        std::function<std::vector<uint8_t>(uint32_t getTxid)> answer;
        const char *logged;
    };
    const std::vector<Case> cases = {
        {"unknown transaction", [&](uint32_t t) { return wire::Encode(GetIPReply(t + 1)); }, "unsolicited"},
        {"another device's ID",
         [&](uint32_t t) {
             auto r = GetIPReply(t);
             r.id[5] ^= 1;
             return wire::Encode(r);
         },
         "unsolicited"},
        {"answer of another kind",
         [&](uint32_t t) {
             auto r = GetIPReply(t);
             r.opcode = wire::SetIPReply;
             return wire::Encode(r);
         },
         "unsolicited"},
        {"ID that is no MAC",
         [&](uint32_t t) {
             auto r = GetIPReply(t);
             r.id[7] = 1;
             return wire::Encode(r);
         },
         "not a MAC"},
        {"no mask",
         [&](uint32_t t) {
             auto r = GetIPReply(t);
             r.mask.reset();
             return wire::Encode(r);
         },
         "without address or mask"},
        {"cut short",
         [&](uint32_t t) {
             auto b = wire::Encode(GetIPReply(t));
             b.resize(b.size() - 2);
             return b;
         },
         "malformed"},
        {"oversized", [&](uint32_t t) { return wire::Encode(GetIPReply(t), 600) + std::vector<uint8_t>(600); },
         "oversized"},
    };
    for (const auto &c : cases) {
        Events().clear();
        uint32_t txid = RequestGetIP();
        Send(c.answer(txid));
        EXPECT_TRUE(PumpUntil([&] { return LogContains(c.logged); }, 1000)) << c.what;
        EXPECT_TRUE(EventsOf(TVPEventGetIPReply).empty()) << c.what;
        // the request is still open: the right answer is taken afterwards
        Send(wire::Encode(GetIPReply(txid)));
        EXPECT_TRUE(PumpUntil([&] { return EventsOf(TVPEventGetIPReply).size() == 1; }, 1000)) << c.what;
        Collect();
    }
}

TEST_F(FakeDevice, DiscoveryAnswersNeedARecentBroadcast)
{
    ASSERT_EQ(TVPDiscover(), 0);
    wire::Message req;
    ASSERT_TRUE(Receive(&req));
    Send(wire::Encode(DiscoverReply(req.txid ^ 0x5a5a)));
    EXPECT_TRUE(PumpUntil([&] { return LogContains("unsolicited discovery"); }, 1000));
    Send(wire::Encode(DiscoverReply(req.txid)));
    Send(wire::Encode(DiscoverReply(req.txid)));
    EXPECT_TRUE(PumpUntil([&] { return EventsOf(TVPEventDeviceFound).size() == 2; }, 1000));
    auto found = EventsOf(TVPEventDeviceFound);
    EXPECT_EQ(found[0].id, "00:1A:2B:3C:4D:5E");
    EXPECT_EQ(found[0].name, "Fake");
    EXPECT_EQ(found[0].type, "Scripted");
    EXPECT_EQ(found[0].address, "127.0.0.99");
}

TEST_F(FakeDevice, HostileNamesArriveCleanedAndCut)
{
    ASSERT_EQ(TVPDiscover(), 0);
    wire::Message req;
    ASSERT_TRUE(Receive(&req));
    auto bytes = wire::Encode(DiscoverReply(req.txid));
    // replace the name by 200 bytes with an escape sequence
    std::vector<uint8_t> hostile = {wire::FieldName, 200, 0x1b, '[', '2', 'J'};
    hostile.resize(202, 'A');
    wire::Message r = DiscoverReply(req.txid);
    r.name.reset();
    Send(wire::Encode(r) + hostile);
    ASSERT_TRUE(PumpUntil([&] { return !EventsOf(TVPEventDeviceFound).empty(); }, 1000));
    std::string name = EventsOf(TVPEventDeviceFound)[0].name;
    EXPECT_EQ(name.size(), wire::kMaxText);
    EXPECT_EQ(name.substr(0, 4), "?[2J");
}

TEST_F(FakeDevice, EventHandleIsReadableExactlyWhileEventsWait)
{
    auto readable = [] {
        pollfd p{TVPEventHandle(), POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    };
    Collect(0); // log lines would be events too
    ASSERT_GE(TVPEventHandle(), 0);
    uint32_t txid = RequestGetIP();
    EXPECT_FALSE(readable());
    Send(wire::Encode(GetIPReply(txid)));
    pollfd p{TVPEventHandle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(Events().empty()) << "nothing is delivered before TVPProcessEvents";
    EXPECT_GE(TVPProcessEvents(), 1);
    EXPECT_EQ(EventsOf(TVPEventGetIPReply).size(), 1u);
    EXPECT_FALSE(readable());
    EXPECT_EQ(TVPProcessEvents(), 0);
    EXPECT_EQ(Misdelivered(), 0);
}

TEST_F(FakeDevice, NoLogLinesWithoutDebug)
{
    TVPSetApplicationCallback(
        [](uint32_t code, const void *) {
            if (code == TVPEventLog)
                ADD_FAILURE() << "log line without debug";
        },
        0);
    uint32_t txid = RequestGetIP();
    Send(wire::Encode(GetIPReply(txid + 1))); // would be logged as dropped
    Send(wire::Encode(GetIPReply(txid)));
    pollfd p{TVPEventHandle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_EQ(TVPProcessEvents(), 1) << "only the answer";
}

TEST_F(FakeDevice, CleanupForgetsTheCallbackAndRereadsTheEnvironment)
{
    uint32_t txid = RequestGetIP();
    Send(wire::Encode(GetIPReply(txid)));
    pollfd p{TVPEventHandle(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    TVPCleanup();
    EXPECT_EQ(TVPProcessEvents(), 0) << "pending events go with the library";
    EXPECT_TRUE(Events().empty());

    setenv("TVP_PORT", "9", 1); // nothing listens: the fake no longer hears requests
    TVPCleanup();
    ASSERT_EQ(TVPDiscover(), 0);
    wire::Message req;
    EXPECT_FALSE(Receive(&req));
}

// A socket of the fake device's that sends from another loopback address.
int SocketAt(const char *address)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << address;
    return fd;
}

// Behind a router only the device at the address asked hears the request,
// and only its answer from there may complete it; a SetIP whose first
// acknowledgement was lost is asked again at the new address too.
TEST_F(FakeDevice, UnicastRequestsAreAnsweredOnlyFromTheAddressesTheyWentTo)
{
    uint8_t id[TVP_ID_SIZE];
    ASSERT_EQ(TVPMacToID("00:1A:2B:3C:4D:5E", id), 0);
    uint8_t noDevice[TVP_ID_SIZE];
    TVPMacToID("bogus", noDevice);
    for (int refused :
         {TVPGetIPAt(id, "127.0.0.256"), TVPGetIPAt(id, "255.255.255.255"), TVPGetIPAt(noDevice, "127.0.0.1"),
          TVPSetIPAt(id, "127.0.0.1", "127.0.0.0", "255.0.0.0", "", 0)})
        EXPECT_EQ(refused, TVPNotSentInvalid);
    wire::Message req;
    EXPECT_FALSE(Receive(&req)) << "nothing refused is sent";

    const int elsewhere = SocketAt("127.0.0.2"), moved = SocketAt("127.0.0.77");
    auto sendFrom = [&](int fd, const wire::Message &m) {
        const auto bytes = wire::Encode(m);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&library_), sizeof library_);
    };
    ASSERT_EQ(TVPGetIPAt(id, "127.0.0.1"), 0);
    ASSERT_TRUE(Receive(&req));
    EXPECT_EQ(req.opcode, wire::GetIP);
    EXPECT_EQ(req.id, kId);
    sendFrom(elsewhere, GetIPReply(req.txid));
    EXPECT_TRUE(PumpUntil([&] { return LogContains("at 127.0.0.2: its request went to 127.0.0.1"); }, 1000));
    EXPECT_TRUE(EventsOf(TVPEventGetIPReply).empty());
    Send(wire::Encode(GetIPReply(req.txid))); // from 127.0.0.1
    ASSERT_TRUE(PumpUntil([&] { return EventsOf(TVPEventGetIPReply).size() == 1; }, 1000));
    EXPECT_EQ(EventsOf(TVPEventGetIPReply)[0].iface, "lo (127.0.0.1)") << "the interface it came in on";

    ASSERT_EQ(TVPSetIPAt(id, "127.0.0.1", "127.0.0.77", "255.0.0.0", "", 0), 0);
    wire::Message first, again, atNew;
    ASSERT_TRUE(Receive(&first));
    ASSERT_TRUE(Receive(&again) && Receive(&atNew)) << "resent to the old address and the new one";
    EXPECT_EQ(first.opcode, wire::SetIP);
    EXPECT_EQ(first.address, 0x7f00004du);
    EXPECT_EQ(again.txid, first.txid);
    EXPECT_EQ(atNew.txid, first.txid);
    wire::Message ack;
    ack.opcode = wire::SetIPReply;
    ack.txid = first.txid;
    ack.id = kId;
    ack.status = wire::StatusOK;
    ack.address = 0x7f00004d;
    sendFrom(moved, ack);
    ASSERT_TRUE(PumpUntil([&] { return EventsOf(TVPEventSetIPReply).size() == 1; }, 1000));
    EXPECT_EQ(EventsOf(TVPEventSetIPReply)[0].address, "127.0.0.77");
    close(elsewhere);
    close(moved);
}

TEST_F(FakeDevice, GetIPIsRetransmittedWithTheSameTransaction)
{
    uint32_t txid = RequestGetIP();
    wire::Message again;
    ASSERT_TRUE(Receive(&again));
    EXPECT_EQ(again.txid, txid);
    EXPECT_EQ(again.opcode, wire::GetIP);
    Send(wire::Encode(GetIPReply(txid)));
    Send(wire::Encode(GetIPReply(txid)));
    EXPECT_TRUE(PumpUntil([&] { return LogContains("duplicate"); }, 1000));
    EXPECT_EQ(EventsOf(TVPEventGetIPReply).size(), 1u);
}

// Each answer the library drops is counted on its interface under its
// reason; what it sent and accepted is counted beside them.
TEST_F(FakeDevice, DiagnosticsCountWhatWasSentAcceptedAndDroppedAndWhy)
{
    ASSERT_EQ(TVPDiscover(), 0);
    wire::Message discover;
    size_t discoverSize = 0;
    ASSERT_TRUE(Receive(&discover, &discoverSize));
    auto impossible = DiscoverReply(discover.txid);
    impossible.address = 0x7f000000; // the network address of lo's subnet
    Send(wire::Encode(DiscoverReply(discover.txid)));
    Send(wire::Encode(DiscoverReply(discover.txid ^ 1)));
    Send(wire::Encode(impossible));
    auto cut = wire::Encode(DiscoverReply(discover.txid));
    cut.resize(cut.size() - 1);
    Send(cut);
    const uint32_t get = RequestGetIP();
    Send(wire::Encode(GetIPReply(get)));
    Send(wire::Encode(GetIPReply(get)));
    ASSERT_TRUE(PumpUntil([&] { return LogContains("duplicate"); }, 2000));

    ASSERT_EQ(TVPGetDiagnostics(nullptr, 0, 0), 1) << "only lo in the test's namespace";
    TVPInterfaceReport r[2];
    std::memset(r, 0x5a, sizeof r);
    ASSERT_EQ(TVPGetDiagnostics(r, 2, 1), 1);
    EXPECT_STREQ(r[0].Name, "lo");
    EXPECT_STREQ(r[0].Address, "127.0.0.1");
    EXPECT_EQ(r[0].PrefixLength, 8u);
    EXPECT_EQ(r[0].Use, uint32_t(TVPInterfaceUsed));
    EXPECT_STREQ(r[0].Reason, "");
    EXPECT_EQ(r[0].DiscoversSent, 1u);
    EXPECT_GE(r[0].BytesSent, 2 * discoverSize) << "the Discover and the GetIP";
    EXPECT_EQ(r[0].SendErrors, 0u);
    EXPECT_EQ(r[0].Answers, 2u);
    EXPECT_EQ(r[0].Devices, 1u);
    EXPECT_EQ(r[0].DroppedLate, 1u);
    EXPECT_EQ(r[0].DroppedImpossible, 1u);
    EXPECT_EQ(r[0].DroppedMalformed, 1u);
    EXPECT_EQ(r[0].DroppedDuplicate, 1u);
    EXPECT_EQ(r[0].DroppedNotInUse, 0u);
    EXPECT_EQ(r[1].Name[0], 0x5a) << "nothing written past the records filled";

    // cleared by the last call: the next one starts from zero
    ASSERT_EQ(TVPGetDiagnostics(r, 1, 0), 1);
    EXPECT_EQ(r[0].DiscoversSent, 0u);
    EXPECT_EQ(r[0].Answers, 0u);
    EXPECT_EQ(r[0].DroppedLate, 0u);
}

} // namespace
