// SPDX-License-Identifier: MIT
// Shared by the main-window tests: a shell that records instead of starting
// programs (no test may flush the machine's ARP cache or open a browser),
// and small event-loop helpers.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "gui_helpers.h"

class QTreeWidget;
class QTreeWidgetItem;
class TDeviceForm;
struct TDeviceInfo;

namespace mwtest {

using testsupport::RecordingShell;

// The shell every test of the process uses; installed before any test runs.
RecordingShell &FakeShell();

// Runs the event loop until it is about to wait for events: the moment the
// program applies its enabling rules.
void RunUntilIdle();

// The names of the simulator's sample LAN, in the list's order.
inline const QStringList SampleNames = {
    "Boiler Room Gateway", "Chiller Monitor",    "Dock Door Sensor",   "Line 2 Serial Server",
    "Old Firmware Unit",   "Packing PLC Bridge", "Test Bench Adapter", "Warehouse Bridge",
};

QTreeWidget *DeviceList(TDeviceForm &form);
QStringList Column(TDeviceForm &form, int column);

TDeviceInfo Device(const QString &name, const QString &id, const QString &ip = QString());

// One rescan of Keep Scanning (the one under way, or one started now), with
// `during` run while it collects answers; true when its end was shown on
// the rows, false when it did not start, was dropped or did not end in time.
bool KeepScanningRescan(TDeviceForm &form, const std::function<void()> &during = {});

// Whether a row shows as new (bold) or missing (greyed, with its tooltip).
bool ShownNew(const QTreeWidgetItem *row);
QString MissingTip(const QTreeWidgetItem *row);

} // namespace mwtest
