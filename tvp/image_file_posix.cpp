// SPDX-License-Identifier: MIT
#include "image_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tvp::image {

bool ReadWhole(const char *path, uint64_t limit, std::vector<uint8_t> &bytes, std::string &why)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        why = std::strerror(errno);
        return false;
    }
    struct stat st
    {};
    bool ok = fstat(fd, &st) == 0;
    if (!ok) {
        why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        why = "not a regular file";
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) > limit) {
        why = "too large (" + std::to_string(st.st_size) + " bytes)";
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<size_t>(st.st_size));
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                why = n < 0 ? std::strerror(errno) : "shorter than its size";
                ok = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
    }
    close(fd);
    return ok;
}

} // namespace tvp::image
