// SPDX-License-Identifier: MIT
#include "win32_calls.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace win32 {

namespace {

// The program's own wording, without the code; and the program links the
// TVP library's C interface alone, not its Windows text (tvp/win_text.h).
std::string SystemMessage(DWORD code)
{
    char *text = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message = length && text ? std::string(text, length) : std::string();
    if (text)
        LocalFree(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

bool Blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trimmed(const std::string &text)
{
    size_t begin = 0, end = text.size();
    while (begin < end && Blank(text[begin]))
        ++begin;
    while (end > begin && Blank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool StartsWithNoCase(const std::string &text, const char *prefix)
{
    const size_t n = std::strlen(prefix);
    return text.size() >= n && _strnicmp(text.c_str(), prefix, n) == 0;
}

std::string SystemFile(UINT (*directory)(LPSTR, UINT), const char *name)
{
    char path[MAX_PATH];
    const UINT length = directory(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return {};
    return std::string(path, length) + '\\' + name;
}

// --- the instance window ----------------------------------------------------

// The answer tells the second instance that our program, not some other
// one under the same class and title, came forward.
constexpr LRESULT ComeForwardAnswer = 0x4e53;

UINT ComeForwardMessage()
{
    static const UINT message = RegisterWindowMessageA("Netscry.ComeForward");
    return message;
}

LRESULT CALLBACK InstanceProcedure(HWND window, UINT message, WPARAM w, LPARAM l)
{
    // 0 is what a failed registration returns, and WM_NULL besides
    if (message != 0 && message == ComeForwardMessage()) {
        auto *comeForward = reinterpret_cast<std::function<void()> *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        if (comeForward && *comeForward)
            (*comeForward)();
        return ComeForwardAnswer;
    }
    return DefWindowProcA(window, message, w, l);
}

DWORD RegisterInstanceClass()
{
    static const DWORD error = [] {
        WNDCLASSEXA c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = InstanceProcedure;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = InstanceWindowClass;
        if (RegisterClassExA(&c))
            return DWORD(0);
        const DWORD e = GetLastError();
        return e == ERROR_CLASS_ALREADY_EXISTS ? DWORD(0) : e;
    }();
    return error;
}

// --- the version record -------------------------------------------------------

std::vector<char> VersionBlock(const std::string &programFile)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(programFile.c_str(), &ignored);
    if (size == 0)
        return {};
    std::vector<char> block(size);
    if (!GetFileVersionInfoA(programFile.c_str(), 0, size, block.data()))
        return {};
    return block;
}

} // namespace

InstanceMutex::InstanceMutex(const std::string &name)
{
    handle_ = CreateMutexA(nullptr, FALSE, name.c_str());
    // read at once: any later call may change it
    const DWORD error = GetLastError();
    if (handle_) {
        state_ = error == ERROR_ALREADY_EXISTS ? InstanceState::AlreadyRunning : InstanceState::First;
    } else if (error == ERROR_ACCESS_DENIED) {
        // the name exists, made by an instance with other rights (elevated)
        state_ = InstanceState::AlreadyRunning;
        error_ = error;
    } else {
        state_ = InstanceState::Unknown;
        error_ = error;
    }
}

InstanceMutex::~InstanceMutex()
{
    if (handle_)
        CloseHandle(handle_);
}

InstanceWindow::InstanceWindow(const std::string &title, std::function<void()> comeForward)
    : comeForward_(std::move(comeForward))
{
    if ((error_ = RegisterInstanceClass()) != 0)
        return;
    // a tool window: never on the taskbar, even if something shows it
    HWND window = CreateWindowExA(WS_EX_TOOLWINDOW, InstanceWindowClass, title.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
    if (!window) {
        error_ = GetLastError();
        return;
    }
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&comeForward_));
    window_ = window;
}

InstanceWindow::~InstanceWindow()
{
    if (window_) {
        SetWindowLongPtrA(static_cast<HWND>(window_), GWLP_USERDATA, 0);
        DestroyWindow(static_cast<HWND>(window_));
    }
}

void *FindInstanceWindow(const std::string &title)
{
    return FindWindowA(InstanceWindowClass, title.c_str());
}

bool BringInstanceForward(const std::string &title, unsigned timeoutMs)
{
    HWND window = FindWindowA(InstanceWindowClass, title.c_str());
    if (!window)
        return false;
    // We are the foreground process: let the first one take the foreground.
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process)
        AllowSetForegroundWindow(process);
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
    const UINT message = ComeForwardMessage();
    if (message == 0)
        return false;
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(window, message, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &answer))
        return false;
    return LRESULT(answer) == ComeForwardAnswer;
}

std::string ShellExecuteFailureText(std::intptr_t code)
{
    if (code > 32)
        return {};
    switch (code) {
    case 0: return "the system is out of memory or resources";
    case ERROR_FILE_NOT_FOUND: return "the file was not found";
    case ERROR_PATH_NOT_FOUND: return "the path was not found";
    case ERROR_BAD_FORMAT: return "the program file is not valid";
    case SE_ERR_ACCESSDENIED: return "access was denied";
    case SE_ERR_OOM: return "there was not enough memory";
    case SE_ERR_SHARE: return "a sharing violation occurred";
    case SE_ERR_ASSOCINCOMPLETE: return "the file association is incomplete";
    case SE_ERR_DDETIMEOUT: return "the DDE request timed out";
    case SE_ERR_DDEFAIL: return "the DDE transaction failed";
    case SE_ERR_DDEBUSY: return "the DDE server is busy";
    case SE_ERR_NOASSOC: return "no program is associated with it";
    case SE_ERR_DLLNOTFOUND: return "a library it needs was not found";
    default: return "ShellExecute failed with code " + std::to_string(code);
    }
}

std::optional<std::string> SingleArgument(const std::string &text)
{
    std::string argument = Trimmed(text);
    // '/' starts an option for many Windows programs, '-' for the rest
    if (argument.empty() || argument.front() == '-' || argument.front() == '/')
        return std::nullopt;
    for (const char c : argument) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == ' ' || c == '"')
            return std::nullopt;
    }
    return argument;
}

