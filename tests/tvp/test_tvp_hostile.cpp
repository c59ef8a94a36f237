// SPDX-License-Identifier: MIT
// A hostile host on the LAN answers the library's Discover with malformed,
// impossible and flooding answers. The engine runs on its own for this
// test, a scripted peer plays the host on loopback.
#include "engine.h"
#include "netif.h"
#include "tvp.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <cstdio>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace wire = tvp::wire;
namespace net = tvp::net;

namespace {

constexpr uint32_t kLoopback = 0x7f000001;

class HostileHost : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd_, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        net::EnlargeBuffer(fd_, SO_RCVBUF, 4 << 20);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len), 0);
        tvp::Config config;
        config.interfaces = {"lo"};
        config.port = ntohs(a.sin_port);
        engine_ = std::make_unique<tvp::Engine>(config);
        ASSERT_TRUE(engine_->Start());
        engine_->SetCallback(
            [this](uint32_t code, const void *record) {
                if (code == 0)
                    log_.push_back(static_cast<const TVPLogRecord *>(record)->Text);
                if (code == 1) {
                    auto *r = static_cast<const TVPDeviceFoundRecord *>(record);
                    listed_.insert(r->IPAddress);
                    names_.push_back(r->Name);
                }
            },
            true);
    }
    void TearDown() override
    {
        engine_.reset();
        if (fd_ >= 0)
            close(fd_);
    }

    // Reads what reached the peer's port: the library's requests and probes.
    void Drain()
    {
        uint8_t buffer[2048];
        while (auto d = net::ReceiveDatagram(fd_, buffer, sizeof buffer)) {
            wire::Message m;
            if (!wire::Decode(buffer, d->size, &m))
                continue;
            if (m.opcode == wire::Discover) {
                discoverTx_ = m.txid;
                library_ = d->fromPort;
            } else if (m.opcode == wire::Probe) {
                probeBytes_ += d->size;
                probed_.insert(d->localAddress);
            }
        }
    }
    void Answer(const std::vector<uint8_t> &bytes, uint32_t from = kLoopback)
    {
        // answers come from the address the device claims, as a device's would
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(kLoopback);
        to.sin_port = htons(library_);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        src.sin_addr.s_addr = htonl(from);
        bind(s, reinterpret_cast<sockaddr *>(&src), sizeof src);
        sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        close(s);
        answerBytes_ += bytes.size();
    }
    wire::Message Reply(uint32_t address, uint32_t n)
    {
        wire::Message r;
        r.opcode = wire::DiscoverReply;
        r.txid = discoverTx_;
        r.id = {0x02, 0x66, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n), 0x01, 0, 0};
        r.address = address;
        return r;
    }
    void Pump(int ms)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{engine_->Events().Handle(), POLLIN, 0};
            poll(&p, 1, 20);
            engine_->Events().Process();
            Drain();
        }
    }
    size_t LogCount(const std::string &text) const
    {
        size_t n = 0;
        for (const auto &l : log_)
            n += l.find(text) != std::string::npos;
        return n;
    }

    int fd_ = -1;
    std::unique_ptr<tvp::Engine> engine_;
    uint32_t discoverTx_ = 0;
    uint16_t library_ = 0;
    uint64_t answerBytes_ = 0, probeBytes_ = 0;
    std::set<uint32_t> probed_;
    std::set<std::string> listed_;
    std::vector<std::string> names_, log_;
};

TEST_F(HostileHost, ABatteryOfAnswersListsOnlyPossibleDevicesAndIsNotAmplified)
{
    ASSERT_EQ(engine_->Discover(), 0);
    Pump(100);
    ASSERT_NE(discoverTx_, 0u);

    const std::vector<uint32_t> impossible = {0x00000000, 0xffffffff, 0xe0000001,
                                              0xf0000001, 0x7f000000, 0x7fffffff}; // network and broadcast of 127/8
    for (int copy = 0; copy < 3; ++copy)
        for (uint32_t a : impossible)
            Answer(wire::Encode(Reply(a, a & 0xffff)));
    auto bad = wire::Encode(Reply(0x7f0a0001, 1));
    bad[0] ^= 0xff;
    Answer(bad); // not a TVP message
    auto stranger = Reply(0x7f0a0002, 2);
    stranger.txid ^= 0x5a5a5a5a;
    Answer(wire::Encode(stranger)); // a Discover nobody sent
    auto escape = Reply(0x7f0a0003, 3);
    escape.name = "\x1b]0;owned\x07\x1b[2J\rName";
    Answer(wire::Encode(escape), 0x7f0a0003);
    // the flood: 2,000 invented devices of 22 bytes each, every one at an
    // address of its own
    for (uint32_t n = 0; n < 2000; ++n)
        Answer(wire::Encode(Reply(0x7f140000 + n + 1, 100 + n)));
    Pump(1500);

    for (uint32_t a : impossible) {
        EXPECT_EQ(listed_.count(wire::FormatDottedQuad(a)), 0u) << wire::FormatDottedQuad(a) << " was listed";
        EXPECT_EQ(probed_.count(a), 0u) << wire::FormatDottedQuad(a) << " was probed";
        EXPECT_EQ(LogCount("claiming " + wire::FormatDottedQuad(a) + ","), 1u)
            << "one line for each, not one each time";
    }
    EXPECT_EQ(listed_.count("127.10.0.1"), 0u);
    EXPECT_EQ(listed_.count("127.10.0.2"), 0u);
    EXPECT_EQ(listed_.count("127.10.0.3"), 1u);
    for (const auto &name : names_)
        for (char c : name)
            EXPECT_GE(static_cast<unsigned char>(c), 0x20) << "a control character reached the list";
    EXPECT_EQ(LogCount("malformed"), 1u);
    EXPECT_EQ(LogCount("unsolicited discovery"), 1u);
    EXPECT_GE(listed_.size(), 2001u) << "invented devices at possible addresses are listed, as the protocol allows";

    const auto traffic = engine_->TrafficSoFar();
    ASSERT_GT(answerBytes_, 0u);
    const double ratio = double(probeBytes_) / double(answerBytes_);
    RecordProperty("reaction_byte_ratio", std::to_string(ratio));
    std::printf("flood: %llu answer bytes in, %llu probe bytes out, ratio %.3f\n",
                static_cast<unsigned long long>(answerBytes_), static_cast<unsigned long long>(probeBytes_), ratio);
    EXPECT_LE(ratio, 1.0) << probeBytes_ << " bytes of probes for " << answerBytes_ << " bytes of answers";
    EXPECT_LE(traffic.reactionBytes, traffic.answerBytes);
    EXPECT_EQ(probeBytes_, traffic.reactionBytes) << "the engine counts what it sends";
}

TEST_F(HostileHost, AnswersOutsideTheWindowOfTheirDiscoverAreDropped)
{
    ASSERT_EQ(engine_->Discover(), 0);
    Pump(100);
    ASSERT_NE(discoverTx_, 0u);
    Answer(wire::Encode(Reply(0x7f0a0010, 10)), 0x7f0a0010);
    Pump(int(tvp::ProbeTable::kDeadline.count()) + 300); // held until its probe falls silent
    EXPECT_EQ(listed_.count("127.10.0.16"), 1u);
    Pump(int(tvp::DiscoveryWindow::kAnswerWindow.count()));
    Answer(wire::Encode(Reply(0x7f0a0011, 11)), 0x7f0a0011);
    Pump(300);
    EXPECT_EQ(listed_.count("127.10.0.17"), 0u) << "a stale transaction id is no invitation";
}

} // namespace
