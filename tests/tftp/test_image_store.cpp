// SPDX-License-Identifier: MIT
// The simulator's handling of a received image: SHA-256 and the store.
#include "image_store.h"
#include "test_support.h"
#include "tftp_peers.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace fs = std::filesystem;

TEST(ImageStore, Sha256MatchesKnownDigests)
{
    struct Case
    {
        std::string input;
        const char *digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the first padded block
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(devsim::Sha256Hex(reinterpret_cast<const uint8_t *>(c.input.data()), c.input.size()), c.digest)
            << c.input.size() << " bytes";
}

TEST(ImageStore, WritesUnderTheDeviceAddressAndLeavesNothingHalfWritten)
{
    testsupport::TempDir root;
    const auto image = tftptest::RandomImage(100000, 3);
    std::string error;
    const std::string path = devsim::StoreImage(root.path(), 0x7f00000b, "fw/new.bin", image, &error);
    ASSERT_EQ(path, root.path() + "/127.0.0.11/fw/new.bin") << error;
    EXPECT_TRUE(tftptest::ReadFile(path) == image);
    // a second image of the same name replaces the first whole
    const auto second = tftptest::RandomImage(10, 4);
    ASSERT_FALSE(devsim::StoreImage(root.path(), 0x7f00000b, "fw/new.bin", second, &error).empty()) << error;
    EXPECT_TRUE(tftptest::ReadFile(path) == second);
    size_t files = 0;
    for (const auto &entry : fs::recursive_directory_iterator(root.path()))
        files += entry.is_regular_file();
    EXPECT_EQ(files, 1u) << "a temporary file was left behind";
}

TEST(ImageStore, RefusesNamesThatLeaveTheDeviceFolder)
{
    testsupport::TempDir root;
    const std::vector<uint8_t> image = {1, 2, 3};
    for (const char *name :
         {"", "/etc/fw.bin", "\\fw.bin", "C:fw.bin", "..", "../fw.bin", "fw/../../x.bin", "fw\\..\\x.bin", "fw/"}) {
        std::string error;
        EXPECT_TRUE(devsim::StoreImage(root.path(), 0x7f000001, name, image, &error).empty()) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
    // nothing written anywhere under the store, not even beside the device folder
    for (const auto &entry : fs::recursive_directory_iterator(root.path()))
        EXPECT_FALSE(entry.is_regular_file()) << entry.path();
}

TEST(ImageStore, NamesWindowsWouldStoreElsewhereAreTold)
{
    struct Case
    {
        const char *part;
        bool refused;
    };
    const Case cases[] = {
        {"fw.bin", false},      {"firmware-2.1.img", false},
        {".", false},           {"", false},
        {"CON", true},          {"con.bin", true},
        {"NUL", true},          {"nul .txt", true},
        {"COM1", true},         {"lpt9.img", true},
        {"AUX", true},          {"CONOUT$", true},
        {"console.bin", false}, {"COM10", false},
        {"COMX", false},        {"img.bin:stream", true},
        {"a<b", true},          {"a|b", true},
        {"a?b", true},          {"tab\there", true},
        {"fw.bin.", true},      {"fw.bin ", true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(!devsim::WindowsNamePartProblem(c.part).empty(), c.refused) << '"' << c.part << '"';
}
