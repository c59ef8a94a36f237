// SPDX-License-Identifier: MIT
// The program's Win32 layer, run under Wine: the version record built into
// this test program, the shell's refusals, the instance mutex and the
// instance window, across two processes where it matters.
//
//   test_win32_layer.exe              runs every check; exit 0 when all passed
//   test_win32_layer.exe --no-windows the same without a display: no window checks
//   test_win32_layer.exe --mutex N    child: 2 first, 3 already running, 4 unknown
//   test_win32_layer.exe --come-forward T   child: 0 when the window answered
//   test_win32_layer.exe --exit       child: ends at once (a harmless target)
#include <windows.h>

#include "versiontext.h"
#include "win32_calls.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

namespace {

int g_failures = 0;
int g_passes = 0;

void Check(bool ok, const std::string &what)
{
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    ++(ok ? g_passes : g_failures);
}

std::string Quoted(const std::optional<std::string> &text)
{
    return text ? "\"" + *text + "\"" : std::string("none");
}

// Control characters shown as \xNN, so that each check stays on its line.
std::string Printable(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", unsigned(u));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string SelfPath()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length && length < MAX_PATH ? std::string(path, length) : std::string();
}

void PumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Runs this program again with the arguments and waits for its exit code
// while dispatching this thread's messages (the child may send us one).
int RunChild(const std::string &arguments)
{
    std::string line = "\"" + SelfPath() + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return -1;
    CloseHandle(process.hThread);
    const DWORD deadline = GetTickCount() + 30000;
    DWORD code = DWORD(-2);
    for (;;) {
        const DWORD now = GetTickCount();
        if (int(deadline - now) <= 0) {
            TerminateProcess(process.hProcess, 99);
            break;
        }
        const DWORD woke = MsgWaitForMultipleObjects(1, &process.hProcess, FALSE, deadline - now, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &code);
            break;
        }
        PumpMessages();
    }
    CloseHandle(process.hProcess);
    return int(code);
}

int MutexChild(const std::string &name)
{
    win32::InstanceMutex mutex(name);
    switch (mutex.State()) {
    case win32::InstanceState::First: return 2;
    case win32::InstanceState::AlreadyRunning: return 3;
    case win32::InstanceState::Unknown: return 4;
    }
    return 5;
}

// --- the version record ------------------------------------------------------

void VersionRecord()
{
    const std::string self = SelfPath();
    const win32::FileVersion expected{NETSCRY_VERSION_MAJOR, NETSCRY_VERSION_MINOR, NETSCRY_VERSION_PATCH,
                                      NETSCRY_VERSION_TWEAK};
    const std::optional<win32::FileVersion> fixed = win32::ReadFileVersion(self);
    Check(fixed == expected, "the fixed file version is the project version");
    Check(win32::ReadVersionString(self, "FileVersion") == std::optional<std::string>(NETSCRY_VERSION_TEXT),
          "the FileVersion text is " NETSCRY_VERSION_TEXT ": " + Quoted(win32::ReadVersionString(self, "FileVersion")));
    Check(win32::ReadVersionString(self, "FileDescription") == std::optional<std::string>("Netscry Win32 layer test"),
          "the description is the resource's: " + Quoted(win32::ReadVersionString(self, "FileDescription")));
    Check(fixed && AboutVersionText(*fixed) == NETSCRY_ABOUT_TEXT,
          "the About window would show " NETSCRY_ABOUT_TEXT ": " +
              Quoted(fixed ? std::optional<std::string>(AboutVersionText(*fixed)) : std::nullopt));
    Check(!win32::ReadVersionString(self, "NoSuchValue"), "a value the resource lacks is none");
    Check(!win32::ReadVersionString(self, "..\\FileVersion"), "a key that walks the tree is refused");

    // a file without a version resource, and no file at all
    char directory[MAX_PATH];
    const DWORD length = GetTempPathA(MAX_PATH, directory);
    const std::string plain =
        std::string(directory, length) + "netscry-no-version-" + std::to_string(GetCurrentProcessId()) + ".txt";
    if (FILE *f = std::fopen(plain.c_str(), "wb")) {
        std::fputs("MZ but no more\n", f);
        std::fclose(f);
    }
    Check(!win32::ReadFileVersion(plain), "a file without a resource has no version");
    Check(!win32::ReadVersionString(plain, "FileVersion"), "nor a version text");
    DeleteFileA(plain.c_str());
    Check(!win32::ReadFileVersion(plain), "a missing file has no version");
}

// --- the shell -----------------------------------------------------------------

