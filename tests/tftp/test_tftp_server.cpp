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
    struct Case { const char *what; Opcode opcode; std::string name; std::string mode; tftp::Options options; uint16_t error; };
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
    client.SendTo(server.address(), tftp::EncodeRequest(tftp::Opcode::Wrq, "fw/a.bin", "octet",
                                                        {{"blksize", "100000"}, {"windowsize", "500"},
                                                         {"tsize", "10"}, {"rollover", "0"}}));
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
