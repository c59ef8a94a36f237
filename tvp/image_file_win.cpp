// SPDX-License-Identifier: MIT
// Win32 file calls, which know no text mode: a firmware image keeps every
// CR, LF and Ctrl-Z it has.
#include "image_file.h"
#include "win_text.h"

#include <windows.h>

#include <algorithm>

namespace tvp::image {

bool ReadWhole(const char *path, uint64_t limit, std::vector<uint8_t> &bytes, std::string &why)
{
    const auto wide = win::Wide(path);
    if (!wide || wide->empty()) {
        why = "not a file name";
        return false;
    }
    // a directory opens only with backup semantics; it must not pass for an empty image
    const DWORD attributes = GetFileAttributesW(wide->c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        why = "not a regular file";
        return false;
    }
    HANDLE file = CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        why = win::SystemMessage(GetLastError());
        return false;
    }
    bool ok = true;
    LARGE_INTEGER size{};
    if (GetFileType(file) != FILE_TYPE_DISK) { // a device name such as NUL or COM1, or a pipe
        why = "not a regular file";
        ok = false;
    } else if (!GetFileSizeEx(file, &size)) {
        why = win::SystemMessage(GetLastError());
        ok = false;
    } else if (size.QuadPart < 0 || static_cast<uint64_t>(size.QuadPart) > limit) {
        why = "too large (" + std::to_string(size.QuadPart) + " bytes)";
        ok = false;
    }
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        size_t done = 0;
        while (done < bytes.size()) {
            const DWORD ask = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
            DWORD got = 0;
            if (!::ReadFile(file, bytes.data() + done, ask, &got, nullptr)) {
                why = win::SystemMessage(GetLastError());
                ok = false;
                break;
            }
            if (got == 0) {
                why = "shorter than its size";
                ok = false;
                break;
            }
            done += got;
        }
    }
    CloseHandle(file);
    return ok;
}

} // namespace tvp::image