std::optional<std::string> BrowserUrl(const std::string &url)
{
    const std::optional<std::string> whole = SingleArgument(url);
    if (!whole)
        return std::nullopt;
    size_t host;
    if (StartsWithNoCase(*whole, "http://"))
        host = 7;
    else if (StartsWithNoCase(*whole, "https://"))
        host = 8;
    else
        return std::nullopt; // a path or another scheme would start a program
    const size_t end = whole->find_first_of("/?#", host);
    const std::string authority = whole->substr(host, end == std::string::npos ? std::string::npos : end - host);
    if (authority.empty() || authority.front() == '-' || authority.front() == '@' || authority.front() == ':')
        return std::nullopt;
    return whole;
}

ShellResult ShellOpen(const std::string &file, const std::string &parameters, bool hidden)
{
    ShellResult result;
    result.code = reinterpret_cast<std::intptr_t>(ShellExecuteA(nullptr, "open", file.c_str(),
                                                                parameters.empty() ? nullptr : parameters.c_str(),
                                                                nullptr, hidden ? SW_HIDE : SW_SHOWNORMAL));
    result.ok = result.code > 32;
    result.reason = ShellExecuteFailureText(result.code);
    return result;
}

namespace {

ShellResult Refused(const char *what)
{
    ShellResult result;
    result.refused = true;
    result.reason = std::string("refused ") + what;
    return result;
}

} // namespace

ShellResult OpenUrl(const std::string &url)
{
    const std::optional<std::string> checked = BrowserUrl(url);
    if (!checked)
        return Refused("a URL that is not a plain http or https address");
    return ShellOpen(*checked, std::string(), false);
}

ShellResult StartTelnet(const std::string &address)
{
    const std::optional<std::string> checked = SingleArgument(address);
    if (!checked)
        return Refused("an address that is not a single host argument");
    const std::string telnet = SystemFile(GetSystemDirectoryA, "telnet.exe");
    if (telnet.empty())
        return Refused("to guess where telnet is: no system directory");
    return ShellOpen(telnet, *checked, false);
}

ShellResult OpenNetworkSettings()
{
    const std::string explorer = SystemFile(GetWindowsDirectoryA, "explorer.exe");
    if (explorer.empty())
        return Refused("to guess where explorer is: no Windows directory");
    // the Network Connections folder
    return ShellOpen(explorer, "::{7007acc7-3202-11d1-aad2-00805fc1270e}", false);
}

std::string ArpProgram()
{
    return SystemFile(GetSystemDirectoryA, "arp.exe");
}

ShellResult FlushArpCache()
{
    const std::string arp = ArpProgram();
    if (arp.empty())
        return Refused("to guess where arp is: no system directory");
    return ShellOpen(arp, "-d", true);
}

std::optional<FileVersion> ReadFileVersion(const std::string &programFile)
{
    std::vector<char> block = VersionBlock(programFile);
    if (block.empty())
        return std::nullopt;
    void *data = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", &data, &length) || !data || length < sizeof(VS_FIXEDFILEINFO))
        return std::nullopt;
    const auto *info = static_cast<const VS_FIXEDFILEINFO *>(data);
    if (info->dwSignature != 0xFEEF04BD)
        return std::nullopt;
    return FileVersion{uint16_t(info->dwFileVersionMS >> 16), uint16_t(info->dwFileVersionMS & 0xFFFF),
                       uint16_t(info->dwFileVersionLS >> 16), uint16_t(info->dwFileVersionLS & 0xFFFF)};
}

std::optional<std::string> ReadVersionString(const std::string &programFile, const std::string &key)
{
    // a key with a separator would walk elsewhere in the tree
    if (key.empty() || key.find('\\') != std::string::npos)
        return std::nullopt;
    std::vector<char> block = VersionBlock(programFile);
    if (block.empty())
        return std::nullopt;

    std::vector<std::string> tables;
    void *data = nullptr;
    UINT length = 0;
    if (VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &data, &length) && data && length >= 4) {
        const auto *pair = static_cast<const WORD *>(data);
        char table[9];
        std::snprintf(table, sizeof table, "%04x%04x", unsigned(pair[0]), unsigned(pair[1]));
        tables.push_back(table);
    }
    // what resource compilers write when no translation is declared
    tables.push_back("040904E4");
    tables.push_back("040904B0");
    for (const std::string &table : tables) {
        const std::string path = "\\StringFileInfo\\" + table + "\\" + key;
        data = nullptr;
        length = 0;
        if (!VerQueryValueA(block.data(), path.c_str(), &data, &length) || !data)
            continue;
        const char *text = static_cast<const char *>(data);
        // the length counts characters, with the terminating zero when there is one
        return std::string(text, strnlen(text, length));
    }
    return std::nullopt;
}

} // namespace win32
