// SPDX-License-Identifier: MIT
// The Windows side of the diagnosis's readings: the adapters with their
// networks' categories (the firewall profile) through the Network List
// Manager, and the firewall through its documented COM interface,
// INetFwPolicy2. Windows has no reverse-path filter to read and no capture
// without a driver of its own.
#include "readings.h"

#include "address.h"
#include "win_adapters.h"
#include "win_text.h"

#include <initguid.h>
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>
#include <netfw.h>
#include <netlistmgr.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <map>

namespace cli::sys {

namespace {

// A COM interface pointer, released when it goes.
template <class T>
struct Com
{
    T *p = nullptr;
    Com() = default;
    Com(const Com &) = delete;
    Com &operator=(const Com &) = delete;
    ~Com()
    {
        if (p)
            p->Release();
    }
    T **Out() { return &p; }
    T *operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// COM for this thread while it lives; a host that started it already
// (the program's GUI thread) keeps it as it was.
struct ComScope
{
    HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComScope()
    {
        if (SUCCEEDED(started))
            CoUninitialize();
    }
    bool Usable() const { return SUCCEEDED(started) || started == RPC_E_CHANGED_MODE; }
};

std::string HresultText(const char *what, HRESULT hr)
{
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    return std::string(what) + " failed (" + code + ")";
}

std::wstring Lower(std::wstring s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](wchar_t c) { return wchar_t(towlower(c)); });
    return s;
}

// Adapter GUID ("{...}", lower case) -> "domain", "private" or "public".
std::map<std::wstring, std::string> NetworkCategories()
{
    std::map<std::wstring, std::string> out;
    Com<INetworkListManager> manager;
    if (FAILED(CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkListManager,
                                reinterpret_cast<void **>(manager.Out()))))
        return out;
    Com<IEnumNetworkConnections> connections;
    if (FAILED(manager->GetNetworkConnections(connections.Out())) || !connections)
        return out;
    for (;;) {
        Com<INetworkConnection> c;
        ULONG got = 0;
        if (connections->Next(1, c.Out(), &got) != S_OK || !got)
            break;
        GUID adapter{};
        Com<INetwork> network;
        NLM_NETWORK_CATEGORY category{};
        if (FAILED(c->GetAdapterId(&adapter)) || FAILED(c->GetNetwork(network.Out())) || !network ||
            FAILED(network->GetCategory(&category)))
            continue;
        wchar_t text[64];
        if (StringFromGUID2(adapter, text, 64) > 0)
            out[Lower(text)] = category == NLM_NETWORK_CATEGORY_DOMAIN_AUTHENTICATED ? "domain"
                               : category == NLM_NETWORK_CATEGORY_PRIVATE            ? "private"
                                                                                     : "public";
    }
    return out;
}

bool PointToPoint(IFTYPE type)
{
    return type == IF_TYPE_PPP || type == IF_TYPE_TUNNEL || type == IF_TYPE_SOFTWARE_LOOPBACK;
}

std::wstring ThisProgram()
{
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, DWORD(std::size(path)));
    return n > 0 && n < std::size(path) ? std::wstring(path, n) : std::wstring();
}

// A rule for every protocol: NET_FW_IP_PROTOCOL_ANY of the Windows SDK,
// which MinGW-w64's icftypes.h does not define.
constexpr LONG kAnyProtocol = 256;

// One inbound rule: whether it lets the program's UDP in, and on which profiles.
bool AllowsProgram(INetFwRule *rule, const std::wstring &program, long *profiles)
{
    NET_FW_RULE_DIRECTION direction{};
    VARIANT_BOOL enabled = VARIANT_FALSE;
    NET_FW_ACTION action{};
    LONG protocol = 0;
    if (FAILED(rule->get_Direction(&direction)) || direction != NET_FW_RULE_DIR_IN ||
        FAILED(rule->get_Enabled(&enabled)) || enabled != VARIANT_TRUE || FAILED(rule->get_Action(&action)) ||
        action != NET_FW_ACTION_ALLOW || FAILED(rule->get_Protocol(&protocol)) ||
        (protocol != NET_FW_IP_PROTOCOL_UDP && protocol != kAnyProtocol))
        return false;
    BSTR application = nullptr;
    if (FAILED(rule->get_ApplicationName(&application)) || !application)
        return false;
    const bool same = Lower(application) == Lower(program);
    SysFreeString(application);
    return same && SUCCEEDED(rule->get_Profiles(profiles));
}

