// SPDX-License-Identifier: MIT
#include "plansurvey.h"

#include <QTimer>

#include <algorithm>

#include "address.h"
#include "plan.h"
#include "tvpinterface.h"

namespace {

constexpr int TickMs = 100;
// Five broadcasts 500 ms apart, answers taken until 2.5 s.
constexpr int BroadcastEvery = 5, Broadcasts = 5;
constexpr int BroadcastTicks = BroadcastEvery * Broadcasts;
// Discovers by unicast: at most this many per tick (1,000 a second, the
// command line's default rate), then a second for the answers: the
// library probes each address before it delivers one.
constexpr int UnicastPerTick = 100;
constexpr int AnswerTicks = 1000 / TickMs;

} // namespace

TPlanSurvey::TPlanSurvey(TTVPInterface *Protocol, QObject *parent)
    : QObject(parent),
      Protocol(Protocol),
      Timer(new QTimer(this))
{
    Timer->setInterval(TickMs);
    connect(Timer, &QTimer::timeout, this, &TPlanSurvey::Tick);
    connect(Protocol, &TTVPInterface::DeviceEvent, this, &TPlanSurvey::DeviceEvent);
}

void TPlanSurvey::Start(const QList<TDeviceInfo> &Listed)
{
    Found.clear();
    FoundIDs.clear();
    FoundIPs.clear();
    PcCards.emplace();
    ToAsk.clear();
    for (const TDeviceInfo &d : Listed) {
        const auto link = PcCards->LinkOf(d.Interface.toStdString());
        const auto ip = tvp::wire::ParseDottedQuad(d.IPAddress.toStdString());
        if (ip && !(link && link->Contains(*ip)))
            ToAsk << d.IPAddress;
    }
    Asked.clear();
    Ticks = 0;
    QuietUntil = BroadcastTicks;
    Timer->start();
    emit Progress(0);
    Protocol->Discover();
}

void TPlanSurvey::Stop()
{
    Timer->stop();
}

bool TPlanSurvey::IsRunning() const
{
    return Timer->isActive();
}

std::vector<uint32_t> TPlanSurvey::PcAddresses() const
{
    return PcCards ? PcCards->Addresses() : std::vector<uint32_t>{};
}

void TPlanSurvey::Tick()
{
    ++Ticks;
    if (Ticks < BroadcastTicks && Ticks % BroadcastEvery == 0)
        Protocol->Discover();
    if (Ticks >= BroadcastTicks)
        AskByUnicast();
    if (Ticks >= QuietUntil && ToAsk.isEmpty()) {
        Timer->stop();
        emit Progress(100);
        emit Finished();
        return;
    }
    const int left = std::max(QuietUntil - Ticks, 0) + int(ToAsk.size()) / UnicastPerTick;
    emit Progress(std::min(99, Ticks * 100 / (Ticks + left)));
}

void TPlanSurvey::AskByUnicast()
{
    for (int sent = 0; sent < UnicastPerTick && !ToAsk.isEmpty();) {
        const QString address = ToAsk.takeFirst();
        // a device that answered a broadcast is on a link
        if (FoundIPs.contains(address) || Asked.contains(address))
            continue;
        Asked.insert(address);
        ++sent;
        // nothing sent (no route by a card in use): nothing to wait for
        if (Protocol->DiscoverAddress(address) == 0)
            QuietUntil = Ticks + AnswerTicks;
    }
}

void TPlanSurvey::DeviceEvent(uint32_t Code, const TDeviceInfo &Info)
{
    if (Code != TVPEventDeviceFound || !IsRunning())
        return;
    const std::string id = site::CanonicalId(Info.ID.toStdString());
    const QString key = QString::fromStdString(id);
    if (id.empty() || FoundIDs.contains(key))
        return;
    site::SiteDevice d;
    d.id = id;
    d.name = Info.Name.toStdString();
    d.type = Info.Type.toStdString();
    d.ip = Info.IPAddress.toStdString();
    d.interfaceText = Info.Interface.toStdString();
    d.link = PcCards->LinkOf(d.interfaceText);
    // heard only when asked at its own address, from off the card's subnet
    d.routed = Ticks >= BroadcastTicks && Asked.contains(Info.IPAddress) &&
               !(d.link && d.link->Contains(tvp::wire::ParseDottedQuad(d.ip).value_or(0)));
    FoundIDs.insert(key);
    FoundIPs.insert(Info.IPAddress);
    Found.push_back(std::move(d));
}
