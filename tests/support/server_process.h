// Runs a private copy of the server executable for a test: a temporary folder
// with bin/ (the executable and its own boards/ folder, so the test chooses
// exactly which plugin libraries the server finds), storage/ and the
// configuration files the test writes.
//
//     ServerProcess server;
//     server.addPlugin(QUARIX_SIM_PLUGIN);
//     QVERIFY(server.start(server.writeConfig(server.demoConfig())));
//     WsClient client;
//     QVERIFY(client.connectTo("commands"));
//     QCOMPARE(client.request(R"({"cmd":"get_run_info"})"), QString(...));
//     QCOMPARE(server.terminate(), 0);        // SIGTERM, then waits for the exit
#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>

class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();

    QString dir() const { return m_dir.path(); }
    QString binDir() const { return m_dir.path() + QStringLiteral("/bin"); }
    QString storagePath() const { return m_dir.path() + QStringLiteral("/storage"); }

    // Copies a plugin library into boards/ (under another file name if given).
    bool addPlugin(const QString& libraryPath, const QString& fileName = QString());
    // Writes any file into boards/ (for broken plugin files).
    bool addBoardFile(const QString& fileName, const QByteArray& contents);
    // Writes a file into dashboard/ beside the executable (the folder the web server serves).
    bool addDashboardFile(const QString& relativePath, const QByteArray& contents);
    // Writes the configuration into the temporary folder and returns its path.
    QString writeConfig(const QJsonObject& config, const QString& fileName = QStringLiteral("config.json"));
    // The demo configuration of the source tree with this copy's storage folder
    // and the simulated event rate per channel lowered to 500 (sanitizer builds keep up).
    QJsonObject demoConfig() const;

    // Starts the server with "-c <configPath>" (no option when configPath is
    // empty) and the extra arguments, in binDir(); with waitReady, waits for
    // "QUARIX IS STARTED AND READY".
    bool start(const QString& configPath, bool waitReady = true, const QStringList& extraArgs = QStringList());
    bool waitForOutput(const QString& text, int timeoutMs = 10000);
    // The exit status, or -1 on time-out or crash (the console is then printed).
    int waitForExit(int timeoutMs = 20000);
    // Sends the signal and waits for the exit, as waitForExit.
    int terminate(int timeoutMs = 20000, int signalNumber = SIGTERM);
    // Everything the server wrote to the console so far (stdout and stderr).
    QString output();

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
};