void ShellArguments()
{
    const struct
    {
        const char *text;
        const char *argument; // nullptr: refused
    } arguments[] = {
        {"192.168.0.10", "192.168.0.10"},
        {"  192.168.0.10\t", "192.168.0.10"},
        {"device.local", "device.local"},
        {"-foo", nullptr},
        {"  -foo", nullptr},
        {"\t\r\n-foo", nullptr},
        {"-", nullptr},
        {"/?", nullptr},
        {"", nullptr},
        {"   ", nullptr},
        {"10.0.0.1 -f C:\\log", nullptr},
        {"10.0.0.1\"-x", nullptr},
        {"10.0.0.1\x01", nullptr},
    };
    for (const auto &a : arguments) {
        const std::optional<std::string> got = win32::SingleArgument(a.text);
        const std::optional<std::string> want = a.argument ? std::optional<std::string>(a.argument) : std::nullopt;
        Check(got == want, "argument \"" + Printable(a.text) + "\" -> " + Quoted(got));
    }

    const struct
    {
        const char *url;
        bool browser;
    } urls[] = {
        {"http://192.168.0.10/", true},
        {"HTTPS://www.example.com/path?q=1", true},
        {" http://10.0.0.1/ ", true},
        {"http://10.0.0.1", true},
        {"-foo", false},
        {"  -http://10.0.0.1/", false},
        {"http://-foo/", false},
        {"http:///etc", false},
        {"http://", false},
        {"http://10.0.0.1/ -x", false},
        {"http://10.0.0.1/\"", false},
        {"file:///C:/Windows/notepad.exe", false},
        {"C:\\Windows\\notepad.exe", false},
        {"notepad", false},
        {"javascript:alert(1)", false},
    };
    for (const auto &u : urls) {
        const bool browser = win32::BrowserUrl(u.url).has_value();
        Check(browser == u.browser, std::string("URL \"") + u.url + "\" " + (u.browser ? "accepted" : "refused"));
    }

    // Refused before ShellExecuteA: nothing starts, and the caller learns why.
    for (const char *address : {"-foo", "  -foo", "\t-e", "", "10.0.0.1 -f x"}) {
        const win32::ShellResult r = win32::StartTelnet(address);
        Check(!r.ok && r.refused && r.code == 0 && !r.reason.empty(),
              "telnet to \"" + Printable(address) + "\" refused: " + r.reason);
    }
    for (const char *url : {"-foo", " -foo", "http://-foo/", "C:\\Windows\\system32\\cmd.exe"}) {
        const win32::ShellResult r = win32::OpenUrl(url);
        Check(!r.ok && r.refused && r.code == 0 && !r.reason.empty(),
              std::string("opening \"") + url + "\" refused: " + r.reason);
    }
}

void ShellResults()
{
    const struct
    {
        std::intptr_t code;
        const char *text; // nullptr: any text naming the code
    } codes[] = {
        {0, "the system is out of memory or resources"},
        {ERROR_FILE_NOT_FOUND, "the file was not found"},
        {ERROR_PATH_NOT_FOUND, "the path was not found"},
        {SE_ERR_NOASSOC, "no program is associated with it"},
        {32, "a library it needs was not found"},
        {33, ""},
        {42, ""},
        {17, nullptr},
    };
    for (const auto &c : codes) {
        const std::string text = win32::ShellExecuteFailureText(c.code);
        const bool ok = c.text ? text == c.text : text.find(std::to_string(c.code)) != std::string::npos;
        Check(ok, "ShellExecuteA " + std::to_string(c.code) + " reads \"" + text + "\"");
    }

    // A harmless target: this program, which ends at once.
    const win32::ShellResult started = win32::ShellOpen(SelfPath(), "--exit", true);
    Check(started.ok && !started.refused && started.code > 32 && started.reason.empty(),
          "a program that exists starts: code " + std::to_string(started.code));
    const win32::ShellResult missing = win32::ShellOpen("C:\\netscry-no-such-dir\\none.exe", "", true);
    Check(!missing.ok && !missing.refused && missing.code <= 32 &&
              missing.reason == win32::ShellExecuteFailureText(missing.code) && !missing.reason.empty(),
          "a missing program is a failure: code " + std::to_string(missing.code) + ", " + missing.reason);

    // the scan's arp: the system's own program, which Wine has too
    const std::string arp = win32::ArpProgram();
    const DWORD attributes = GetFileAttributesA(arp.c_str());
    Check(arp.size() > 8 && _stricmp(arp.c_str() + arp.size() - 8, "\\arp.exe") == 0 &&
              attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY),
          "the scan's arp program is the system's: " + arp);
}

// --- one instance ----------------------------------------------------------------

