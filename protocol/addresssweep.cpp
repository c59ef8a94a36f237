// SPDX-License-Identifier: MIT
#include "addresssweep.h"

#include <algorithm>
#include <cmath>

#include "address.h"
#include "tvpinterface.h"

namespace {

// Sends per turn of the event loop: a fast rate over a large range must
// not keep the window from answering the user.
constexpr size_t MaxSendsPerTick = 256;
// Enough to show where the trouble is; the count says the rest.
constexpr int NamedNotAsked = 3;

} // namespace

TAddressSweep::TAddressSweep(TTVPInterface *Protocol, std::vector<site::Range> Targets, double Rate, QObject *parent)
    : QObject(parent),
      Protocol(Protocol),
      Pacer(std::move(Targets), Rate)
{
    Timer.setSingleShot(true);
    Timer.setTimerType(Qt::PreciseTimer);
    connect(&Timer, &QTimer::timeout, this, &TAddressSweep::Tick);
}

void TAddressSweep::Start()
{
    if (Started())
        return;
    Clock.start();
    Tick();
}

void TAddressSweep::Tick()
{
    const double elapsed = double(Clock.nsecsElapsed()) / 1e9;
    for (const uint32_t address : Pacer.Due(elapsed, MaxSendsPerTick)) {
        const QString text = QString::fromStdString(tvp::wire::FormatDottedQuad(address));
        const int sent = Protocol->DiscoverAddress(text);
        if (sent == 0)
            continue;
        if (++NotAskedCount <= NamedNotAsked)
            Named << text + QStringLiteral(" (") + NotSentReason(sent) + QStringLiteral(")");
    }
    if (Pacer.Done()) {
        emit Finished();
        return;
    }
    // the next one when it is due; at once when this turn had to stop short
    const double wait = Pacer.NextDueS() - double(Clock.nsecsElapsed()) / 1e9;
    Timer.start(int(std::clamp(std::ceil(wait * 1000), 0.0, 1000.0)));
}
