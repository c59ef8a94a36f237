// SPDX-License-Identifier: MIT
// Test main for GUI tests: the program's own application object, offscreen
// unless told otherwise, and a failure for every broken .ui connection.
#include <gtest/gtest.h>

#include <QByteArray>

#include "application.h"
#include "devsim_process.h"
#include "gui_helpers.h"
#include "shell.h"

namespace {

QtMessageHandler previousHandler = nullptr;

void failOnBrokenConnections(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtWarningMsg &&
        (msg.contains(QLatin1String("No such slot")) || msg.contains(QLatin1String("No such signal"))))
        ADD_FAILURE() << "broken connection: " << msg.toStdString();
    if (previousHandler)
        previousHandler(type, context, msg);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The device library never talks to the machine's real interfaces from
    // a test; tests in their own namespace name their interfaces themselves.
    if (qEnvironmentVariableIsEmpty("TVP_INTERFACES"))
        qputenv("TVP_INTERFACES", testsupport::LoopbackInterfaceName().c_str());
    previousHandler = qInstallMessageHandler(failOnBrokenConnections);
    ::testing::InitGoogleTest(&argc, argv);
    TApplication app(argc, argv);
    // No window of any test starts a real program through the shell.
    SetShell(&testsupport::TestShell());
    return RUN_ALL_TESTS();
}
