// SPDX-License-Identifier: MIT
// Shared by the main-window tests: a shell that records instead of starting
// programs (no test may flush the machine's ARP cache or open a browser),
// and small event-loop helpers.
#pragma once

#include <QString>
#include <QStringList>

#include "gui_helpers.h"

class QTreeWidget;
class TDeviceForm;
struct TDeviceInfo;

namespace mwtest {

using testsupport::RecordingShell;

// The shell every test of the process uses; installed before any test runs.
RecordingShell &FakeShell();

// Runs the event loop until it is about to wait for events: the moment the
// program applies its enabling rules.
void RunUntilIdle();

QTreeWidget *DeviceList(TDeviceForm &form);
QStringList Column(TDeviceForm &form, int column);

TDeviceInfo Device(const QString &name, const QString &id, const QString &ip = QString());

} // namespace mwtest
