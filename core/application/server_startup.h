// The server's start-up sequence and what it builds: the boards, the chains
// of blocks, the configuration watcher, the WebSocket server, the dashboard's
// web server and the commands block. Everything it creates lives until the
// process ends; shutdown() stops the web server, then the workers in chain
// order so that files are closed properly.
//
//     QCoreApplication app(argc, argv);
//     ServerStartup startup(app);
//     const int status = startup.start();   // runs every start-up check
//     if (status != ServerStartup::kReady) return status;
//     const int result = app.exec();
//     startup.shutdown();
#pragma once

#include "core/block_context.h"
#include "server/server_settings.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class Board;
class DashboardHttp;
class QCoreApplication;
class QObject;
class QuarixBlock;

class ServerStartup {
public:
    static constexpr int kReady = -1;

    explicit ServerStartup(QCoreApplication& app);
    ~ServerStartup();

    // Parses the command line and runs every start-up step. kReady when the
    // server is up, otherwise the exit status the process must end with.
    int start();

    // Orderly stop: the dashboard's web server, then the sources, then every
    // block in creation order.
    void shutdown();

    // Where a browser finds the dashboard; empty when it is switched off.
    QString dashboardAddress() const;

    const QList<Board*>& boards() const { return m_boards; }
    const QList<QuarixBlock*>& blocks() const { return m_blocks; }

private:
    int openBoards(const QJsonObject& config);
    int buildChains(const QJsonObject& config);
    void startBoards();
    int createServices();

    QCoreApplication& m_app;
    QString m_configPath;
    QString m_storagePath;   // the checked storage folder, handed to every block
    QList<Board*> m_boards;
    QList<QuarixBlock*> m_blocks;
    QObject* m_watcher = nullptr;
    QObject* m_server = nullptr;
    std::unique_ptr<DashboardHttp> m_dashboard;
    ServerSettings m_serverSettings;   // the "server" section, read before the boards open
    bool m_shutDown = false;
};
