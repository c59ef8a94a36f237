// SPDX-License-Identifier: MIT
// Tools > Keep Scanning: the main window's list rediscovered on a beat
// without being cleared. What changed is the watch's decision (site/watch.h);
// this unit shows it on the rows, in place.
#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "watch.h"

class QTimer;
class QTreeWidget;
class QTreeWidgetItem;
class TDeviceForm;
class TTVPInterface;
struct TDeviceInfo;

class TKeepScanning final : public QObject
{
    Q_OBJECT

public:
    // A rescan every 10 s: five broadcasts 500 ms apart, as a scan sends
    // them, and 500 ms more for the answers to the last one.
    static constexpr int IntervalMs = 10000;
    static constexpr int BroadcastMs = 500;
    static constexpr int Broadcasts = 5;
    // A new row is bold this long at most; the next user action ends it sooner.
    static constexpr std::chrono::minutes NewFor{1};
    // On a greyed row's Name: when it was last seen (the main window's
    // own roles are Qt::UserRole and the one after).
    static constexpr int MissingSinceRole = Qt::UserRole + 2;

    using Clock = std::function<site::WallClock::time_point()>;

    TKeepScanning(TDeviceForm *Form, QTreeWidget *List, TTVPInterface *Protocol);
    TKeepScanning(const TKeepScanning &) = delete;
    TKeepScanning &operator=(const TKeepScanning &) = delete;

    // Where the rescans take their time from; the system's clock unless set.
    void SetClock(Clock Now);

    void SetRunning(bool Running);
    bool IsRunning() const;
    // True while a rescan collects answers: those are this unit's to show.
    bool Collecting() const { return Gathering; }
    // A scan is about to clear the list: a rescan under way is dropped,
    // and the next one starts from the list as the scan leaves it.
    void ListCleared();
    // A rescan now rather than at the next beat; false when none starts
    // (off, a dialog open, a name being edited, a scan, an address scan or
    // a rescan under way).
    bool Rescan();

signals:
    // A rescan ended: shown on the rows, or dropped (a dialog opened, a scan began).
    void RescanEnded(bool Shown);

protected:
    bool eventFilter(QObject *Watched, QEvent *Event) override;

private:
    void DeviceEvent(uint32_t Code, const TDeviceInfo &Info);
    void BroadcastTick();
    void NoteRouted();
    void AskRouted();
    void Drop();
    bool Busy() const;
    std::vector<site::WatchDevice> Listed() const;
    void Show(const std::vector<site::WatchEvent> &Events, site::WallClock::time_point At);
    void ShowAppeared(QTreeWidgetItem *Row, const site::WatchDevice &Device, site::WallClock::time_point At);
    void ShowMissing(QTreeWidgetItem *Row, const std::string &ID);
    void MarkNew(QTreeWidgetItem *Row, bool New) const;
    // Rows new since `Before` or earlier are shown as any other.
    void EndNew(site::WallClock::time_point Before);

    TDeviceForm *Form;
    QTreeWidget *List;
    TTVPInterface *Protocol;
    Clock Now;
    QTimer *Beat;
    QTimer *BroadcastTimer;
    int Sent = 0;
    bool Gathering = false;
    // the watch learns the list as it stands before its first rescan
    bool Seed = true;
    site::Watch Watch;
    std::vector<site::WatchDevice> Found;
    std::set<std::string> FoundIDs;
    std::map<std::string, site::WallClock::time_point> NewSince; // by ID
    // No broadcast reaches a device behind a router: each rescan asks the
    // addresses of such rows directly, and what answers there stays routed.
    std::set<std::string> RoutedIDs;
    std::vector<QString> RoutedAddresses;
    size_t RoutedNext = 0; // where the next rescan goes on asking
    size_t RoutedAsked = 0;
    std::set<std::string> FoundRouted;
};
