// SPDX-License-Identifier: MIT
// The simulator's TFTP server: what it refuses in a request, and how it
// guards a transfer's id.
#include "tftp_packet.h"
#include "tftp_peers.h"
#include "tftp_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using namespace tftptest;
namespace tftp = tvp::tftp;

namespace {

class Server
{
public:
    Server()
    {
        devsim::TftpServerConfig c;
        c.behaviourFor = [](uint32_t) { return std::optional(devsim::UpgradeBehaviour::Succeed); };
        server_ = std::make_unique<devsim::TftpServer>(c);
        if (!server_->Start())
            throw std::runtime_error("simulator TFTP server did not start");
    }
    sockaddr_in address() const
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(kLoopback);
        sa.sin_port = htons(server_->Port());
        return sa;
    }

private:
    std::unique_ptr<devsim::TftpServer> server_;
};

std::optional<tftp::Packet> Answer(UdpSocket &s, std::vector<uint8_t> &keep, sockaddr_in *from = nullptr)
{
    auto bytes = s.Receive(std::chrono::milliseconds(1000), from);
    if (!bytes)
        return std::nullopt;
    keep = std::move(*bytes);
    return tftp::Parse(keep.data(), keep.size());
}

} // namespace

TEST(TftpServer, RefusesWhatItMustNotStore)
{
    Server server;
    using tftp::Opcode;
    struct Case
    {
        const char *what;
        Opcode opcode;
        std::string name;
        std::string mode;
        tftp::Options options;
        uint16_t error;
    };
    const Case cases[] = {
        {"parent folder", Opcode::Wrq, "../fw.bin", "octet", {}, tftp::ErrAccessViolation},
        {"parent inside", Opcode::Wrq, "fw/../../fw.bin", "octet", {}, tftp::ErrAccessViolation},
        {"backslash parent", Opcode::Wrq, "fw\\..\\fw.bin", "octet", {}, tftp::ErrAccessViolation},
        {"absolute", Opcode::Wrq, "/etc/fw.bin", "octet", {}, tftp::ErrAccessViolation},
        {"drive letter", Opcode::Wrq, "C:fw.bin", "octet", {}, tftp::ErrAccessViolation},
        {"text mode", Opcode::Wrq, "fw.bin", "netascii", {}, tftp::ErrIllegalOperation},
        {"read request", Opcode::Rrq, "fw.bin", "octet", {}, tftp::ErrIllegalOperation},
        {"image too large", Opcode::Wrq, "fw.bin", "octet", {{"tsize", "1000000000"}}, tftp::ErrDiskFull},
    };
    for (const Case &c : cases) {
        UdpSocket client;
        client.SendTo(server.address(), tftp::EncodeRequest(c.opcode, c.name, c.mode, c.options));
        std::vector<uint8_t> keep;
        auto answer = Answer(client, keep);
        ASSERT_TRUE(answer) << c.what;
        EXPECT_EQ(answer->opcode, Opcode::Error) << c.what;
        EXPECT_EQ(answer->errorCode, c.error) << c.what;
    }
}

TEST(TftpServer, GrantsOptionsWithinItsLimitsAndGuardsTheTransferId)
{
    Server server;
    UdpSocket client;
    client.SendTo(
        server.address(),
        tftp::EncodeRequest(tftp::Opcode::Wrq, "fw/a.bin", "octet",
                            {{"blksize", "100000"}, {"windowsize", "500"}, {"tsize", "10"}, {"rollover", "0"}}));
    std::vector<uint8_t> keep;
    sockaddr_in transfer{};
    auto oack = Answer(client, keep, &transfer);
    ASSERT_TRUE(oack);
    ASSERT_EQ(oack->opcode, tftp::Opcode::Oack);
    EXPECT_EQ(oack->options, (tftp::Options{{"blksize", "65464"}, {"windowsize", "64"}, {"tsize", "10"}}));
    EXPECT_NE(transfer.sin_port, server.address().sin_port); // a port of its own

    UdpSocket stranger;
    const uint8_t bytes[10] = {};
    stranger.SendTo(transfer, tftp::EncodeData(1, bytes, sizeof bytes));
    auto refusal = Answer(stranger, keep);
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->opcode, tftp::Opcode::Error);
    EXPECT_EQ(refusal->errorCode, tftp::ErrUnknownTid);

    // the transfer itself goes on
    client.SendTo(transfer, tftp::EncodeData(1, bytes, sizeof bytes));
    auto ack = Answer(client, keep);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->opcode, tftp::Opcode::Ack);
    EXPECT_EQ(ack->block, 1);
}

