#pragma once

#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <vector>

namespace testsupport {

// Processes events until the condition holds or the deadline passes.
bool WaitFor(const std::function<bool()> &condition, int timeoutMs = 5000);

// What a message box showed.
struct ShownBox
{
    QString title;
    QString text;
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

} // namespace testsupport
