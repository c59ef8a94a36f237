// SPDX-License-Identifier: MIT
// The TFTP codec: parsers reject what is malformed, accept what is not,
// and the encoders produce what the parsers read back.
#include "tftp_packet.h"

#include <gtest/gtest.h>

#include <string>

using namespace tvp::tftp;

namespace {

std::vector<uint8_t> Bytes(std::string_view s)
{
    return {s.begin(), s.end()};
}

std::optional<Packet> ParseText(std::string_view s)
{
    auto b = Bytes(s);
    return Parse(b.data(), b.size());
}

using namespace std::string_literals;

} // namespace

TEST(TftpCodec, RejectsMalformedPackets)
{
    const std::string longName(kMaxField + 1, 'a');
    struct Case
    {
        const char *why;
        std::string bytes;
    };
    const Case cases[] = {
        {"empty", ""},
        {"one byte", "\0"s},
        {"opcode 0", "\0\0\0\1"s},
        {"opcode 7", "\0\7\0\1"s},
        {"truncated DATA", "\0\3\0"s},
        {"truncated ACK", "\0\4\1"s},
        {"truncated ERROR", "\0\5\0"s},
        {"WRQ without terminator", "\0\2file"s},
        {"WRQ without mode", "\0\2file\0"s},
        {"WRQ with unterminated mode", "\0\2file\0octet"s},
        {"WRQ with empty name", "\0\2\0octet\0"s},
        {"WRQ with empty mode", "\0\2file\0\0"s},
        {"WRQ with option missing its value", "\0\2f\0octet\0blksize\0"s},
        {"WRQ with unterminated value", "\0\2f\0octet\0blksize\0"
                                        "512"s},
        {"WRQ with over-long name", "\0\2"s + longName + "\0octet\0"s},
        {"WRQ with repeated option", "\0\2f\0octet\0tsize\0"
                                     "1\0TSIZE\0"
                                     "2\0"s},
        {"OACK with empty option name", "\0\6\0"
                                        "1\0"s},
        {"OACK with unterminated value", "\0\6blksize\0"
                                         "1428"s},
        {"DATA above the largest block", "\0\3\0\1"s + std::string(kMaxBlockSize + 1, 'x')},
    };
    for (const Case &c : cases)
        EXPECT_FALSE(ParseText(c.bytes)) << c.why;
}

TEST(TftpCodec, ParsesEachOpcode)
{
    auto wrq = ParseText("\0\2fw/image.bin\0OcTeT\0BLKSIZE\0"
                         "1428\0tsize\0"
                         "0\0"s);
    ASSERT_TRUE(wrq);
    EXPECT_EQ(wrq->opcode, Opcode::Wrq);
    EXPECT_EQ(wrq->text, "fw/image.bin");
    EXPECT_EQ(wrq->mode, "octet");
    EXPECT_EQ(wrq->options, (Options{{"blksize", "1428"}, {"tsize", "0"}}));

    const auto dataBytes = Bytes("\0\3\xff\xfe"
                                 "abc"s); // the payload points into it
    auto data = Parse(dataBytes.data(), dataBytes.size());
    ASSERT_TRUE(data);
    EXPECT_EQ(data->block, 0xfffe);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(data->data), data->dataSize), "abc");

    auto emptyData = ParseText("\0\3\0\7"s);
    ASSERT_TRUE(emptyData);
    EXPECT_EQ(emptyData->dataSize, 0u);

    auto padded = ParseText("\0\4\1\2\0\0"s);
    ASSERT_TRUE(padded);
    EXPECT_EQ(padded->opcode, Opcode::Ack);
    EXPECT_EQ(padded->block, 0x0102);

    auto oack = ParseText("\0\6windowsize\0"
                          "16\0"s);
    ASSERT_TRUE(oack);
    EXPECT_EQ(oack->options, (Options{{"windowsize", "16"}}));
    auto emptyOack = ParseText("\0\6"s);
    ASSERT_TRUE(emptyOack);
    EXPECT_TRUE(emptyOack->options.empty());
}

TEST(TftpCodec, ErrorMessagesAreCutNotOverread)
{
    struct Case
    {
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"\0\5\0\1missing\0"s, "missing"},
        {"\0\5\0\1no terminator"s, "no terminator"},
        {"\0\5\0\1"s, ""},
        {"\0\5\0\1"s + std::string(1000, 'm') + "\0"s, std::string(kMaxField, 'm')},
    };
    for (const Case &c : cases) {
        auto p = ParseText(c.bytes);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->errorCode, 1);
        EXPECT_EQ(p->text, c.message);
    }
}