void Mutex()
{
    const std::string name = "NetscryWin32LayerTest-" + std::to_string(GetCurrentProcessId());
    {
        win32::InstanceMutex first(name);
        Check(first.State() == win32::InstanceState::First, "the first mutex is new");
        win32::InstanceMutex second(name);
        Check(second.State() == win32::InstanceState::AlreadyRunning, "a second in the process sees it exists");
        Check(RunChild("--mutex " + name) == 3, "a second process sees it exists");
    }
    Check(RunChild("--mutex " + name) == 2, "once closed, the next start is the first again");

    // a name that another kind of object holds, and one in no namespace
    const std::string taken = name + "-event";
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, taken.c_str());
    win32::InstanceMutex clash(taken);
    Check(clash.State() == win32::InstanceState::Unknown && clash.Error() == ERROR_INVALID_HANDLE,
          "a name held by an event is neither first nor running: error " + std::to_string(clash.Error()));
    if (event)
        CloseHandle(event);
    // an instance with other rights: its mutex exists but does not open for us
    const std::string guarded = name + "-guarded";
    SECURITY_DESCRIPTOR descriptor;
    ACL empty;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    HANDLE elevated = CreateMutexA(&attributes, FALSE, guarded.c_str());
    win32::InstanceMutex denied(guarded);
    Check(elevated && denied.State() == win32::InstanceState::AlreadyRunning,
          "a mutex that denies us counts as running: error " + std::to_string(denied.Error()));
    if (elevated)
        CloseHandle(elevated);
    win32::InstanceMutex nowhere("NetscryNoSuchNamespace\\" + name);
    Check(nowhere.State() == win32::InstanceState::Unknown && nowhere.Error() != 0,
          "a name in no namespace is unknown: error " + std::to_string(nowhere.Error()));
}

HWND Decoy(const char *title)
{
    static const bool registered = [] {
        WNDCLASSEXA c{};
        c.cbSize = sizeof c;
        c.lpfnWndProc = DefWindowProcA;
        c.hInstance = GetModuleHandleA(nullptr);
        c.lpszClassName = "NetscryDecoy";
        return RegisterClassExA(&c) != 0;
    }();
    if (!registered)
        return nullptr;
    return CreateWindowExA(WS_EX_TOOLWINDOW, "NetscryDecoy", title, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           GetModuleHandleA(nullptr), nullptr);
}

void Window()
{
    const std::string pid = std::to_string(GetCurrentProcessId());
    const std::string title = "Netscry test " + pid;
    const std::string other = "Netscry decoy " + pid;
    int calls = 0;
    {
        win32::InstanceWindow window(title, [&] { ++calls; });
        Check(window.Handle() != nullptr, "the instance window exists: error " + std::to_string(window.Error()));
        // Another program's window under the same title is newer, so above ours.
        HWND sameTitle = Decoy(title.c_str());
        HWND otherTitle = Decoy(other.c_str());
        Check(sameTitle && otherTitle, "the decoy windows exist");
        Check(win32::FindInstanceWindow(title) == window.Handle(),
              "found by class and title, not the other class's window of that title");
        Check(win32::FindInstanceWindow(other) == nullptr, "a window of another class is not found");
        Check(win32::FindInstanceWindow("Netscry") == nullptr, "nor a title that only begins the same");

        Check(win32::BringInstanceForward(title, 2000) && calls == 1, "asked in the process, it came forward");
        Check(!win32::BringInstanceForward(other, 2000) && calls == 1, "another class's window is never asked");
        const int answered = RunChild("--come-forward \"" + title + "\"");
        Check(answered == 0 && calls == 2, "asked from a second process, it came forward: exit " +
                                               std::to_string(answered) + ", " + std::to_string(calls) + " calls");
        Check(RunChild("--come-forward \"" + other + "\"") == 1 && calls == 2,
              "a second process finds no window of another class");

        HWND w = static_cast<HWND>(window.Handle());
        ShowWindow(w, SW_MINIMIZE);
        Check(IsIconic(w), "the window is minimised");
        Check(win32::BringInstanceForward(title, 2000) && !IsIconic(w) && calls == 3,
              "a minimised window is restored and comes forward");
        ShowWindow(w, SW_HIDE);
        DestroyWindow(sameTitle);
        DestroyWindow(otherTitle);
    }
    Check(win32::FindInstanceWindow(title) == nullptr, "gone with its object");
    Check(!win32::BringInstanceForward(title, 500), "and a later start finds nothing");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--exit") == 0)
        return 0;
    if (argc == 3 && std::strcmp(argv[1], "--mutex") == 0)
        return MutexChild(argv[2]);
    if (argc == 3 && std::strcmp(argv[1], "--come-forward") == 0)
        return win32::BringInstanceForward(argv[2], 5000) ? 0 : 1;

    const bool windows = !(argc == 2 && std::strcmp(argv[1], "--no-windows") == 0);
    VersionRecord();
    ShellArguments();
    ShellResults();
    Mutex();
    if (windows)
        Window();
    else
        std::printf("skip the instance window: no display to make windows on\n");
    std::printf("%d passed, %d failed\n", g_passes, g_failures);
    return g_failures == 0 && g_passes > 0 ? 0 : 1;
}
