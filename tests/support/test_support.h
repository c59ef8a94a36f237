// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace testsupport {

// Directory of the built programs (netscry, tvp-devsim).
std::string BinDir();
// Root of the source tree (sample files, corpora).
std::string SourceDir();

// A fresh directory removed with everything in it when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

// True inside the private network namespace that the test command creates
// (NETSCRY_NETNS=1); tests that need one skip with a reason otherwise.
bool InPrivateNetns();

// Waits up to timeoutMs for a handle the library gives (TVPEventHandle: a
// descriptor, a SOCKET on Windows) to become readable.
bool WaitReadable(int handle, int timeoutMs);

} // namespace testsupport
