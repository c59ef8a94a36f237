// SPDX-License-Identifier: MIT
#pragma once

#include <QSet>
#include <QObject>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

#include "found.h"
#include "sitecalls.h"

class QTimer;
class TTVPInterface;
struct TDeviceInfo;

// The devices a plan is checked or made against, found without holding up
// the event loop: a discovery through the protocol object (five broadcasts
// 500 ms apart, as a scan sends them, with answers taken until 2.5 s), then
// a Discover by unicast to the address of each listed device that lies off
// the subnet of its card and gave no answer (a device behind a router, as a
// scan of addresses lists it), paced and given a second to answer. Answers also reach the main list, as any late
// answer does; nothing here clears it.
class TPlanSurvey final : public QObject
{
    Q_OBJECT

public:
    explicit TPlanSurvey(TTVPInterface *Protocol, QObject *parent = nullptr);

    // `Listed`: the main list's devices.
    void Start(const QList<TDeviceInfo> &Listed);
    void Stop();
    bool IsRunning() const;

    // The devices that answered, the first answer of each ID.
    const std::vector<site::SiteDevice> &Devices() const { return Found; }
    std::vector<uint32_t> PcAddresses() const;

signals:
    // 0 to 100, as the survey goes.
    void Progress(int Percent);
    void Finished();

private:
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);
    void Tick();
    void AskByUnicast();

    TTVPInterface *Protocol;
    QTimer *Timer;
    int Ticks = 0;
    int QuietUntil = 0; // the tick after which the survey ends
    QStringList ToAsk;
    QSet<QString> Asked;
    std::optional<sitecalls::LocalCards> PcCards;
    std::vector<site::SiteDevice> Found;
    QSet<QString> FoundIDs, FoundIPs;
};
