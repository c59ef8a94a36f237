// SPDX-License-Identifier: MIT
#include "image_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace devsim {

std::optional<std::filesystem::path> PathFromUtf8(const std::string &text)
{
    return std::filesystem::path(text);
}

std::string PathToUtf8(const std::filesystem::path &path)
{
    return path.string();
}

std::string NamePartProblem(std::string_view)
{
    return {};
}

bool WriteWhole(const std::filesystem::path &target, const std::vector<uint8_t> &bytes, std::string *error)
{
    std::string temp = (target.parent_path() / ("." + target.filename().string() + ".part-XXXXXX")).string();
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        *error = "cannot create a file in " + target.parent_path().string() + ": " + std::strerror(errno);
        return false;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *error = std::string("cannot write ") + temp + ": " + (n < 0 ? std::strerror(errno) : "disk full");
            close(fd);
            unlink(temp.c_str());
            return false;
        }
        written += static_cast<size_t>(n);
    }
    // mkstemp's 0600 would hide the image from anyone but the simulator's user
    fchmod(fd, 0644);
    if (close(fd) != 0 || rename(temp.c_str(), target.c_str()) != 0) {
        *error = "cannot move the image to " + target.string() + ": " + std::strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace devsim
