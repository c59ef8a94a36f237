// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <memory>
#include <vector>

#include "plan_apply.h"

class QTimer;
class TTVPInterface;
struct TDeviceInfo;

// Runs a plan's apply (site::PlanApply) on the event loop: sends what it
// asks for through sitecalls, feeds it the device events of the protocol
// object as they come, and wakes it when a wait runs out. Nothing here
// waits: a probe of a device just heard of returns at once.
class TPlanRun final : public QObject
{
    Q_OBJECT

public:
    explicit TPlanRun(TTVPInterface *Protocol, QObject *parent = nullptr);
    ~TPlanRun() override;

    void Start(std::vector<site::ApplyTarget> Targets, const site::ApplyOptions &Options);
    bool IsRunning() const;
    // The devices of the last run, in the order of its targets.
    const std::vector<site::ApplyDevice> &Devices() const;

signals:
    // Device `Index` moved on (phase or outcome).
    void DeviceChanged(int Index);
    void Finished();

private:
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);
    void Advance();

    std::unique_ptr<site::PlanApply> Apply;
    QTimer *Wake;
    bool Running = false;
};
