// SPDX-License-Identifier: MIT
#include "process.h"

#include "image_file.h"

#include <windows.h>

namespace devsim {

namespace {

volatile bool *g_stop = nullptr;
sock::Waker *g_waker = nullptr;

// runs on a thread of its own, which the system starts for the event
BOOL WINAPI OnConsoleEvent(DWORD)
{
    *g_stop = true;
    g_waker->Set();
    return TRUE;
}

} // namespace

void StopOnSignals(volatile bool *stop, sock::Waker *waker)
{
    g_stop = stop;
    g_waker = waker;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

std::string ProgramDirectory()
{
    std::wstring path(32768, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n == 0 || n >= path.size())
        return {};
    path.resize(n);
    path.erase(path.find_last_of(L"\\/") + 1);
    return PathToUtf8(std::filesystem::path(path));
}

} // namespace devsim
