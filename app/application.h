// SPDX-License-Identifier: MIT
#pragma once

#include <QApplication>
#include <QStringList>

// The application object: an error that escapes an event handler is shown
// in the standard error box instead of ending the program.
class TApplication final : public QApplication
{
    Q_OBJECT

public:
    TApplication(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// The command line as given, the program path first; read before the
// application object exists, which is handed none of it.
QStringList ProgramArguments(int argc, char **argv);

// True when an argument after the program path is exactly "-d".
bool HasDebugSwitch(const QStringList &arguments);

// Start-up after the single-instance check: the six windows, created in
// their fixed order.
void CreateWindows();
// Shows the main window, and the log window beside it in debug mode.
void ShowWindows();
void DestroyWindows();
