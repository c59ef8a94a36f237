// SPDX-License-Identifier: MIT
#include "win_text.h"

#include <windows.h>

namespace tvp::win {

namespace {

std::optional<std::wstring> Convert(UINT codePage, DWORD flags, const char *text)
{
    const int size = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (size <= 0)
        return std::nullopt;
    std::wstring out(size_t(size), L'\0');
    if (MultiByteToWideChar(codePage, flags, text, -1, out.data(), size) != size)
        return std::nullopt;
    out.resize(size_t(size - 1)); // the terminator
    return out;
}

} // namespace

std::optional<std::wstring> Wide(const char *text)
{
    if (!text)
        return std::nullopt;
    if (auto utf8 = Convert(CP_UTF8, MB_ERR_INVALID_CHARS, text))
        return utf8;
    return Convert(CP_ACP, 0, text);
}

std::string Utf8(const wchar_t *text)
{
    if (!text || !*text)
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return {};
    std::string out(size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.resize(size_t(size - 1));
    return out;
}

std::string SystemMessage(unsigned long code)
{
    wchar_t *message = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t *>(&message), 0, nullptr);
    std::string text;
    if (length && message) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, message, int(length), nullptr, 0, nullptr, nullptr);
        if (size > 0) {
            text.resize(size_t(size));
            WideCharToMultiByte(CP_UTF8, 0, message, int(length), text.data(), size, nullptr, nullptr);
        }
    }
    if (message)
        LocalFree(message);
    // messages end in a line break, and some in a full stop before it
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    const std::string number = "(" + std::to_string(code) + ")";
    return text.empty() ? "error " + number : text + " " + number;
}

} // namespace tvp::win
