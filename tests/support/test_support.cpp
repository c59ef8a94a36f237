// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#ifdef _WIN32
#include <windows.h>
#endif

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
#ifdef _WIN32
    // the build tree's path may mean nothing where the tests run (Wine, a
    // copy on a Windows machine); the programs sit beside the test
    char self[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    if (n > 0 && n < sizeof self && !std::getenv("NETSCRY_BIN_DIR"))
        return std::filesystem::path(self).parent_path().string();
#endif
    return env("NETSCRY_BIN_DIR", NETSCRY_DEFAULT_BIN_DIR);
}

std::string SourceDir()
{
    return env("NETSCRY_SOURCE_DIR", NETSCRY_DEFAULT_SOURCE_DIR);
}

TempDir::TempDir()
{
    // create_directory fails on a name that exists, so no two tests share one
    std::random_device seed;
    std::mt19937_64 random(seed());
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        auto candidate = base / ("netscry-test-" + std::to_string(random() % 1000000000));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
        if (ec)
            throw std::runtime_error("cannot create a directory in " + base.string() + ": " + ec.message());
    }
    throw std::runtime_error("no free temporary directory name in " + base.string());
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
