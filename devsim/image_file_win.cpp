// SPDX-License-Identifier: MIT
// Win32 file calls: names are UTF-16, and a file is written in binary as
// it is, with no text-mode translation anywhere.
#include "image_file.h"
#include "image_store.h"
#include "win_text.h"

#include <windows.h>

#include <atomic>

namespace devsim {

using tvp::win::SystemMessage;

std::optional<std::filesystem::path> PathFromUtf8(const std::string &text)
{
    if (text.empty())
        return std::filesystem::path();
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0)
        return std::nullopt; // not UTF-8
    std::wstring wide(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), wide.data(), n);
    return std::filesystem::path(wide);
}

std::string PathToUtf8(const std::filesystem::path &path)
{
    return tvp::win::Utf8(path.c_str());
}

std::string NamePartProblem(std::string_view part)
{
    return WindowsNamePartProblem(part);
}

bool WriteWhole(const std::filesystem::path &target, const std::vector<uint8_t> &bytes, std::string *error)
{
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && file == INVALID_HANDLE_VALUE; ++attempt) {
        const std::wstring suffix = L".part-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(GetTickCount());
        temp = target.parent_path() / (L"." + target.filename().native() + suffix);
        // CREATE_NEW: never someone else's file, nor one a link points to
        file = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            *error =
                "cannot create a file in " + PathToUtf8(target.parent_path()) + ": " + SystemMessage(GetLastError());
            return false;
        }
    }
    if (file == INVALID_HANDLE_VALUE) {
        *error = "cannot create a file in " + PathToUtf8(target.parent_path()) + ": names all taken";
        return false;
    }
    size_t written = 0;
    while (written < bytes.size()) {
        const DWORD chunk = DWORD(std::min<size_t>(bytes.size() - written, 1u << 30));
        DWORD n = 0;
        if (!WriteFile(file, bytes.data() + written, chunk, &n, nullptr) || n == 0) {
            *error = "cannot write " + PathToUtf8(temp) + ": " + SystemMessage(GetLastError());
            CloseHandle(file);
            DeleteFileW(temp.c_str());
            return false;
        }
        written += n;
    }
    if (!CloseHandle(file) ||
        !MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = "cannot move the image to " + PathToUtf8(target) + ": " + SystemMessage(GetLastError());
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

} // namespace devsim
