// SPDX-License-Identifier: MIT
#include <cstdio>

#include <QIcon>

#include "application.h"
#include "apptitle.h"
#include "devices.h"
#include "errors.h"
#include "log.h"
#include "singleinstance.h"

int main(int argc, char *argv[])
{
    // The program's arguments are its own: read them before the toolkit
    // could take one ("-style -d" would lose the switch), and hand the
    // toolkit none of them.
    const QStringList arguments = ProgramArguments(argc, argv);
    SettleRuntimeDirectory();
    int toolkitArgc = argc > 0 ? 1 : 0;
    char *toolkitArgv[] = {argc > 0 ? argv[0] : nullptr, nullptr};
    TApplication app(toolkitArgc, toolkitArgv);
    // The desktop entry's name and icon, so that the desktop matches the
    // windows to the entry and shows the same icon. (Without Qt SVG, on
    // Windows, the icon stays empty and the windows take the program
    // file's own.)
    QGuiApplication::setDesktopFileName(QStringLiteral("com.tarvex.Netscry"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/com.tarvex.Netscry.svg")));
    try {
        ApplicationTitle = ApplicationTitleFromPath(QCoreApplication::applicationFilePath());
        SingleInstanceGuard guard(QStringLiteral("TarvexNetscryMutex"), ApplicationTitle);
        if (!guard.Acquire()) {
            // A copy under another name has another socket: nothing comes forward.
            if (guard.AskFirstToComeForward())
                std::fprintf(stderr, "%s: brought the running instance forward\n", argv[0]);
            else
                std::fprintf(stderr, "%s: another instance is running\n", argv[0]);
            return 0;
        }

        DebugMode = HasDebugSwitch(arguments);
        CreateWindows();
        guard.Listen();
        QObject::connect(&guard, &SingleInstanceGuard::ComeForwardRequested, DeviceForm,
                         [] { BringWindowForward(DeviceForm); });

        ShowWindows();
        app.exec();
        DestroyWindows();
    } catch (const std::exception &e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(UnknownErrorText());
    }
    return 0;
}
