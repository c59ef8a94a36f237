// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

#include "tvp.h"

class QSocketNotifier;
class QTimer;

// One device event as the windows see it; texts are copied out of the
// library's record, so the handler's pointer is valid only during the call.
struct TDeviceInfo
{
    QString Name;
    QString Type;
    QString IPAddress;
    QString ID;
    uint8_t UseDHCP = 0;
    QString SubnetMask;
    QString DefaultGateway;
    QString Interface;
};

class TTVPInterface;

using TDeviceEvent = std::function<void(TTVPInterface *Sender, const TDeviceInfo *Info)>;
using TDiscoveryProgressEvent = std::function<void(TTVPInterface *Sender, int Step)>;
using TNotifyEvent = std::function<void(TTVPInterface *Sender)>;
// An upgrade event (code 4) with the library's own record, valid only during
// the call; the upgrade dialog reads it.
using TUpgradeEvent = std::function<void(TTVPInterface *Sender, uint32_t Code, const void *Record)>;
using TLogLineEvent = std::function<void(TTVPInterface *Sender, const QString &Text)>;

// Where the upgrade events of an upload on a thread of its own go. The
// library delivers them on the thread that called TVPUpgradeDevice, so such
// an upload sets its sink for that thread; its events never reach
// OnUpgradeEvent, whose subscriber is a window.
class TUpgradeSink
{
public:
    virtual ~TUpgradeSink() = default;
    // Called on the upload's own thread, during the library call.
    virtual void UpgradeEvent(const TVPUpgradeRecord &Record) = 0;
};

// The sink of the calling thread's uploads; nullptr: none.
void SetThreadUpgradeSink(TUpgradeSink *Sink);

// The program's one link to the TVP library: registers the callback, runs
// the discovery cycle and hands each library event to the subscribed window.
class TTVPInterface final : public QObject
{
    Q_OBJECT

public:
    // Debug asks the library for its log lines (code 0).
    explicit TTVPInterface(QObject *owner, bool Debug = false);
    ~TTVPInterface() override;
    TTVPInterface(const TTVPInterface &) = delete;
    TTVPInterface &operator=(const TTVPInterface &) = delete;

    QTimer *DiscoveryTimer = nullptr;

    // Each slot holds one subscriber at most; assigning replaces it.
    TDeviceEvent OnDeviceFound;
    TDeviceEvent OnDeviceReply;
    TDiscoveryProgressEvent OnDiscoveryProgress;
    TNotifyEvent OnDiscoveryDone;
    // The library's own events: upgrade progress and log lines.
    TUpgradeEvent OnUpgradeEvent;
    TLogLineEvent OnLogLine;

    int DiscoveryCount = 0;

    void StartDiscovery();
    void Discover();
    // One Discover by unicast to an address (a device behind a router
    // too); the library's result (0: sent).
    int DiscoverAddress(const QString &Address);
    int GetIP(const uint8_t *ID);
    void SetIP(const uint8_t *ID, const QString &IPAddress, const QString &SubnetMask, const QString &DefaultGateway,
               bool UseDHCP);
    // The same by unicast to the device's present address, for a device
    // behind a router; the answers come as those of GetIP and SetIP. 0 when
    // sent, else a TVPNotSent value.
    int GetIPAt(const uint8_t *ID, const QString &DeviceAddress);
    int SetIPAt(const uint8_t *ID, const QString &DeviceAddress, const QString &IPAddress, const QString &SubnetMask,
                const QString &DefaultGateway, bool UseDHCP);
    void DispatchEvent(uint32_t Code, TDeviceInfo Info);

signals:
    // Every device event (codes 1 to 3) for any number of listeners, beside
    // the one subscriber of each slot; the info is valid during the call.
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);

public slots:
    void DiscoveryTick();

private slots:
    void ProcessLibraryEvents();

private:
    // The library's events reach their slots from here.
    friend void TVP_CALL LibraryCallback(uint32_t Code, const void *Record);

    // Calls a slot's subscriber through a copy: a subscriber that assigns
    // its own slot (a scan started from a handler) must not destroy the
    // callable that is running.
    template <typename Slot, typename... Args>
    void Signal(const Slot &slot, Args... args)
    {
        if (Slot subscriber = slot)
            subscriber(this, args...);
    }

    QSocketNotifier *EventNotifier = nullptr;
};

// Reached by LibraryCallback, which the library calls without context.
extern TTVPInterface *CurrentInterface;

void TVP_CALL LibraryCallback(uint32_t Code, const void *Record);
void MacToID(const QString &IDText, uint8_t *ID);
bool PingDevice(const QString &IPAddress);
// The probe through the routing table, for an address beyond the PC's links.
bool PingAddress(const QString &IPAddress);
// Why the library sent nothing, in words, for a TVPNotSent value.
QString NotSentReason(int Result);
// The interfaces the library uses, by name; empty when it could not start.
QStringList UsedInterfaces();
