// Runs a private copy of the server executable for a test.
//
// The copy lives in a temporary folder with its own boards/ folder (so a test
// chooses exactly which plugin libraries the server finds), a storage folder
// and the configuration file the test writes:
//
//     ServerProcess server;
//     server.addPlugin(QUARIX_SIM_PLUGIN);
//     QJsonObject config = ...;               // "storage"."file_path" = server.storagePath()
//     QVERIFY(server.start(server.writeConfig(config)));
//     WsClient client;
//     QVERIFY(client.connectTo("query_by_json"));
//     QCOMPARE(client.request(R"({"path":"...","args":[{"cmd":"data_get_status"}]})"), QString(...));
//     server.terminate();                     // SIGTERM, then waits for the exit
#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

class QJsonObject;

class ServerProcess {
public:
    ServerProcess();
    ~ServerProcess();

    // The temporary folder, the folder holding the executable, and the storage folder.
    QString dir() const;
    QString binDir() const;
    QString storagePath() const;

    // Copies a plugin library into boards/ (under another file name if given).
    bool addPlugin(const QString& libraryPath, const QString& fileName = QString());
    // Writes any file into boards/ (for broken plugin files).
    bool addBoardFile(const QString& fileName, const QByteArray& contents);

    // Writes the configuration into the temporary folder and returns its path.
    QString writeConfig(const QJsonObject& config, const QString& fileName = QStringLiteral("config.json"));

    // Starts the server with "-c <configPath>" (or the given raw arguments when
    // configPath is empty) and, when waitReady is set, waits until it reports
    // "QUARIX IS STARTED AND READY". The working folder is binDir().
    bool start(const QString& configPath, bool waitReady = true, const QStringList& extraArgs = QStringList());

    // Waits until the console output holds the text.
    bool waitForOutput(const QString& text, int timeoutMs = 10000);
    // Waits for the process to end; returns its exit code, or -1 on time-out or crash.
    int waitForExit(int timeoutMs = 20000);
    // Sends SIGTERM (or the given signal) and waits for the exit; returns the
    // exit code (-1 on failure). On failure the server's console (and, if it
    // still runs, its stacks) are printed.
    int terminate(int timeoutMs = 20000, int signalNumber = SIGTERM);

    // Everything the server wrote to the console so far (stdout and stderr).
    QString output();
    // The console lines, without the trailing line ends.
    QStringList outputLines();

    QProcess& process() { return m_process; }

private:
    void collect();
    void report(const QString& what);

    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_output;
};
