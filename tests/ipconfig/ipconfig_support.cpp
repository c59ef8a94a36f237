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
#include <dlfcn.h>

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

} // namespace iptest

// The dialogs' calls into the library pass through here first.
namespace {
template <typename Fn>
Fn Real(const char *name)
{
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}
} // namespace

extern "C" {

int TVP_CALL TVPMacToID(const char *idText, uint8_t *id)
{
    if (iptest::Calls().forward)
        return Real<int (*)(const char *, uint8_t *)>("TVPMacToID")(idText, id);
    const auto fake = iptest::FakeIdOf(idText ? idText : "");
    std::memcpy(id, fake.data(), fake.size());
    return 0;
}

int TVP_CALL TVPGetIP(const uint8_t *id)
{
    iptest::DeviceIdBytes bytes{};
    std::memcpy(bytes.data(), id, bytes.size());
    iptest::Calls().getIP.push_back(bytes);
    if (iptest::Calls().forward)
        return Real<int (*)(const uint8_t *)>("TVPGetIP")(id);
    return 0;
}

int TVP_CALL TVPSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway,
                      uint8_t useDHCP)
{
    iptest::SetIPCall call;
    std::memcpy(call.id.data(), id, call.id.size());
    call.address = address ? address : "";
    call.mask = mask ? mask : "";
    call.gateway = gateway ? gateway : "";
    call.useDHCP = useDHCP;
    iptest::Calls().setIP.push_back(call);
    if (iptest::Calls().forward)
        return Real<int (*)(const uint8_t *, const char *, const char *, const char *, uint8_t)>(
            "TVPSetIP")(id, address, mask, gateway, useDHCP);
    return 0;
}

int TVP_CALL TVPChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway)
{
    iptest::Calls().chooseIPAddress.push_back(interfaceText ? interfaceText : "");
    if (iptest::Calls().chooseNothing || !iptest::Calls().forward)
        return 0;
    return Real<int (*)(const char *, char *, char *, char *)>("TVPChooseIPAddress")(
        interfaceText, address, mask, gateway);
}

} // extern "C"
