// SPDX-License-Identifier: MIT
#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

class QTreeWidget;
class QTreeWidgetItem;

#include "shell.h"

#include <functional>
#include <vector>

namespace testsupport {

// The main window's device list, and its row of a device by name (nullptr
// when none).
QTreeWidget *DeviceList();
QTreeWidgetItem *DeviceRow(const QString &name);
// True when a row carries the not-reachable mark (image 4); whether its
// picture is drawn is the main window's own tests' business.
bool MarkedNotReachable(const QTreeWidgetItem *row);

// Processes events until the condition holds or the deadline passes.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

// What a message box showed.
struct ShownBox
{
    QString title;
    QString text;
    QString informativeText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    bool applicationModal = false;
};

// Watches for modal widgets while a test runs: every message box is
// recorded and closed with its first button; any other modal dialog is
// handed to onDialog (which may close it) when set.
class ModalWatcher final : public QObject
{
public:
    explicit ModalWatcher(int intervalMs = 10);
    std::vector<ShownBox> boxes;
    std::function<void(QWidget *)> onDialog;
    // Leave message boxes open (a test then closes them itself).
    bool closeBoxes = true;

private:
    void poll();
    QTimer timer_;
};

// The shell of every GUI test: records instead of starting programs, so no
// test flushes the machine's neighbour table or opens a browser. The test
// main installs it before the first test; a test that needs the platform's
// own shell installs that only around programs it put on PATH itself.
class RecordingShell final : public Shell
{
public:
    void OpenURL(const QString &url, OpenResult done) override
    {
        urls << url;
        if (done)
            done(openSucceeds);
    }
    void StartTelnet(const QString &address) override { telnet << address; }
    void OpenNetworkSettings() override { ++networkSettings; }
    void FlushArpCache(const QStringList &interfaces, FlushFailure failed) override
    {
        ++arpFlushes;
        flushedInterfaces << interfaces;
        if (!flushFailure.isEmpty() && failed)
            failed(flushFailure);
    }

    void Reset() { *this = RecordingShell(); }

    QStringList urls;
    QStringList telnet;
    int networkSettings = 0;
    int arpFlushes = 0;
    QList<QStringList> flushedInterfaces;
    bool openSucceeds = true;
    // Reported for every flush when set.
    QString flushFailure;
};

RecordingShell &TestShell();

// A directory of stand-in programs put first on PATH while it lives.
class FakePrograms
{
public:
    FakePrograms();
    ~FakePrograms();
    FakePrograms(const FakePrograms &) = delete;
    FakePrograms &operator=(const FakePrograms &) = delete;
    bool IsValid() const;
    QString Path() const;
    // A shell script named `name`; it appends its arguments, one line per
    // call, to Calls(name).
    void Add(const QString &name, const QString &body);
    QStringList Calls(const QString &name) const;

private:
    struct Impl;
    Impl *d;
};

// An X server of the test's own (Xvfb), for what the offscreen platform
// cannot show: real top-level windows, a second display.
class XServer
{
public:
    XServer();
    ~XServer(); // stops the server
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;
    // Starts Xvfb on a free display; false, with Reason(), when it can't.
    bool Start();
    QString Reason() const { return reason_; }
    QString Display() const { return display_; }

    struct Window
    {
        QString id;
        QString name;
        bool viewable = false;
    };
    // The top-level windows of the display (children of the root window).
    std::vector<Window> TopLevels() const;
    // The viewable top-level windows named `name`.
    int Viewable(const QString &name) const;

private:
    QString display_;
    QString reason_;
    qint64 pid_ = 0;
};

} // namespace testsupport
