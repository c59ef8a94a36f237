// SPDX-License-Identifier: MIT
#include "ipconfig_support.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProgressBar>
#include <QWindow>

#include <algorithm>
#include <cstring>

#include "application.h"
#include "devicecomm.h"
#include "devices.h"
#include "ipconfig.h"
#include "log.h"
#include "tvp.h"

namespace iptest {

void EnsureWindows()
{
    if (DeviceForm)
        return;
    DebugMode = true;
    CreateWindows();
}

QStringList LogLines()
{
    return LogForm ? LogForm->Lines() : QStringList();
}

int LogCount(const QString &line)
{
    return int(LogLines().count(line));
}

QProgressBar *WaitProgress()
{
    return DeviceCommForm->findChild<QProgressBar *>(QStringLiteral("Progress"));
}

bool WaitIdleFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

bool OnScreen(QWidget *w)
{
    return w->isVisible() && w->windowHandle() && w->windowHandle()->isVisible();
}

Script::Script(int deadlineMs)
{
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, &Script::tick);
    timer_.start();
    deadline_.setSingleShot(true);
    deadline_.setInterval(deadlineMs);
    connect(&deadline_, &QTimer::timeout, this, [this] {
        ADD_FAILURE() << "script stalled at step " << next_;
        next_ = steps_.size();
        // let the test go on rather than hang in a modal loop
        // hidden ones too: a wait left hidden in its own loop ends only so
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *d = qobject_cast<QDialog *>(w))
                d->reject();
        }
    });
    deadline_.start();
}

Script::~Script() = default;

Script &Script::When(std::function<bool()> condition, std::function<void()> action)
{
    steps_.push_back({std::move(condition), std::move(action)});
    return *this;
}

Script &Script::Then(std::function<void()> action)
{
    return When([] { return true; }, std::move(action));
}

void Script::tick()
{
    if (next_ >= steps_.size())
        return;
    if (!steps_[next_].condition())
        return;
    // run apart from this timer: an action that opens a modal loop must
    // not hold up the steps after it
    QMetaObject::invokeMethod(this, steps_[next_++].action, Qt::QueuedConnection);
}

LibraryCalls &Calls()
{
    static LibraryCalls calls;
    return calls;
}

DeviceIdBytes FakeIdOf(const std::string &idText)
{
    DeviceIdBytes id{};
    std::memcpy(id.data(), idText.data(), std::min(idText.size(), id.size()));
    return id;
}

// The dialogs' calls into the library pass through here first (routed
// by ipconfig_route_*.cpp).

int TVP_CALL FakeMacToID(const char *idText, uint8_t *id)
{
    if (Calls().forward)
        return RealLibrary().MacToID(idText, id);
    const auto fake = FakeIdOf(idText ? idText : "");
    std::memcpy(id, fake.data(), fake.size());
    return 0;
}

int TVP_CALL FakeGetIP(const uint8_t *id)
{
    DeviceIdBytes bytes{};
    std::memcpy(bytes.data(), id, bytes.size());
    Calls().getIP.push_back(bytes);
    if (Calls().forward)
        return RealLibrary().GetIP(id);
    return 0;
}

int TVP_CALL FakeSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t useDHCP)
{
    SetIPCall call;
    std::memcpy(call.id.data(), id, call.id.size());
    call.address = address ? address : "";
    call.mask = mask ? mask : "";
    call.gateway = gateway ? gateway : "";
    call.useDHCP = useDHCP;
    Calls().setIP.push_back(call);
    if (Calls().forward)
        return RealLibrary().SetIP(id, address, mask, gateway, useDHCP);
    return 0;
}

int TVP_CALL FakeChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway)
{
    Calls().chooseIPAddress.push_back(interfaceText ? interfaceText : "");
    if (Calls().chooseNothing || !Calls().forward)
        return 0;
    return RealLibrary().ChooseIPAddress(interfaceText, address, mask, gateway);
}

} // namespace iptest
