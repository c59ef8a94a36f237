// SPDX-License-Identifier: MIT
// Shared by the IP configuration tests: the program's windows, a stepwise
// script that drives modal loops from inside, and a record of what the
// dialogs handed to the device library.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tvp.h"

class QProgressBar;
class QWidget;

namespace iptest {

// Creates the program's six windows once, with the log kept.
void EnsureWindows();

int LogCount(const QString &line);
QStringList LogLines();

QProgressBar *WaitProgress();

// Like WaitFor, but lets the event loop go idle between checks, so that
// handlers run at idle (the commands' enabling rules) get their turn.
bool WaitIdleFor(const std::function<bool()> &condition, int timeoutMs = 5000);
// The IP dialog has a visible native window (not merely a show in progress).
bool OnScreen(QWidget *w);

// Runs its steps in order from the event loop, at most one per tick, each
// once its condition holds; whatever modal loop is running meanwhile keeps
// running. After the deadline it fails the test and ends any open wait.
class Script final : public QObject
{
public:
    explicit Script(int deadlineMs = 15000);
    ~Script() override;
    Script &When(std::function<bool()> condition, std::function<void()> action);
    Script &Then(std::function<void()> action);
    bool Finished() const { return next_ >= steps_.size(); }

private:
    struct Step
    {
        std::function<bool()> condition;
        std::function<void()> action;
    };
    void tick();
    std::vector<Step> steps_;
    size_t next_ = 0;
    QTimer timer_;
    QTimer deadline_;
};

// What the dialogs asked of the device library.
using DeviceIdBytes = std::array<uint8_t, 8>;
struct SetIPCall
{
    DeviceIdBytes id{};
    std::string address, mask, gateway;
    int useDHCP = 0;
};
struct LibraryCalls
{
    std::vector<DeviceIdBytes> getIP;
    std::vector<SetIPCall> setIP;
    std::vector<std::string> chooseIPAddress; // the interface texts
    // true: the address choice finds no free address
    bool chooseNothing = false;
    // false: nothing reaches the library, replies come from the test;
    // true: every call also goes on to the real library.
    bool forward = false;
    void Clear()
    {
        getIP.clear();
        setIP.clear();
        chooseIPAddress.clear();
        chooseNothing = false;
    }
};
LibraryCalls &Calls();

// The identifier the fake conversion gives an ID text.
DeviceIdBytes FakeIdOf(const std::string &idText);

// The stand-ins for the dialogs' library calls: they record each call and
// go on to the real library when Calls().forward says so.
int TVP_CALL FakeMacToID(const char *idText, uint8_t *id);
int TVP_CALL FakeGetIP(const uint8_t *id);
int TVP_CALL FakeSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway, uint8_t useDHCP);
int TVP_CALL FakeChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway);

// The library's own entry points, found by the system's way of routing the
// calls to the stand-ins (ipconfig_route_posix.cpp, ipconfig_route_win.cpp).
struct LibraryEntryPoints
{
    int(TVP_CALL *MacToID)(const char *, uint8_t *) = nullptr;
    int(TVP_CALL *GetIP)(const uint8_t *) = nullptr;
    int(TVP_CALL *SetIP)(const uint8_t *, const char *, const char *, const char *, uint8_t) = nullptr;
    int(TVP_CALL *ChooseIPAddress)(const char *, char *, char *, char *) = nullptr;
};
const LibraryEntryPoints &RealLibrary();

} // namespace iptest
