// SPDX-License-Identifier: MIT
#pragma once

// The Win32 calls behind the program's start-up, its shell commands and its
// version record. No Qt here: the Qt classes convert their strings and call
// in, and the unit builds and is tested without the toolkit. Narrow strings
// are in the ANSI code page (the A calls) unless a comment says UTF-8.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace win32 {

// --- one instance per session --------------------------------------------

enum class InstanceState {
    First,          // the mutex is new: this is the first instance
    AlreadyRunning, // another instance holds the name
    Unknown,        // the mutex could not be created; Error() says why
};

// A named mutex in the session's namespace, held for the object's life.
// The system releases it when the process ends, however it ends.
class InstanceMutex
{
public:
    explicit InstanceMutex(const std::string &name);
    ~InstanceMutex();
    InstanceMutex(const InstanceMutex &) = delete;
    InstanceMutex &operator=(const InstanceMutex &) = delete;

    InstanceState State() const { return state_; }
    unsigned long Error() const { return error_; }

private:
    void *handle_ = nullptr;
    InstanceState state_ = InstanceState::Unknown;
    unsigned long error_ = 0;
};

// The class of the window a second start looks for, beside the title.
inline constexpr char InstanceWindowClass[] = "TApplication";

// First instance: a hidden top-level window of InstanceWindowClass under
// the program's title. A later start that finds it has `comeForward` called
// on the thread that made the window, which must dispatch messages (Qt's
// event loop does).
class InstanceWindow
{
public:
    InstanceWindow(const std::string &title, std::function<void()> comeForward);
    ~InstanceWindow();
    InstanceWindow(const InstanceWindow &) = delete;
    InstanceWindow &operator=(const InstanceWindow &) = delete;

    void *Handle() const { return window_; }
    // GetLastError() of a window that could not be made, else 0.
    unsigned long Error() const { return error_; }

private:
    void *window_ = nullptr;
    unsigned long error_ = 0;
    std::function<void()> comeForward_;
};

// The top-level window of InstanceWindowClass with exactly this title.
void *FindInstanceWindow(const std::string &title);

// Second instance: restores the first one's window if minimised, gives it
// the foreground and asks it to show itself. True when it answered within
// the time; false when there is no such window or it did not answer.
bool BringInstanceForward(const std::string &title, unsigned timeoutMs);

// --- the shell -------------------------------------------------------------

struct ShellResult
{
    bool ok = false;
    bool refused = false;   // the argument was refused before anything ran
    std::intptr_t code = 0; // ShellExecuteA's return; 0 when refused
    std::string reason;     // empty when ok
};

// What a ShellExecuteA return at or below 32 means.
std::string ShellExecuteFailureText(std::intptr_t code);

// The text as one command-line argument, without surrounding blanks; none
// when it is empty, would read as an option ("-x") or would split into
// more than one argument (blanks, quotes, control characters).
std::optional<std::string> SingleArgument(const std::string &text);

// The URL when it is one to hand to the browser: http or https, a host,
// nothing that a command line would split or an opener read as an option.
std::optional<std::string> BrowserUrl(const std::string &url);

// ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOWNORMAL
// or SW_HIDE) and the honest reading of its result.
ShellResult ShellOpen(const std::string &file, const std::string &parameters, bool hidden);

ShellResult OpenUrl(const std::string &url);
ShellResult StartTelnet(const std::string &address);
ShellResult OpenNetworkSettings();

// The system's arp program: arp.exe in the system directory.
std::string ArpProgram();

// The system's arp program with "-d", hidden: empties the PC's
// address-resolution cache before a scan. Nobody waits for it; without
// administrator rights arp itself fails, unseen.
ShellResult FlushArpCache();

// --- the version record ------------------------------------------------------

using FileVersion = std::array<uint16_t, 4>;

// The file version of VS_FIXEDFILEINFO; none without a version resource.
std::optional<FileVersion> ReadFileVersion(const std::string &programFile);

// A value of the resource's StringFileInfo ("FileVersion", "ProductName"),
// in its first translation; none when the file has no such value.
std::optional<std::string> ReadVersionString(const std::string &programFile, const std::string &key);

} // namespace win32
