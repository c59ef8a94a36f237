// SPDX-License-Identifier: MIT
// The TFTP write client against the simulator's server (in process),
// against tftpd-hpa, and against scripted fakes.
#include "tftp_client.h"
#include "tftp_packet.h"
#include "tftp_peers.h"
#include "tftp_server.h"
#include "test_support.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

using namespace tftptest;
using devsim::UpgradeBehaviour;
using tvp::tftp::UploadResult;
namespace tftp = tvp::tftp;

namespace {

// The simulator's server on 127.0.0.1, one device there.
class Sim
{
public:
    explicit Sim(std::optional<UpgradeBehaviour> behaviour, std::function<void(devsim::TftpServerConfig &)> tweak = {})
    {
        devsim::TftpServerConfig c;
        c.behaviourFor = [behaviour](uint32_t address) { return address == kLoopback ? behaviour : std::nullopt; };
        c.received = [this](uint32_t, const std::string &name, std::vector<uint8_t> image) {
            std::lock_guard lock(mutex_);
            images_.emplace_back(name, std::move(image));
        };
        if (tweak)
            tweak(c);
        server_ = std::make_unique<devsim::TftpServer>(c);
        if (!server_->Start())
            throw std::runtime_error("simulator TFTP server did not start");
    }
    uint16_t port() const { return server_->Port(); }
    std::vector<std::pair<std::string, std::vector<uint8_t>>> images()
    {
        std::lock_guard lock(mutex_);
        return images_;
    }

private:
    std::mutex mutex_;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> images_;
    std::unique_ptr<devsim::TftpServer> server_;
};

// One upload with its events and log lines recorded.
struct Transfer
{
    tftp::UploadParams params;
    std::vector<std::pair<uint32_t, uint64_t>> events;
    std::vector<std::string> log;

    explicit Transfer(uint16_t port, int timeoutMs = 200)
    {
        params.address = kLoopback;
        params.port = port;
        params.fileName = "image.bin";
        params.timeoutMs = timeoutMs;
        params.retries = 3;
        params.progress = [this](uint32_t kind, uint64_t value) { events.emplace_back(kind, value); };
        params.log = [this](const std::string &line) { log.push_back(line); };
    }
    UploadResult Upload(const std::vector<uint8_t> &image) { return tftp::Upload(params, image); }
    bool Logged(const std::string &part) const
    {
        for (const auto &l : log)
            if (l.find(part) != std::string::npos)
                return true;
        return false;
    }
    std::string Log() const
    {
        std::string all;
        for (const auto &l : log)
            all += l + "\n";
        return all;
    }
};

// Kind 0 with the total first, then kind 1 rising to `reached`.
void ExpectEvents(const Transfer &run, uint64_t total, uint64_t reached)
{
    ASSERT_FALSE(run.events.empty());
    EXPECT_EQ(run.events.front(), (std::pair<uint32_t, uint64_t>(0, total)));
    uint64_t last = 0;
    for (size_t i = 1; i < run.events.size(); ++i) {
        EXPECT_EQ(run.events[i].first, 1u);
        EXPECT_GT(run.events[i].second, last) << "event " << i;
        last = run.events[i].second;
    }
    EXPECT_EQ(last, reached);
}

} // namespace

TEST(TftpClientSimulator, WindowedUploadArrivesIntactWithRisingProgress)
{
    const size_t sizes[] = {0, 1, 1427, 1428, 1429, 1428 * 16, 1428 * 16 + 1, 300000};
    for (size_t size : sizes) {
        Sim sim(UpgradeBehaviour::Succeed);
        Transfer run(sim.port());
        tftp::UploadStats stats;
        run.params.stats = &stats;
        const auto image = RandomImage(size, static_cast<unsigned>(size));
        ASSERT_EQ(run.Upload(image), UploadResult::Ok) << size << "\n" << run.Log();
        EXPECT_TRUE(run.Logged("negotiated blksize 1428, windowsize 16, tsize " + std::to_string(size))) << run.Log();
        auto images = sim.images();
        ASSERT_EQ(images.size(), 1u) << size;
        EXPECT_EQ(images[0].first, "image.bin");
        EXPECT_TRUE(images[0].second == image) << size;
        if (size > 0)
            ExpectEvents(run, size, size);
        // the time-out followed the loopback's round trip, down to its floor
        EXPECT_GT(stats.rttMs, 0) << size;
        EXPECT_GE(stats.rtoMs, tftp::kMinRtoMs) << size;
        EXPECT_LT(stats.rtoMs, run.params.timeoutMs) << size;
    }
}