TEST(TftpCodec, EncodersRoundTrip)
{
    const Options opts{{"blksize", "1428"}, {"tsize", "4194304"}, {"windowsize", "16"}};
    auto wrq = EncodeRequest(Opcode::Wrq, "image.bin", "octet", opts);
    auto p = Parse(wrq.data(), wrq.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->text, "image.bin");
    EXPECT_EQ(p->options, opts);

    const uint8_t payload[] = {1, 2, 3, 0, 5};
    auto data = EncodeData(65535, payload, sizeof payload);
    p = Parse(data.data(), data.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->block, 65535);
    EXPECT_EQ(std::vector<uint8_t>(p->data, p->data + p->dataSize), std::vector<uint8_t>(payload, payload + 5));

    auto error = EncodeError(ErrNotDefined, kBusyMessage);
    p = Parse(error.data(), error.size());
    ASSERT_TRUE(p);
    EXPECT_TRUE(IsBusy(*p));

    auto oack = EncodeOack(opts);
    p = Parse(oack.data(), oack.size());
    ASSERT_TRUE(p);
    EXPECT_EQ(p->options, opts);
}

TEST(TftpCodec, BusyIsErrorZeroWithTheWordBusy)
{
    struct Case
    {
        uint16_t code;
        const char *message;
        bool busy;
    };
    const Case cases[] = {
        {0, "busy", true}, {0, "BUSY", true}, {0, "busy now", false}, {1, "busy", false}, {0, "", false},
    };
    for (const Case &c : cases) {
        auto e = EncodeError(c.code, c.message);
        auto p = Parse(e.data(), e.size());
        ASSERT_TRUE(p);
        EXPECT_EQ(IsBusy(*p), c.busy) << c.code << " " << c.message;
    }
}

TEST(TftpCodec, DecimalIsStrict)
{
    struct Case
    {
        const char *text;
        uint64_t max;
        std::optional<uint64_t> value;
    };
    const Case cases[] = {
        {"0", 10, 0},   {"1428", 65464, 1428}, {"65464", 65464, 65464}, {"65465", 65464, {}},
        {"", 10, {}},   {"+1", 10, {}},        {"-1", 10, {}},          {" 1", 10, {}},
        {"1 ", 10, {}}, {"0x10", 100, {}},     {"00012", 100, 12},      {"99999999999999999999", UINT64_MAX, {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ParseDecimal(c.text, c.max), c.value) << c.text;
}

TEST(TftpCodec, OackAcceptedOnlyWithinWhatWasAsked)
{
    const Options asked{{"blksize", "1428"}, {"tsize", "1000"}, {"windowsize", "16"}};
    struct Case
    {
        const char *why;
        Options granted;
        bool ok;
        uint16_t block;
        uint16_t window;
    };
    const Case cases[] = {
        {"everything granted", {{"blksize", "1428"}, {"tsize", "1000"}, {"windowsize", "16"}}, true, 1428, 16},
        {"no windowsize: lock-step", {{"blksize", "1428"}, {"tsize", "1000"}}, true, 1428, 1},
        {"smaller values", {{"blksize", "512"}, {"windowsize", "4"}}, true, 512, 4},
        {"empty OACK", {}, true, 512, 1},
        {"blksize above the request", {{"blksize", "1429"}}, false, 0, 0},
        {"blksize below 8", {{"blksize", "7"}}, false, 0, 0},
        {"blksize not a number", {{"blksize", "big"}}, false, 0, 0},
        {"windowsize above the request", {{"windowsize", "17"}}, false, 0, 0},
        {"windowsize 0", {{"windowsize", "0"}}, false, 0, 0},
        {"option never asked", {{"timeout", "5"}}, false, 0, 0},
        {"tsize not a number", {{"tsize", "-5"}}, false, 0, 0},
    };
    for (const Case &c : cases) {
        auto n = AcceptOack(asked, c.granted);
        ASSERT_EQ(n.has_value(), c.ok) << c.why;
        if (n) {
            EXPECT_EQ(n->blockSize, c.block) << c.why;
            EXPECT_EQ(n->windowSize, c.window) << c.why;
        }
    }
}
