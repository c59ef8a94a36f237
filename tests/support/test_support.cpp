// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace testsupport {

namespace {
std::string env(const char *name, const char *fallback)
{
    const char *v = std::getenv(name);
    return v && *v ? v : fallback;
}
} // namespace

std::string BinDir()
{
    return env("NETSCRY_BIN_DIR", NETSCRY_DEFAULT_BIN_DIR);
}

std::string SourceDir()
{
    return env("NETSCRY_SOURCE_DIR", NETSCRY_DEFAULT_SOURCE_DIR);
}

TempDir::TempDir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "netscry-test-XXXXXX").string();
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool InPrivateNetns()
{
    return env("NETSCRY_NETNS", "0") == "1";
}

} // namespace testsupport