TEST(TftpClientSimulator, SurvivesLossDuplicatesAndDelay)
{
    Sim sim(UpgradeBehaviour::Succeed, [](devsim::TftpServerConfig &c) {
        c.lossRate = 0.05;
        c.duplicate = true;
        c.replyDelayMs = 1;
    });
    Transfer run(sim.port(), 60);
    run.params.retries = 20;
    const auto image = RandomImage(400000, 7);
    ASSERT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    auto images = sim.images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].second == image);
    ExpectEvents(run, image.size(), image.size());
}

TEST(TftpClientSimulator, BlockNumbersRollOverPast65535)
{
    Sim sim(UpgradeBehaviour::Succeed);
    Transfer run(sim.port(), 500);
    run.params.blockSize = 8;
    run.params.windowSize = 64;
    const auto image = RandomImage(65536 * 8 + 100, 5); // 65549 blocks
    ASSERT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    EXPECT_TRUE(run.Logged("65549 blocks")) << run.Log();
    auto images = sim.images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].second == image);
    ExpectEvents(run, image.size(), image.size());
}

TEST(TftpClientSimulator, WithoutOptionsUsesPlainLockStep)
{
    Sim sim(UpgradeBehaviour::Succeed);
    Transfer run(sim.port());
    run.params.negotiate = false;
    const auto image = RandomImage(5000, 6);
    ASSERT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    EXPECT_TRUE(run.Logged("plain 512-byte lock-step")) << run.Log();
    // one progress event per 512-byte block
    EXPECT_EQ(run.events.size(), 1u + 5000 / 512 + 1);
    auto images = sim.images();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_TRUE(images[0].second == image);
}

