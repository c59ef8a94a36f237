// SPDX-License-Identifier: MIT
// The dialogs' library calls routed to the stand-ins on Windows: the
// program calls the DLL through its import table, whose four entries are
// pointed at the stand-ins when the program starts; the library's own
// addresses stay for the calls that go on to it.
#include "ipconfig_support.h"

#include <windows.h>

// The import table's entries, as the MinGW linker names them.
extern "C" {
extern void *__imp_TVPMacToID;
extern void *__imp_TVPGetIP;
extern void *__imp_TVPSetIP;
extern void *__imp_TVPChooseIPAddress;
}

namespace iptest {

namespace {

template <typename Fn>
void Reroute(void *&entry, Fn standIn, Fn &real)
{
    real = reinterpret_cast<Fn>(entry);
    DWORD was = 0;
    VirtualProtect(&entry, sizeof entry, PAGE_READWRITE, &was);
    entry = reinterpret_cast<void *>(standIn);
    VirtualProtect(&entry, sizeof entry, was, &was);
}

LibraryEntryPoints Reroute()
{
    LibraryEntryPoints real;
    Reroute(__imp_TVPMacToID, &FakeMacToID, real.MacToID);
    Reroute(__imp_TVPGetIP, &FakeGetIP, real.GetIP);
    Reroute(__imp_TVPSetIP, &FakeSetIP, real.SetIP);
    Reroute(__imp_TVPChooseIPAddress, &FakeChooseIPAddress, real.ChooseIPAddress);
    return real;
}

// at start, before any test: this file is linked in for RealLibrary()
const LibraryEntryPoints rerouted = Reroute();

} // namespace

const LibraryEntryPoints &RealLibrary()
{
    return rerouted;
}

} // namespace iptest
