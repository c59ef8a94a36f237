// SPDX-License-Identifier: MIT
#include "devsim_child.h"
#include "win_socket.h"

#include <winsock2.h>
#include <windows.h>

#include <cstdlib>

namespace testsupport {

namespace {
// One argument quoted the way CommandLineToArgvW and the C runtime split
// command lines.
std::string Quoted(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t slashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, '\\');
    return out + "\"";
}
} // namespace

DevSim::Child::~Child()
{
    Stop();
    if (output_)
        CloseHandle(output_);
}

bool DevSim::Child::Spawn(const std::vector<std::string> &args)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE reading = nullptr, writing = nullptr;
    if (!CreatePipe(&reading, &writing, &inherit, 0))
        return false;
    // only the writing end goes to the child
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);

    std::string commandLine;
    for (const auto &a : args)
        commandLine += (commandLine.empty() ? "" : " ") + Quoted(a);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writing;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    BOOL started =
        CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(writing);
    if (!started) {
        CloseHandle(reading);
        return false;
    }
    CloseHandle(info.hThread);
    process_ = info.hProcess;
    output_ = reading;
    return true;
}

size_t DevSim::Child::Read(char *buffer, size_t capacity)
{
    DWORD n = 0;
    if (!ReadFile(output_, buffer, DWORD(capacity), &n, nullptr))
        return 0; // ERROR_BROKEN_PIPE: the child has gone
    return n;
}

void DevSim::Child::Stop()
{
    if (!process_)
        return;
    // a console program has no gentler stop that a parent can send
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 3000);
    CloseHandle(process_);
    process_ = nullptr;
}

void SetEnvironment(const std::string &name, const std::string &value)
{
    _putenv_s(name.c_str(), value.c_str());
}

std::string LoopbackInterfaceName()
{
    return tvp::net::LoopbackAdapterName();
}

} // namespace testsupport
