// SPDX-License-Identifier: MIT
#include "planrun.h"

#include <QTimer>

#include <algorithm>
#include <chrono>

#include "address.h"
#include "sitecalls.h"
#include "tvpinterface.h"

namespace {

using site::Clock;
namespace wire = tvp::wire;

// A wait never lasts longer, so a late clock is caught up soon.
constexpr auto LongestWait = std::chrono::milliseconds(500);

site::Settings ToSettings(const TDeviceInfo &Info)
{
    const auto quad = [](const QString &text) { return wire::ParseDottedQuad(text.toStdString()).value_or(0); };
    site::Settings s;
    s.dhcp = Info.UseDHCP != 0;
    s.ip = quad(Info.IPAddress);
    s.mask = quad(Info.SubnetMask);
    s.gateway = quad(Info.DefaultGateway);
    return s;
}

const std::vector<site::ApplyDevice> NoDevices;

} // namespace

TPlanRun::TPlanRun(TTVPInterface *Protocol, QObject *parent)
    : QObject(parent),
      Wake(new QTimer(this))
{
    Wake->setSingleShot(true);
    Wake->setTimerType(Qt::PreciseTimer);
    connect(Wake, &QTimer::timeout, this, &TPlanRun::Advance);
    connect(Protocol, &TTVPInterface::DeviceEvent, this, &TPlanRun::DeviceEvent);
}

TPlanRun::~TPlanRun() = default;

void TPlanRun::Start(std::vector<site::ApplyTarget> Targets, const site::ApplyOptions &Options)
{
    Apply = std::make_unique<site::PlanApply>(std::move(Targets), Options);
    Running = true;
    Advance();
}

bool TPlanRun::IsRunning() const
{
    return Running;
}

const std::vector<site::ApplyDevice> &TPlanRun::Devices() const
{
    return Apply ? Apply->Devices() : NoDevices;
}

void TPlanRun::Advance()
{
    if (!Running)
        return;
    for (const auto &request : Apply->Advance(Clock::now())) {
        const std::string why = sitecalls::Send(request);
        if (!why.empty())
            Apply->NotSent(request, why, Clock::now());
    }
    for (size_t i : Apply->TakeChanged())
        emit DeviceChanged(int(i));
    if (Apply->Done()) {
        Running = false;
        emit Finished();
        return;
    }
    const auto now = Clock::now();
    const auto until = std::clamp(Apply->NextWake().value_or(now + LongestWait), now, now + LongestWait);
    // rounded up: a wake a little early would find nothing due
    Wake->start(int(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
}

void TPlanRun::DeviceEvent(uint32_t Code, const TDeviceInfo &Info)
{
    if (!Running)
        return;
    const std::string id = site::CanonicalId(Info.ID.toStdString());
    const auto now = Clock::now();
    switch (Code) {
    case TVPEventGetIPReply: Apply->GetIPReply(id, ToSettings(Info), now); break;
    case TVPEventSetIPReply: Apply->SetIPReply(id, now); break;
    case TVPEventDeviceFound: {
        if (!Apply->Awaits(id))
            return;
        const auto &devices = Apply->Devices();
        const bool routed = std::any_of(devices.begin(), devices.end(), [&](const site::ApplyDevice &d) {
            return d.target.id == id && !d.target.reachAt.empty();
        });
        Apply->Found(id, Info.IPAddress.toStdString(), sitecalls::Answers(Info.IPAddress.toStdString(), routed), now);
        break;
    }
    default: return;
    }
    // the steps move on once this event's turn is over, with any others come meanwhile
    Wake->start(0);
}
