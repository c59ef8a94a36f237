// SPDX-License-Identifier: MIT
// The C interface: the ABI has no handle, so one engine serves the
// process, started at the first call from the environment.
#include "engine.h"
#include "internal.h"
#include "tvp.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace tvp {
namespace {

std::mutex g_mutex;
std::shared_ptr<Engine> g_engine;
bool g_failed = false;

std::shared_ptr<Engine> Get()
{
    std::lock_guard lock(g_mutex);
    if (!g_engine && !g_failed) {
        auto engine = std::make_shared<Engine>(Config::FromEnvironment());
        if (engine->Start())
            g_engine = engine;
        else
            g_failed = true; // a failed start is not retried until TVPCleanup
    }
    return g_engine;
}

} // namespace

namespace internal {

void DeliverNow(uint32_t code, const void *record)
{
    if (auto engine = Get())
        engine->Events().DeliverNow(code, record);
}

void Log(const std::string &line)
{
    // only the upgrade logs from the caller's thread: its lines belong
    // between its own events, in the order they happened
    if (auto engine = Get())
        engine->Events().LogNow(line);
}

bool DebugEnabled()
{
    auto engine = Get();
    return engine && engine->Events().Debug();
}

uint16_t TftpPort()
{
    auto engine = Get();
    return engine ? engine->TftpPort() : wire::kDefaultTftpPort;
}

} // namespace internal
} // namespace tvp

using tvp::Get;

extern "C" {

void TVPSetApplicationCallback(TVPCallback callback, int debug)
{
    if (auto engine = Get()) {
        tvp::EventQueue::Callback cb;
        if (callback)
            cb = [callback](uint32_t code, const void *record) { callback(code, record); };
        engine->SetCallback(std::move(cb), debug != 0);
    }
}

int TVPEventHandle(void)
{
    auto engine = Get();
    return engine ? engine->Events().Handle() : -1;
}

int TVPProcessEvents(void)
{
    auto engine = Get();
    return engine ? engine->Events().Process() : 0;
}

int TVPDiscover(void)
{
    auto engine = Get();
    return engine ? engine->Discover() : -1;
}

int TVPDiscoverAddress(const char *address)
{
    auto engine = Get();
    return engine ? engine->DiscoverAddress(address) : TVPNotSentFailed;
}

int TVPGetInterfaces(char *names, size_t size)
{
    if (names && size)
        names[0] = 0;
    auto engine = Get();
    return engine ? engine->Interfaces(names, size) : -1;
}

int TVPGetDiagnostics(TVPInterfaceReport *reports, size_t capacity, int clear)
{
    auto engine = Get();
    return engine ? engine->Diagnostics(capacity ? reports : nullptr, capacity, clear != 0) : -1;
}

int TVPPingDevice(const char *address)
{
    auto engine = Get();
    return engine ? engine->Ping(address) : 0;
}

int TVPPingAddress(const char *address)
{
    auto engine = Get();
    return engine ? engine->PingAddress(address) : TVPNotSentFailed;
}

int TVPMacToID(const char *idText, uint8_t *id)
{
    if (!id)
        return -1;
    tvp::wire::DeviceId out;
    bool ok = idText && tvp::wire::ParseMac(idText, &out);
    if (!ok)
        out = tvp::wire::InvalidId();
    std::memcpy(id, out.data(), out.size());
    return ok ? 0 : -1;
}

int TVPGetIP(const uint8_t *id)
{
    auto engine = Get();
    return engine ? engine->GetIP(id) : -1;
}

int TVPSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t useDHCP)
{
    auto engine = Get();
    return engine ? engine->SetIP(id, address, mask, gateway, useDHCP) : -1;
}

int TVPGetIPAt(const uint8_t *id, const char *deviceAddress)
{
    auto engine = Get();
    return engine ? engine->GetIPAt(id, deviceAddress) : TVPNotSentFailed;
}

int TVPSetIPAt(const uint8_t *id, const char *deviceAddress, const char *address, const char *mask, const char *gateway,
               uint8_t useDHCP)
{
    auto engine = Get();
    return engine ? engine->SetIPAt(id, deviceAddress, address, mask, gateway, useDHCP) : TVPNotSentFailed;
}

int TVPChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway)
{
    for (char *out : {address, mask, gateway})
        if (out)
            out[0] = 0;
    auto engine = Get();
    return engine ? engine->Choose(interfaceText, address, mask, gateway) : 0;
}

int TVPAddressesInUse(const char *interfaceText, const char *const *addresses, size_t count, int32_t *uses)
{
    auto engine = Get();
    return engine ? engine->AddressesInUse(interfaceText, addresses, count, uses) : -1;
}

void TVPCleanup(void)
{
    std::shared_ptr<tvp::Engine> engine;
    {
        std::lock_guard lock(tvp::g_mutex);
        engine.swap(tvp::g_engine);
        tvp::g_failed = false;
    }
    if (engine)
        engine->Stop();
}

} // extern "C"