namespace {

// A client scripted block by block against the simulator's server.
class Script
{
public:
    Script(const Server &server, uint16_t window, uint16_t blockSize)
        : blockSize_(blockSize)
    {
        client_.SendTo(server.address(), tftp::EncodeRequest(tftp::Opcode::Wrq, "fw.bin", "octet",
                                                             {{"blksize", std::to_string(blockSize)},
                                                              {"windowsize", std::to_string(window)}}));
        std::vector<uint8_t> keep;
        auto oack = Answer(client_, keep, &transfer_);
        if (!oack || oack->opcode != tftp::Opcode::Oack)
            throw std::runtime_error("no OACK");
    }
    // Sends DATA `block` (numbered from 1; the last one short).
    void Send(uint16_t block, bool last = false)
    {
        std::vector<uint8_t> payload(last ? blockSize_ / 2 : blockSize_, static_cast<uint8_t>(block));
        client_.SendTo(transfer_, tftp::EncodeData(block, payload.data(), payload.size()));
    }
    // The block numbers of the ACKs heard until `wait` passes in silence;
    // a repeated OACK stands for the ACK of block 0, -1 for anything else.
    std::vector<int> Acks(std::chrono::milliseconds wait = std::chrono::milliseconds(150))
    {
        std::vector<int> acks;
        while (auto bytes = client_.Receive(wait)) {
            auto p = tftp::Parse(bytes->data(), bytes->size());
            acks.push_back(!p                                ? -1
                           : p->opcode == tftp::Opcode::Ack  ? p->block
                           : p->opcode == tftp::Opcode::Oack ? 0
                                                             : -1);
        }
        return acks;
    }
    std::optional<tftp::Packet> Next(std::chrono::milliseconds wait, std::vector<uint8_t> &keep)
    {
        auto bytes = client_.Receive(wait);
        if (!bytes)
            return std::nullopt;
        keep = std::move(*bytes);
        return tftp::Parse(keep.data(), keep.size());
    }

private:
    UdpSocket client_;
    sockaddr_in transfer_{};
    uint16_t blockSize_;
};

} // namespace

// Blocks 1 and 2 of a window of four swapped on the way: the server must
// name the last block it has in order, so that the resent window is taken.
TEST(TftpServer, WindowDeliveredOutOfOrderThenResent)
{
    Server server;
    Script s(server, 4, 8);
    s.Send(2); // overtook block 1: a gap, nothing in order yet
    s.Send(1);
    s.Send(3); // block 2 was thrown away: a gap after block 1
    s.Send(4);
    EXPECT_EQ(s.Acks(), (std::vector<int>{0, 1}));
    // the sender resends from block 2, a full window
    for (uint16_t b = 2; b <= 5; ++b)
        s.Send(b);
    EXPECT_EQ(s.Acks(), (std::vector<int>{5}));
    // a late copy of an acknowledged block: its ACK is repeated, once
    s.Send(4);
    s.Send(3);
    EXPECT_EQ(s.Acks(), (std::vector<int>{5}));
    for (uint16_t b = 6; b <= 8; ++b)
        s.Send(b);
    s.Send(9, true);
    EXPECT_EQ(s.Acks(), (std::vector<int>{9}));
}

TEST(TftpServer, CopiesOfBlocksNotYetAcknowledgedRestartNothing)
{
    Server server;
    Script s(server, 4, 8);
    // every block duplicated, as a link may: one ACK per window, and the
    // copy of a window's last block, already acknowledged, repeats that ACK
    for (uint16_t b = 1; b <= 8; ++b) {
        s.Send(b);
        s.Send(b);
    }
    EXPECT_EQ(s.Acks(), (std::vector<int>{4, 4, 8, 8}));
    // a gap is reported once, however many blocks follow it
    for (uint16_t b = 10; b <= 12; ++b)
        s.Send(b);
    EXPECT_EQ(s.Acks(), (std::vector<int>{8}));
}

TEST(TftpServer, AcknowledgesTheLastInOrderBlockWhenTheSenderFallsQuiet)
{
    Server server;
    Script s(server, 8, 8);
    std::vector<uint8_t> keep;
    // nothing sent after the OACK: the OACK itself is repeated, since an
    // ACK 0 would tell the client that no option was granted
    auto again = s.Next(std::chrono::milliseconds(2500), keep);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->opcode, tftp::Opcode::Oack);
    for (uint16_t b = 1; b <= 3; ++b)
        s.Send(b);
    s.Send(5);
    EXPECT_EQ(s.Acks(), (std::vector<int>{3})); // the gap at 4
    s.Send(4);
    // a window of 8 counted from the ACK of 3 is not full: the server waits,
    // then reports block 4, not the ACK it sent last
    auto ack = s.Next(std::chrono::milliseconds(2500), keep);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->opcode, tftp::Opcode::Ack);
    EXPECT_EQ(ack->block, 4);
}
