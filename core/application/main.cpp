// quarix-boards-server: the board server's entry point.
#include "core/application/console_log.h"
#include "core/application/server_startup.h"
#include "core/application/termination_signals.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char* argv[])
{
    // Before anything starts a thread: SIGINT and SIGTERM are then read by the
    // event loop below, whichever thread the kernel would have picked.
    TerminationSignals::blockInEveryThread();
    ConsoleLog console;

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quarix-boards-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    ServerStartup startup(app);
    const int status = startup.start();
    if (status != ServerStartup::kReady) {
        console.stop();
        return status;
    }

    // SIGINT and SIGTERM end the event loop; the files are then closed below.
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &app, [](int signalNumber) {
        qInfo() << "Signal" << signalNumber << "received: closing open files";
        QCoreApplication::exit(0);
    });

    qInfo() << "QUARIX IS STARTED AND READY";
    if (!startup.dashboardAddress().isEmpty())
        qInfo().noquote() << "Dashboard:" << startup.dashboardAddress();
    const int result = app.exec();
    startup.shutdown();
    console.stop();
    return result;
}
