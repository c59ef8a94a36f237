// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <vector>

#include "sweep.h"

class TTVPInterface;

// Asks each address of some ranges directly, at a rate, from the event
// loop: devices behind a router answer no broadcast. The answers come as
// the broadcast's do, through the protocol object's OnDeviceFound.
class TAddressSweep final : public QObject
{
    Q_OBJECT

public:
    TAddressSweep(TTVPInterface *Protocol, std::vector<site::Range> Targets, double Rate, QObject *parent);
    TAddressSweep(const TAddressSweep &) = delete;
    TAddressSweep &operator=(const TAddressSweep &) = delete;

    void Start();
    bool Started() const { return Clock.isValid(); }
    bool Done() const { return Pacer.Done(); }
    uint64_t Total() const { return Pacer.Total(); }
    // Addresses the library sent nothing to: how many, and the first few
    // with why ("10.9.0.1 (no route to it leaves by an interface in use)").
    uint64_t NotAsked() const { return NotAskedCount; }
    QStringList NotAskedNamed() const { return Named; }

signals:
    // The last request has gone; answers may still come.
    void Finished();

private:
    void Tick();

    TTVPInterface *Protocol;
    site::SweepPacer Pacer;
    QTimer Timer;
    QElapsedTimer Clock;
    uint64_t NotAskedCount = 0;
    QStringList Named;
};
