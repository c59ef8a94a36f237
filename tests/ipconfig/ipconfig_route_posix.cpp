// SPDX-License-Identifier: MIT
// The dialogs' library calls routed to the stand-ins on Linux: this
// program's own definitions come before the shared library's, which stay
// reachable through dlsym(RTLD_NEXT).
#include "ipconfig_support.h"

#include <dlfcn.h>

namespace iptest {

const LibraryEntryPoints &RealLibrary()
{
    static const LibraryEntryPoints real = [] {
        LibraryEntryPoints e;
        e.MacToID = reinterpret_cast<decltype(e.MacToID)>(dlsym(RTLD_NEXT, "TVPMacToID"));
        e.GetIP = reinterpret_cast<decltype(e.GetIP)>(dlsym(RTLD_NEXT, "TVPGetIP"));
        e.SetIP = reinterpret_cast<decltype(e.SetIP)>(dlsym(RTLD_NEXT, "TVPSetIP"));
        e.ChooseIPAddress = reinterpret_cast<decltype(e.ChooseIPAddress)>(dlsym(RTLD_NEXT, "TVPChooseIPAddress"));
        return e;
    }();
    return real;
}

} // namespace iptest

extern "C" {

int TVP_CALL TVPMacToID(const char *idText, uint8_t *id)
{
    return iptest::FakeMacToID(idText, id);
}

int TVP_CALL TVPGetIP(const uint8_t *id)
{
    return iptest::FakeGetIP(id);
}

int TVP_CALL TVPSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t useDHCP)
{
    return iptest::FakeSetIP(id, address, mask, gateway, useDHCP);
}

int TVP_CALL TVPChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway)
{
    return iptest::FakeChooseIPAddress(interfaceText, address, mask, gateway);
}

} // extern "C"