TEST(TftpClientTftpd, UploadIsByteIdenticalWithoutWindowsize)
{
    if (!Tftpd::Available())
        GTEST_SKIP() << "in.tftpd (tftpd-hpa) is not installed, or no address keeps it on loopback";
    testsupport::TempDir dir;
    Tftpd tftpd(dir.path());
    ASSERT_TRUE(tftpd.running()) << "in.tftpd did not start";
    const size_t sizes[] = {1, 512, 1428, 1428 * 3, 100000, 1 << 20};
    for (size_t size : sizes) {
        Transfer run(tftpd.port());
        run.params.fileName = "fw-" + std::to_string(size) + ".bin";
        const auto image = RandomImage(size, static_cast<unsigned>(size) + 1);
        ASSERT_EQ(run.Upload(image), UploadResult::Ok) << size << "\n" << run.Log();
        // tftpd-hpa knows no windowsize: it leaves it out and the client steps
        EXPECT_TRUE(run.Logged("negotiated blksize 1428, windowsize 1")) << run.Log();
        ExpectEvents(run, size, size);
        const std::string path = dir.path() + "/" + run.params.fileName;
        for (int i = 0; i < 100 && ReadFile(path).size() != size; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(ReadFile(path) == image) << size;
    }
}

TEST(TftpClientTftpd, FallsBackToLockStepWhenNoOptionIsAcknowledged)
{
    if (!Tftpd::Available())
        GTEST_SKIP() << "in.tftpd (tftpd-hpa) is not installed, or no address keeps it on loopback";
    testsupport::TempDir dir;
    Tftpd tftpd(dir.path(), {"--refuse", "blksize", "--refuse", "tsize"});
    ASSERT_TRUE(tftpd.running()) << "in.tftpd did not start";
    Transfer run(tftpd.port());
    const auto image = RandomImage(3000, 9);
    ASSERT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    EXPECT_TRUE(run.Logged("no option acknowledgement: plain 512-byte lock-step")) << run.Log();
    const std::string path = dir.path() + "/image.bin";
    for (int i = 0; i < 100 && ReadFile(path).size() != image.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ReadFile(path) == image);
}

// A lock-step server that acknowledges every block twice, while a stranger
// on another port sends an ACK of its own.
TEST(TftpClientFake, DuplicateAcksAndStrangersCauseNoResends)
{
    const auto image = RandomImage(512 * 5 + 10, 11);
    std::map<uint16_t, int> copies;
    std::vector<uint8_t> got;
    std::vector<uint8_t> strangerAnswer;
    {
        FakeServer fake([&](UdpSocket &, const std::vector<uint8_t> &, const sockaddr_in &client) {
            UdpSocket transfer, stranger;
            transfer.SendTo(client, tftp::EncodeAck(0)); // no OACK: 512-byte lock-step
            for (;;) {
                auto bytes = transfer.Receive(std::chrono::milliseconds(500));
                if (!bytes)
                    return;
                auto p = tftp::Parse(bytes->data(), bytes->size());
                if (!p || p->opcode != tftp::Opcode::Data)
                    return;
                if (copies[p->block]++ == 0)
                    got.insert(got.end(), p->data, p->data + p->dataSize);
                transfer.SendTo(client, tftp::EncodeAck(p->block));
                transfer.SendTo(client, tftp::EncodeAck(p->block));
                if (p->block == 1) {
                    stranger.SendTo(client, tftp::EncodeAck(1));
                    strangerAnswer = stranger.Receive(std::chrono::milliseconds(500)).value_or(std::vector<uint8_t>{});
                }
                if (p->dataSize < 512)
                    return;
            }
        });
        Transfer run(fake.port(), 300);
        run.params.negotiate = false;
        EXPECT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    } // the fake's thread has ended here
    EXPECT_TRUE(got == image);
    for (const auto &[block, n] : copies)
        EXPECT_EQ(n, 1) << "block " << block << " sent " << n << " times";
    auto answer = tftp::Parse(strangerAnswer.data(), strangerAnswer.size());
    ASSERT_TRUE(answer) << "the stranger heard nothing";
    EXPECT_EQ(answer->opcode, tftp::Opcode::Error);
    EXPECT_EQ(answer->errorCode, tftp::ErrUnknownTid);
}

TEST(TftpClientFake, AnswersToTheWriteRequestDecideTheResult)
{
    struct Case
    {
        const char *what;
        std::vector<uint8_t> answer;
        UploadResult result;
        bool refusal;
    };
    const Case cases[] = {
        {"blksize above the request", tftp::EncodeOack({{"blksize", "2000"}}), UploadResult::DeviceError, true},
        {"windowsize above the request", tftp::EncodeOack({{"windowsize", "17"}}), UploadResult::DeviceError, true},
        {"option never asked", tftp::EncodeOack({{"rollover", "0"}}), UploadResult::DeviceError, true},
        {"error", tftp::EncodeError(tftp::ErrDiskFull, "flash full"), UploadResult::DeviceError, false},
        {"busy", tftp::EncodeError(tftp::ErrNotDefined, "Busy"), UploadResult::NoAnswer, false},
        {"malformed OACK is ignored", {0, 6, 'b', 'l', 'k'}, UploadResult::NoAnswer, false},
        {"DATA is not an answer", tftp::EncodeData(1, nullptr, 0), UploadResult::NoAnswer, false},
    };
    for (const Case &c : cases) {
        std::optional<uint16_t> refusedWith;
        {
            FakeServer fake([&](UdpSocket &, const std::vector<uint8_t> &, const sockaddr_in &client) {
                UdpSocket transfer;
                transfer.SendTo(client, c.answer);
                if (auto bytes = transfer.Receive(std::chrono::milliseconds(300)))
                    if (auto p = tftp::Parse(bytes->data(), bytes->size()); p && p->opcode == tftp::Opcode::Error)
                        refusedWith = p->errorCode;
            });
            Transfer run(fake.port(), 50);
            run.params.retries = 1;
            EXPECT_EQ(run.Upload(RandomImage(2000, 1)), c.result) << c.what << "\n" << run.Log();
            EXPECT_TRUE(run.events.empty()) << c.what;
        }
        EXPECT_EQ(refusedWith.has_value(), c.refusal) << c.what;
        if (c.refusal && refusedWith) {
            EXPECT_EQ(*refusedWith, tftp::ErrOptionRefused) << c.what;
        }
    }
}

namespace {

std::vector<uint8_t> Oack(uint16_t blockSize, uint16_t window)
{
    return tftp::EncodeOack({{"blksize", std::to_string(blockSize)}, {"windowsize", std::to_string(window)}});
}

} // namespace

// Two ACKs from inside one window arrive together, as when a receiver
// reports a gap and then the block after it: one resend, not two, from the
// gap the later one names.
TEST(TftpClientFake, GapReportsWithinARoundTripRestartTheWindowOnce)
{
    const auto image = RandomImage(10 * 8 + 3, 12); // 11 blocks of 8 bytes, the last short
    std::map<uint16_t, int> copies;
    std::vector<uint8_t> got;
    tftp::UploadStats stats;
    {
        FakeServer fake([&](UdpSocket &, const std::vector<uint8_t> &, const sockaddr_in &client) {
            UdpSocket transfer;
            // a round trip of at least 20 ms, measured on the request
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            transfer.SendTo(client, Oack(8, 4));
            std::optional<tftp::Packet> p;
            std::vector<uint8_t> keep;
            auto next = [&]() -> bool {
                auto bytes = transfer.Receive(std::chrono::milliseconds(500));
                if (!bytes)
                    return false;
                keep = std::move(*bytes);
                p = tftp::Parse(keep.data(), keep.size());
                if (!p || p->opcode != tftp::Opcode::Data)
                    return false;
                ++copies[p->block];
                return true;
            };
            for (int i = 0; i < 4; ++i)
                if (!next())
                    return;
            got.assign(image.begin(), image.begin() + 16); // blocks 1 and 2 kept, 3 and 4 "lost"
            transfer.SendTo(client, tftp::EncodeAck(1));
            transfer.SendTo(client, tftp::EncodeAck(2));
            uint16_t expected = 3;
            int inWindow = 0;
            while (next()) {
                if (p->block != expected)
                    continue;
                got.insert(got.end(), p->data, p->data + p->dataSize);
                ++expected;
                if (++inWindow == 4 || p->dataSize < 8) {
                    inWindow = 0;
                    transfer.SendTo(client, tftp::EncodeAck(p->block));
                }
                if (p->dataSize < 8)
                    return;
            }
        });
        Transfer run(fake.port(), 1000);
        run.params.blockSize = 8;
        run.params.windowSize = 4;
        run.params.stats = &stats;
        EXPECT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    }
    EXPECT_TRUE(got == image);
    EXPECT_EQ(stats.restarts, 1u);
    // the resend starts at the gap the last report named, block 3, and
    // tops up a window from there: blocks 3 to 6
    for (const auto &[block, n] : copies)
        EXPECT_EQ(n, block >= 3 && block <= 6 ? 2 : 1) << "block " << block;
}

// A device that falls silent for longer than a few short time-outs, but
// less than the fixed waits of old added up, is waited for. The device
// stays busy until the client has resent more often than `retries`, so
// the scenario does not hang on how fast this machine happens to be.
TEST(TftpClientFake, APauseShorterThanThePatienceIsSurvived)
{
    const auto image = RandomImage(512 * 5 + 1, 13);
    constexpr int kRetries = 3;
    int pausedCopies = 0;
    std::vector<uint8_t> got;
    {
        FakeServer fake([&](UdpSocket &, const std::vector<uint8_t> &, const sockaddr_in &client) {
            UdpSocket transfer;
            transfer.SendTo(client, tftp::EncodeAck(0)); // lock-step
            uint16_t expected = 1;
            while (auto bytes = transfer.Receive(std::chrono::milliseconds(5000))) {
                auto p = tftp::Parse(bytes->data(), bytes->size());
                if (!p || p->opcode != tftp::Opcode::Data)
                    return;
                // busy writing flash: what comes meanwhile is not answered
                if (p->block == 3 && ++pausedCopies <= kRetries + 1)
                    continue;
                if (p->block == expected) {
                    got.insert(got.end(), p->data, p->data + p->dataSize);
                    ++expected;
                }
                transfer.SendTo(client, tftp::EncodeAck(static_cast<uint16_t>(expected - 1)));
                if (p->dataSize < 512 && p->block == expected - 1)
                    return;
            }
        });
        // patience (3 + 1) x 1 s; loopback round trips keep each wait far shorter
        Transfer run(fake.port(), 1000);
        run.params.retries = kRetries;
        run.params.negotiate = false;
        EXPECT_EQ(run.Upload(image), UploadResult::Ok) << run.Log();
    }
    EXPECT_TRUE(got == image);
}

TEST(TftpClientFake, DeviceErrorTextReachesTheLogCleaned)
{
    const std::string hostile = "\x1b]0;owned\x07\x1b[2J\r\n" + std::string(100, 'A');
    for (bool duringTransfer : {false, true}) {
        FakeServer fake([&](UdpSocket &, const std::vector<uint8_t> &, const sockaddr_in &client) {
            UdpSocket transfer;
            if (duringTransfer) {
                transfer.SendTo(client, tftp::EncodeAck(0));
                transfer.Receive(std::chrono::milliseconds(500));
            }
            transfer.SendTo(client, tftp::EncodeError(tftp::ErrDiskFull, hostile));
        });
        Transfer run(fake.port(), 300);
        run.params.negotiate = false;
        EXPECT_EQ(run.Upload(RandomImage(2000, 2)), UploadResult::DeviceError) << run.Log();
        bool found = false;
        for (const auto &line : run.log) {
            for (char c : line)
                EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << "control character in: " << line;
            const auto at = line.find("device error 3: \"");
            if (at == std::string::npos)
                continue;
            found = true;
            const std::string text = line.substr(at + 17, line.size() - at - 18);
            EXPECT_EQ(text, "?]0;owned??[2J??" + std::string(48, 'A')) << line;
        }
        EXPECT_TRUE(found) << run.Log();
    }
}
