// SPDX-License-Identifier: MIT
#include "system.h"

#include "address.h"
#include "win_adapters.h"
#include "win_text.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

namespace cli::sys {

namespace {

// The console as it was before PrepareOutput, given back at exit: the code
// page and the modes belong to the console, not to this process.
struct ConsoleState
{
    UINT outputCodePage = 0;
    HANDLE error = INVALID_HANDLE_VALUE;
    DWORD errorMode = 0;
    bool errorModeChanged = false;
} g_console;

void RestoreConsole()
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (g_console.outputCodePage != 0)
        SetConsoleOutputCP(g_console.outputCodePage);
    if (g_console.errorModeChanged)
        SetConsoleMode(g_console.error, g_console.errorMode);
}

bool IsConsole(DWORD which)
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

} // namespace

std::vector<std::string> Utf8Arguments(int argc, char **argv)
{
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return {argv, argv + argc};
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(tvp::win::Utf8(wide[i]));
    LocalFree(wide);
    return args;
}

void PrepareOutput()
{
    // no \n becomes \r\n: CSV and JSON read the same as on other systems,
    // and a quoted line break inside a CSV field survives
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    if (IsConsole(STD_OUTPUT_HANDLE) || IsConsole(STD_ERROR_HANDLE)) {
        const UINT before = GetConsoleOutputCP();
        if (before != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
            g_console.outputCodePage = before;
        // whole writes, so a character's bytes reach the console together
        std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    }
    std::atexit(RestoreConsole);
}

bool ProgressTerminal()
{
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error == INVALID_HANDLE_VALUE || !GetConsoleMode(error, &mode))
        return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        return true;
    // consoles before Windows 10 show the cursor sequences as text: no bars there
    if (!SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    if (!g_console.errorModeChanged) {
        g_console.error = error;
        g_console.errorMode = mode;
        g_console.errorModeChanged = true;
    }
    return true;
}

bool SetEnvironment(const std::string &name, const std::string &value)
{
    // the C runtime's copy is what the library's getenv() reads; _putenv_s
    // updates the process environment as well
    return _putenv_s(name.c_str(), value.c_str()) == 0;
}

FileState CheckFile(const std::string &path)
{
    const auto wide = tvp::win::Wide(path.c_str());
    struct _stat64 st
    {};
    if (!wide || wide->empty() || _wstat64(wide->c_str(), &st) != 0)
        return FileState::Missing;
    if ((st.st_mode & _S_IFMT) != _S_IFREG)
        return FileState::NotReadable;
    // rights are in the file's ACL, which the mode bits do not show
    FILE *f = _wfopen(wide->c_str(), L"rb");
    if (!f)
        return FileState::NotReadable;
    std::fclose(f);
    return FileState::Readable;
}

bool WaitReadable(int handle, int ms)
{
    // the library started Winsock in this process; this keeps it started for
    // as long as the command line polls, whatever the library does
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return false;
    WSAPOLLFD p{};
    p.fd = static_cast<SOCKET>(handle);
    p.events = POLLRDNORM;
    return WSAPoll(&p, 1, ms) != SOCKET_ERROR;
}

namespace {

volatile LONG g_interrupted = 0;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    InterlockedExchange(&g_interrupted, 1);
    // a close event ends the process once the handler returns: give the
    // command its moment to finish the line it writes
    if (event == CTRL_CLOSE_EVENT)
        Sleep(1500);
    return TRUE;
}

} // namespace

void CatchInterrupt()
{
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted()
{
    return InterlockedCompareExchange(&g_interrupted, 0, 0) != 0;
}

std::optional<std::string> ReadTextFile(const std::string &path, std::string *error)
{
    const auto wide = tvp::win::Wide(path.c_str());
    FILE *f = wide ? _wfopen(wide->c_str(), L"rb") : nullptr;
    if (!f) {
        *error = wide ? std::strerror(errno) : "the name is not text";
        return std::nullopt;
    }
    std::string text;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        text.append(buffer, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *error = "read error";
        return std::nullopt;
    }
    return text;
}

bool WriteFileWhole(const std::string &path, const std::string &text, std::string *error)
{
    const auto wide = tvp::win::Wide(path.c_str());
    if (!wide) {
        *error = "the name is not text";
        return false;
    }
    const std::wstring temporary = *wide + L".new";
    FILE *f = _wfopen(temporary.c_str(), L"wb");
    if (!f) {
        *error = std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0;
    if (std::fclose(f) != 0 || !written) {
        *error = std::strerror(errno);
        _wremove(temporary.c_str());
        return false;
    }
    if (!MoveFileExW(temporary.c_str(), wide->c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = tvp::win::SystemMessage(GetLastError());
        _wremove(temporary.c_str());
        return false;
    }
    return true;
}

std::optional<std::vector<LocalInterface>> LocalInterfaces()
{
    const tvp::win::Adapters adapters(AF_UNSPEC,
                                      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    if (adapters.Status() == ERROR_NO_DATA)
        return std::vector<LocalInterface>{};
    if (adapters.Status() != NO_ERROR)
        return std::nullopt;
    std::vector<LocalInterface> list;
    for (auto *a = adapters.First(); a; a = a->Next) {
        // the library names adapters by their friendly names, in UTF-8
        LocalInterface entry{tvp::win::Utf8(a->FriendlyName), {}};
        if (entry.name.empty())
            continue;
        entry.up = a->OperStatus == IfOperStatusUp;
        for (auto *u = a->FirstUnicastAddress; u; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            if (!sa || sa->sa_family != AF_INET || u->OnLinkPrefixLength > 32)
                continue;
            entry.subnets.emplace_back(ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr),
                                       tvp::wire::MaskOf(u->OnLinkPrefixLength));
        }
        list.push_back(std::move(entry));
    }
    return list;
}

} // namespace cli::sys
