// SPDX-License-Identifier: MIT
// 4 MiB uploads through TVPUpgradeDevice over links that lose, duplicate
// and reorder packets (the seeded relay of the test support): windowed to
// the simulator, which stores what it received, and to atftpd, lock-step to
// tftpd-hpa.
// Every upload must end with result 0 and the very bytes that were sent.
#include "devsim_process.h"
#include "image_store.h"
#include "test_support.h"
#include "tftp_peers.h"
#include "tvp.h"
#include "udp_relay.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace tftptest;

namespace {

constexpr size_t kImageSize = 4 << 20;
constexpr uint32_t kDevice = 0x7f00000b; // 127.0.0.11, a device of the sample LAN that takes upgrades

struct Link
{
    const char *name;
    testsupport::Impairment impairment;
};

// gtest names the case; its bytes are no use in a report
void PrintTo(const Link &link, std::ostream *out)
{
    *out << link.name;
}

std::vector<std::string> g_log;

void TVP_CALL Collect(uint32_t code, const void *record)
{
    if (code == TVPEventLog) {
        const char *text = static_cast<const TVPLogRecord *>(record)->Text;
        g_log.push_back(text ? text : "");
    }
}

std::string Tail(size_t lines)
{
    TVPProcessEvents();
    std::string out;
    for (size_t i = g_log.size() > lines ? g_log.size() - lines : 0; i < g_log.size(); ++i)
        out += g_log[i] + "\n";
    return out;
}

bool Logged(const std::string &text)
{
    TVPProcessEvents();
    for (const auto &line : g_log)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

class ImpairedUpload : public ::testing::TestWithParam<Link>
{
protected:
    void SetUp() override
    {
        g_log.clear();
        TVPCleanup();
        TVPSetApplicationCallback(Collect, 1);
        image = RandomImage(kImageSize, 77);
        path = source.path() + "/image.bin";
        WriteFile(path, image);
    }
    void TearDown() override
    {
        TVPCleanup();
        unsetenv("TVP_TFTP_PORT");
    }
    // Uploads through the relay, which listens on 127.0.0.1.
    int32_t Upgrade(const testsupport::UdpRelay &relay)
    {
        setenv("TVP_TFTP_PORT", std::to_string(relay.port()).c_str(), 1);
        unsetenv("TVP_TFTP_TIMEOUT_MS"); // the shipped time-outs, adaptive from 1 s
        TVPCleanup();
        TVPSetApplicationCallback(Collect, 1);
        return TVPUpgradeDevice(path.c_str(), "127.0.0.1");
    }
    // Duplicated packets are answered, never multiplied: a copy is not a
    // loss, so it must not make the sender resend a window.
    void ExpectNoStorm(const testsupport::UdpRelay &relay, size_t blockSize)
    {
        if (GetParam().impairment.duplicate == 0)
            return;
        const double blocks = static_cast<double>(kImageSize / blockSize + 1);
        const auto counts = relay.counts();
        EXPECT_LT(counts.dataFromClient, 1.5 * blocks)
            << counts.dataFromClient << " DATA packets sent for " << blocks << " blocks";
    }

    testsupport::TempDir source;
    std::vector<uint8_t> image;
    std::string path;
};

} // namespace

using ImpairedSimulator = ImpairedUpload;
using ImpairedTftpd = ImpairedUpload;
using ImpairedAtftpd = ImpairedUpload;

TEST_P(ImpairedSimulator, WindowedUploadIsStoredByteForByte)
{
    testsupport::TempDir store;
    testsupport::DevSim sim({"--store", store.path(), "--quiet"});
    ASSERT_TRUE(sim.Start()) << "tvp-devsim did not start";
    testsupport::UdpRelay relay(kDevice, sim.TftpPort(), GetParam().impairment);
    ASSERT_EQ(Upgrade(relay), TVPUpgradeOK) << Tail(30);
    EXPECT_TRUE(Logged("negotiated blksize 1428, windowsize 16")) << "not a windowed transfer";

    const std::string digest = devsim::Sha256Hex(image.data(), image.size());
    ASSERT_TRUE(sim.WaitForLine("sha256 " + digest)) << "no received line with the image's SHA-256";
    EXPECT_TRUE(ReadFile(store.path() + "/127.0.0.11/image.bin") == image);
    sim.Stop(); // every line is in
    int received = 0;
    for (const auto &line : sim.LogLines())
        received += line.find(" received \"image.bin\"") != std::string::npos;
    EXPECT_EQ(received, 1);
    ExpectNoStorm(relay, 1428);
}

TEST_P(ImpairedTftpd, LockStepUploadArrivesByteForByte)
{
    if (!Tftpd::Available())
        GTEST_SKIP() << "in.tftpd (tftpd-hpa) is not installed, or no address keeps it on loopback";
    testsupport::TempDir root;
    Tftpd tftpd(root.path());
    ASSERT_TRUE(tftpd.running()) << "in.tftpd did not start";
    testsupport::UdpRelay relay(kLoopback, tftpd.port(), GetParam().impairment);
    ASSERT_EQ(Upgrade(relay), TVPUpgradeOK) << Tail(30);
    EXPECT_TRUE(Logged("negotiated blksize 1428, windowsize 1,")) << "not a lock-step transfer";
    // tftpd-hpa writes as it goes: once the last block is acknowledged the
    // file is complete, but its process may not have closed it yet
    const std::string file = root.path() + "/image.bin";
    for (int i = 0; i < 200 && ReadFile(file).size() != image.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ReadFile(file) == image);
    ExpectNoStorm(relay, 1428);
}

TEST_P(ImpairedAtftpd, WindowedUploadArrivesByteForByte)
{
    if (!Atftpd::Available())
        GTEST_SKIP() << "atftpd is not installed (or $NETSCRY_ATFTPD names no program)";
    testsupport::TempDir root;
    Atftpd atftpd(root.path());
    ASSERT_TRUE(atftpd.running()) << "atftpd did not start";
    testsupport::UdpRelay relay(kLoopback, atftpd.port(), GetParam().impairment);
    ASSERT_EQ(Upgrade(relay), TVPUpgradeOK) << Tail(30);
    EXPECT_TRUE(Logged("negotiated blksize 1428, windowsize 16")) << "not a windowed transfer";
    const std::string file = root.path() + "/image.bin";
    for (int i = 0; i < 200 && ReadFile(file).size() != image.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(ReadFile(file) == image);
    ExpectNoStorm(relay, 1428);
}

namespace {

testsupport::Impairment Make(double loss, double duplicate, double reorder, uint32_t seed)
{
    testsupport::Impairment i;
    i.loss = loss;
    i.duplicate = duplicate;
    i.reorder = reorder;
    i.seed = seed;
    return i;
}

const Link kLinks[] = {
    {"Loss1", Make(0.01, 0, 0, 11)},
    {"Loss10", Make(0.10, 0, 0, 12)},
    {"Duplicate10", Make(0, 0.10, 0, 13)},
    {"Reorder25", Make(0, 0, 0.25, 14)},
};

std::string Name(const ::testing::TestParamInfo<Link> &info)
{
    return info.param.name;
}

} // namespace

INSTANTIATE_TEST_SUITE_P(Links, ImpairedSimulator, ::testing::ValuesIn(kLinks), Name);
INSTANTIATE_TEST_SUITE_P(Links, ImpairedTftpd, ::testing::ValuesIn(kLinks), Name);
// Not 10 % loss: atftpd 0.8 itself then stops answering a few hundred
// blocks in (it ignores resent blocks it has acknowledged, and its own
// re-acknowledgement never comes), whatever the sender does.
const Link kAtftpdLinks[] = {kLinks[0], kLinks[2], kLinks[3]};
INSTANTIATE_TEST_SUITE_P(Links, ImpairedAtftpd, ::testing::ValuesIn(kAtftpdLinks), Name);
