// SPDX-License-Identifier: MIT
#include "tvpinterface.h"

#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <vector>

TTVPInterface *CurrentInterface = nullptr;

namespace {

thread_local TUpgradeSink *ThreadUpgradeSink = nullptr;

QString text(const char *p)
{
    return p ? QString::fromUtf8(p) : QString();
}

} // namespace

TTVPInterface::TTVPInterface(QObject *owner, bool Debug)
    : QObject(owner)
{
    DiscoveryTimer = new QTimer(this);
    DiscoveryTimer->setObjectName(QStringLiteral("DiscoveryTimer"));
    DiscoveryTimer->setInterval(500);
    DiscoveryTimer->setTimerType(Qt::PreciseTimer);
    connect(DiscoveryTimer, &QTimer::timeout, this, &TTVPInterface::DiscoveryTick);

    TVPSetApplicationCallback(LibraryCallback, Debug ? 1 : 0);

    // Library events reach us through the message loop, modal loops included.
    const int handle = TVPEventHandle();
    if (handle >= 0) {
        EventNotifier = new QSocketNotifier(handle, QSocketNotifier::Read, this);
        connect(EventNotifier, &QSocketNotifier::activated, this, &TTVPInterface::ProcessLibraryEvents);
    }
    CurrentInterface = this;
}

TTVPInterface::~TTVPInterface()
{
    // A late event must not reach a destroyed object.
    if (CurrentInterface == this)
        CurrentInterface = nullptr;
}

void TTVPInterface::StartDiscovery()
{
    DiscoveryCount = 4;
    // An already running timer keeps its rhythm.
    if (!DiscoveryTimer->isActive())
        DiscoveryTimer->start();
    Signal(OnDiscoveryProgress, 0);
    Discover();
}

void TTVPInterface::DiscoveryTick()
{
    if (DiscoveryCount <= 0) {
        DiscoveryTimer->stop();
        Signal(OnDiscoveryDone);
        return;
    }
    --DiscoveryCount;
    Discover();
    Signal(OnDiscoveryProgress, 1);
}

void TTVPInterface::Discover()
{
    TVPDiscover();
}

int TTVPInterface::DiscoverAddress(const QString &Address)
{
    return TVPDiscoverAddress(Address.toUtf8().constData());
}

int TTVPInterface::GetIP(const uint8_t *ID)
{
    return TVPGetIP(ID);
}

void TTVPInterface::SetIP(const uint8_t *ID, const QString &IPAddress, const QString &SubnetMask,
                          const QString &DefaultGateway, bool UseDHCP)
{
    TVPSetIP(ID, IPAddress.toUtf8().constData(), SubnetMask.toUtf8().constData(), DefaultGateway.toUtf8().constData(),
             UseDHCP ? 1 : 0);
}

int TTVPInterface::GetIPAt(const uint8_t *ID, const QString &DeviceAddress)
{
    return TVPGetIPAt(ID, DeviceAddress.toUtf8().constData());
}

int TTVPInterface::SetIPAt(const uint8_t *ID, const QString &DeviceAddress, const QString &IPAddress,
                           const QString &SubnetMask, const QString &DefaultGateway, bool UseDHCP)
{
    return TVPSetIPAt(ID, DeviceAddress.toUtf8().constData(), IPAddress.toUtf8().constData(),
                      SubnetMask.toUtf8().constData(), DefaultGateway.toUtf8().constData(), UseDHCP ? 1 : 0);
}

void TTVPInterface::DispatchEvent(uint32_t Code, TDeviceInfo Info)
{
    if (Code >= TVPEventDeviceFound && Code <= TVPEventSetIPReply)
        emit DeviceEvent(Code, Info);
    switch (Code) {
    case TVPEventDeviceFound: Signal(OnDeviceFound, &Info); break;
    case TVPEventGetIPReply:
    case TVPEventSetIPReply: Signal(OnDeviceReply, &Info); break;
    default: break;
    }
}

void TTVPInterface::ProcessLibraryEvents()
{
    TVPProcessEvents();
}

void TVP_CALL LibraryCallback(uint32_t Code, const void *Record)
{
    if (!Record)
        return;
    if (Code == TVPEventUpgrade && ThreadUpgradeSink) {
        ThreadUpgradeSink->UpgradeEvent(*static_cast<const TVPUpgradeRecord *>(Record));
        return;
    }
    // Nobody to hand an event to before the object exists or after it went.
    TTVPInterface *current = CurrentInterface;
    if (!current)
        return;
    if (QThread::currentThread() != current->thread()) {
        // An upload on a thread of its own: its log lines go to the
        // object's thread; an upgrade event without a sink reaches no window.
        if (Code == TVPEventLog) {
            const QString line = text(static_cast<const TVPLogRecord *>(Record)->Text);
            QMetaObject::invokeMethod(
                current, [current, line] { current->Signal(current->OnLogLine, line); }, Qt::QueuedConnection);
        }
        return;
    }
    TDeviceInfo info;
    switch (Code) {
    case TVPEventLog:
        current->Signal(current->OnLogLine, text(static_cast<const TVPLogRecord *>(Record)->Text));
        return;
    case TVPEventDeviceFound: {
        const auto *r = static_cast<const TVPDeviceFoundRecord *>(Record);
        info.ID = text(r->ID);
        info.Interface = text(r->Interface);
        info.IPAddress = text(r->IPAddress);
        info.Name = text(r->Name);
        info.Type = text(r->Type);
        break;
    }
    case TVPEventGetIPReply: {
        const auto *r = static_cast<const TVPGetIPReplyRecord *>(Record);
        info.ID = text(r->ID);
        info.Interface = text(r->Interface);
        info.IPAddress = text(r->IPAddress);
        info.SubnetMask = text(r->SubnetMask);
        info.DefaultGateway = text(r->DefaultGateway);
        info.UseDHCP = r->UseDHCP;
        break;
    }
    case TVPEventSetIPReply: {
        const auto *r = static_cast<const TVPSetIPReplyRecord *>(Record);
        info.ID = text(r->ID);
        info.IPAddress = text(r->IPAddress);
        break;
    }
    case TVPEventUpgrade:
        // handed on unchanged: the upgrade dialog reads the record itself
        current->Signal(current->OnUpgradeEvent, Code, Record);
        return;
    default: return;
    }
    current->DispatchEvent(Code, std::move(info));
}

void SetThreadUpgradeSink(TUpgradeSink *Sink)
{
    ThreadUpgradeSink = Sink;
}

void MacToID(const QString &IDText, uint8_t *ID)
{
    TVPMacToID(IDText.toUtf8().constData(), ID);
}

bool PingDevice(const QString &IPAddress)
{
    return (TVPPingDevice(IPAddress.toUtf8().constData()) & 0xff) != 0;
}

bool PingAddress(const QString &IPAddress)
{
    return TVPPingAddress(IPAddress.toUtf8().constData()) == 1;
}

QString NotSentReason(int Result)
{
    switch (Result) {
    case TVPNotSentInvalid: return QStringLiteral("no device can hold it");
    case TVPNotSentNoRoute: return QStringLiteral("no route to it leaves by an interface in use");
    default: return QStringLiteral("the send failed");
    }
}

QStringList UsedInterfaces()
{
    std::vector<char> names(256);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int length = TVPGetInterfaces(names.data(), names.size());
        if (length < 0)
            return {};
        if (size_t(length) < names.size())
            return QString::fromUtf8(names.data(), length).split(QLatin1Char(','), Qt::SkipEmptyParts);
        // cut short: once more with room for all of it
        names.resize(size_t(length) + 1);
    }
    return {};
}
