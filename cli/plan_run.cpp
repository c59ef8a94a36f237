// SPDX-License-Identifier: MIT
#include "plan_run.h"

#include "address.h"
#include "tvp.h"

#include <algorithm>

namespace cli {

namespace {

namespace wire = tvp::wire;
using Request = site::ApplyRequest;

// A wait for news never lasts longer, so the time-outs are seen in time.
constexpr auto kLongestWait = std::chrono::milliseconds(500);
const char *const kNotSent = "the library refused to send it; -v says why";

site::Settings ToSettings(const IpSettings &s)
{
    site::Settings out;
    out.dhcp = s.dhcp;
    out.ip = wire::ParseDottedQuad(s.ip).value_or(0);
    out.mask = wire::ParseDottedQuad(s.mask).value_or(0);
    out.gateway = wire::ParseDottedQuad(s.gateway).value_or(0);
    return out;
}

IpSettings ToTexts(const site::Settings &s)
{
    IpSettings out;
    out.dhcp = s.dhcp;
    if (!s.dhcp) {
        out.ip = wire::FormatDottedQuad(s.ip);
        out.mask = wire::FormatDottedQuad(s.mask);
        out.gateway = s.gateway ? wire::FormatDottedQuad(s.gateway) : std::string();
    }
    return out;
}

void Send(Library &library, site::PlanApply &apply, const Request &r)
{
    int sent = 0;
    switch (r.kind) {
    case Request::Kind::GetIP: sent = library.RequestSettings(r.id, r.at); break;
    case Request::Kind::SetIP: sent = library.SendSettings(r.id, r.at, ToTexts(r.settings)); break;
    case Request::Kind::Discover: TVPDiscover(); break; // a device not found is looked for again
    case Request::Kind::DiscoverAt: sent = TVPDiscoverAddress(r.at.c_str()); break;
    }
    if (sent != 0)
        apply.NotSent(r, kNotSent, Clock::now());
}

// Hands what came in to the steps; true when anything did.
bool Feed(Library &library, site::PlanApply &apply)
{
    const auto now = Clock::now();
    bool any = false;
    for (const auto &r : library.TakeGetIPReplies()) {
        apply.GetIPReply(CanonicalId(r.id), ToSettings(r), now);
        any = true;
    }
    for (const auto &[id, address] : library.TakeSetIPReplies()) {
        apply.SetIPReply(CanonicalId(id), now);
        any = true;
    }
    for (const auto &d : library.TakeFound()) {
        const std::string id = CanonicalId(d.id);
        if (!apply.Awaits(id))
            continue;
        const auto &devices = apply.Devices();
        const bool routed = std::any_of(devices.begin(), devices.end(), [&](const site::ApplyDevice &a) {
            return a.target.id == id && !a.target.reachAt.empty();
        });
        apply.Found(id, d.ip, library.Answers(d.ip, routed), Clock::now());
        any = true;
    }
    return any;
}

} // namespace

std::vector<site::ApplyDevice> RunApply(Library &library, std::vector<site::ApplyTarget> targets,
                                        const site::ApplyOptions &options,
                                        const std::function<void(const site::ApplyDevice &)> &finished)
{
    site::PlanApply apply(std::move(targets), options);
    library.TakeFound(); // answers of the check's discovery are old news
    for (;;) {
        for (const auto &r : apply.Advance(Clock::now()))
            Send(library, apply, r);
        for (size_t i : apply.TakeChanged())
            if (apply.Devices()[i].phase == site::ApplyPhase::Done && finished)
                finished(apply.Devices()[i]);
        if (apply.Done())
            break;
        const auto now = Clock::now();
        const auto until = std::clamp(apply.NextWake().value_or(now), now, now + kLongestWait);
        library.Pump(until, [&] { return Feed(library, apply); });
    }
    return apply.Devices();
}

} // namespace cli