void ReadRules(INetFwPolicy2 *policy, const std::wstring &program, site::WindowsFirewall &fw)
{
    Com<INetFwRules> rules;
    Com<IUnknown> items;
    Com<IEnumVARIANT> each;
    HRESULT hr = policy->get_Rules(rules.Out());
    if (SUCCEEDED(hr))
        hr = rules->get__NewEnum(items.Out());
    if (SUCCEEDED(hr))
        hr = items->QueryInterface(IID_IEnumVARIANT, reinterpret_cast<void **>(each.Out()));
    if (FAILED(hr)) {
        fw.unreadable = HresultText("reading the firewall rules", hr);
        return;
    }
    long covered = 0;
    for (;;) {
        VARIANT item;
        VariantInit(&item);
        ULONG got = 0;
        if (each->Next(1, &item, &got) != S_OK || !got)
            break;
        Com<INetFwRule> rule;
        long profiles = 0;
        if (item.vt == VT_DISPATCH && item.pdispVal &&
            SUCCEEDED(item.pdispVal->QueryInterface(IID_INetFwRule, reinterpret_cast<void **>(rule.Out()))) &&
            AllowsProgram(rule.p, program, &profiles)) {
            fw.ruleFound = true;
            covered |= profiles;
        }
        VariantClear(&item);
    }
    for (auto [bit, name] : {std::pair{NET_FW_PROFILE2_DOMAIN, "domain"},
                             {NET_FW_PROFILE2_PRIVATE, "private"},
                             {NET_FW_PROFILE2_PUBLIC, "public"}})
        if (covered & bit)
            fw.ruleProfiles.push_back(name);
}

site::WindowsFirewall ReadFirewall()
{
    site::WindowsFirewall fw;
    const std::wstring program = ThisProgram();
    fw.program = tvp::win::Utf8(program.c_str());
    ComScope com;
    if (!com.Usable()) {
        fw.unreadable = HresultText("starting COM", com.started);
        return fw;
    }
    Com<INetFwPolicy2> policy;
    const HRESULT hr = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwPolicy2,
                                        reinterpret_cast<void **>(policy.Out()));
    if (FAILED(hr)) {
        fw.unreadable = HresultText("opening the firewall's policy (INetFwPolicy2)", hr);
        return fw;
    }
    for (auto [profile, name] : {std::pair{NET_FW_PROFILE2_DOMAIN, "domain"},
                                 {NET_FW_PROFILE2_PRIVATE, "private"},
                                 {NET_FW_PROFILE2_PUBLIC, "public"}}) {
        VARIANT_BOOL on = VARIANT_FALSE;
        if (SUCCEEDED(policy->get_FirewallEnabled(profile, &on)))
            fw.enabled[name] = on == VARIANT_TRUE;
    }
    ReadRules(policy.p, program, fw);
    return fw;
}

} // namespace

std::vector<site::DoctorInterface> SystemInterfaces()
{
    std::vector<site::DoctorInterface> list;
    ComScope com;
    const auto categories = com.Usable() ? NetworkCategories() : std::map<std::wstring, std::string>{};
    const tvp::win::Adapters adapters(AF_UNSPEC,
                                      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER);
    for (auto *a = adapters.First(); a; a = a->Next) {
        site::DoctorInterface i;
        i.name = tvp::win::Utf8(a->FriendlyName);
        if (i.name.empty())
            continue;
        i.up = a->OperStatus == IfOperStatusUp;
        i.broadcast = !PointToPoint(a->IfType);
        i.kind = ClassifyWindows({a->IfType, tvp::win::Utf8(a->Description)});
        for (auto *u = a->FirstUnicastAddress; u; u = u->Next) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            if (sa && sa->sa_family == AF_INET && u->OnLinkPrefixLength <= 32)
                i.addresses.emplace_back(ntohl(reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr),
                                         tvp::wire::MaskOf(u->OnLinkPrefixLength));
        }
        if (a->AdapterName) {
            std::wstring guid;
            for (const char *c = a->AdapterName; *c; ++c)
                guid.push_back(wchar_t(*c));
            if (auto it = categories.find(Lower(guid)); it != categories.end())
                i.firewallProfile = it->second;
        }
        list.push_back(std::move(i));
    }
    return list;
}

void ReadSystemFacts(site::DoctorFacts &facts)
{
    facts.windowsFirewall = ReadFirewall();
}

std::optional<uint64_t> RpFilterDrops()
{
    return std::nullopt;
}

AnswerTap::~AnswerTap() = default;

bool AnswerTap::Open(const std::vector<std::string> &, uint16_t)
{
    return false; // no capture without a driver of one's own
}

void AnswerTap::Drain()
{}

} // namespace cli::sys
