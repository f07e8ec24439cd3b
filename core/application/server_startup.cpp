#include "core/application/server_startup.h"

#include "board_access/board.h"
#include "board_access/plugin_loader.h"
#include "core/application/block_types.h"
#include "core/application/chain_builder.h"
#include "core/config_file.h"
#include "core/pin_input.h"
#include "core/quarix_block.h"

#include "core/application/console_log.h"
#include "core/application/file_watcher.h"
#include "core/progress_log.h"
#include "server/dashboard_http.h"
#include "server/main_web_socket.h"
#include "core/source_control.h"
#include "server/quarix_commands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QLibrary>

namespace {
const char* const kDefaultConfigPath = "../quarix_config_qdcpos.json";
constexpr quint16 kControlPort = ServerSettings::kWebSocketPort;

QString idText(const QJsonValue& id)
{
    return id.isString() ? id.toString() : QString();
}

}  // namespace

ServerStartup::ServerStartup(QCoreApplication& app) : m_app(app) {}

ServerStartup::~ServerStartup()
{
    shutdown();
    for (int i = m_blocks.size() - 1; i >= 0; --i)
        delete m_blocks.at(i);
    m_blocks.clear();
    delete m_server;
    delete m_watcher;
    qDeleteAll(m_boards);
}

int ServerStartup::start()
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Ardenix - Quarix board server"));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("c"), QStringLiteral("config")},
                                        QStringLiteral("Load configuration file <quarix_config.json>."),
                                        QStringLiteral("quarix_config.json")));
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("q"), QStringLiteral("quiet")},
                                        QStringLiteral("Leave out the progress lines: show only problems and the "
                                                       "start, ready, dashboard and closing lines.")));
    parser.process(m_app);
    ConsoleLog::setQuiet(parser.isSet(QStringLiteral("quiet")));

    m_configPath = parser.isSet(QStringLiteral("config")) ? parser.value(QStringLiteral("config"))
                                                          : QString::fromLatin1(kDefaultConfigPath);
    if (!QFileInfo::exists(m_configPath)) {
        qInfo() << "Unable to locate configuration file " << m_configPath;
        qInfo() << "BOARD SERVER IS CLOSING...";
        qInfo() << "BOARD SERVER IS KILLED";
        return 1;
    }
    qInfo() << "Ardenix - Quarix is starting";
    qCInfo(quarixProgress) << "Board server configuration is: " << m_configPath;

    PluginLoader::loadAll(PluginLoader::defaultFolder());

    bool parsed = false;
    QString problem;
    const QJsonObject config = config_file::read(m_configPath, &parsed, &problem);
    if (!parsed) {
        qInfo() << "Configuration file " << m_configPath << "is invalid";
        qInfo().noquote() << "The configuration file" << problem;
        return 1;
    }

    const QString storage = config.value(QLatin1String("storage")).toObject().value(QLatin1String("file_path")).toString();
    const QFileInfo storageInfo(storage);
    if (storage.isEmpty() || !storageInfo.isDir()) {
        qInfo() << "Storage folder does not exist on this server. Create: " << storage << " and check write permission";
        return 1;
    }
    if (!storageInfo.isWritable()) {
        qInfo() << "Storage folder is not writable. Create: " << storage
                << " and check write permission for current user";
        return 1;
    }
    qCInfo(quarixProgress) << "Storage folder is: " << storage;
    m_storagePath = storage;

    if (config.value(QLatin1String("Hardware")).toArray().isEmpty()) {
        qInfo() << "No HARDWARE devices is configuration file " << m_configPath;
        return 1;
    }

    QString serverProblem;
    if (!ServerSettings::read(config, &m_serverSettings, &serverProblem)) {
        qCritical().noquote() << serverProblem;
        return 1;
    }

    const int boardStatus = openBoards(config);
    if (boardStatus != kReady)
        return boardStatus;
    const int chainStatus = buildChains(config);
    if (chainStatus != kReady)
        return chainStatus;
    startBoards();
    return createServices();
}

int ServerStartup::openBoards(const QJsonObject& config)
{
    const QJsonArray hardware = config.value(QLatin1String("Hardware")).toArray();
    for (const QJsonValue& element : hardware) {
        const QJsonObject entry = element.toObject();
        if (!entry.value(QLatin1String("enable")).toBool(false))
            continue;
        const QString boardName = entry.value(QLatin1String("board_name")).toString();
        const QString connection = entry.value(QLatin1String("board_connection_string")).toString();
        qCInfo(quarixProgress) << "Connecting to board: " << idText(entry.value(QLatin1String("id")));
        qCInfo(quarixProgress) << "\tName:" << boardName;
        qCInfo(quarixProgress) << "\tBoard Type:" << entry.value(QLatin1String("board_type")).toString();
        qCInfo(quarixProgress) << "\tConnection address:" << connection;

        auto* board = new Board();
        board->id = entry.value(QLatin1String("id")).toInt();
        board->board_type = entry.value(QLatin1String("board_type")).toString();
        board->board_family = entry.value(QLatin1String("board_family")).toString();
        board->board_plugin = entry.value(QLatin1String("board_plugin")).toString();
        board->name = boardName;

        const QString wanted = board->board_plugin.toLower();
        QLibrary* chosen = nullptr;
        int matches = 0;
        for (QLibrary* library : PluginLoader::libraries()) {
            if (PluginLoader::baseName(library).toLower() == wanted) {
                chosen = library;
                ++matches;
            }
        }
        if (matches == 0) {
            qInfo() << "Unable to locate a board plugin library for " << board->board_family;
            delete board;
            return 0;
        }
        if (matches > 1) {
            qInfo() << "Multiple pulgin detected for " << board->board_family;
            qInfo() << "Remove ambiguty files from boards folder";
            delete board;
            return 0;
        }
        qCInfo(quarixProgress) << "Using " << PluginLoader::baseName(chosen).toLower() << " for board " << boardName;
        board->library = chosen;

        const int status = board->Open(connection);
        // A failing status is part of the problem report, shown also when quiet.
        if (status == 0)
            qCInfo(quarixProgress) << "Connection status: " << status;
        else
            qInfo() << "Connection status: " << status;
        if (status != 0) {
            qInfo() << "HARDWARE device: " << connection << " is reporting isssues in connection procedure";
            qInfo() << "QUARIX Server can not start without all board correctly loaded";
            qInfo() << "Check connection or disable it from configuration file";
            delete board;
            return 1;
        }
        board->LoadConfigs(entry);
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        m_boards.append(board);
    }
    return kReady;
}

int ServerStartup::buildChains(const QJsonObject& config)
{
    ChainBuilder builder(&m_boards, &m_blocks, m_configPath, m_storagePath);
    return builder.buildAll(config) ? kReady : 1;
}

void ServerStartup::startBoards()
{
    for (Board* board : m_boards) {
        board->ConfigureBoard();
        board->StopEndpoints();
        board->StartEndpoints();
    }
}

int ServerStartup::createServices()
{
    auto* watcher = new FileWatcher(m_boards);
    watcher->addPath(m_configPath);
    m_watcher = watcher;
    m_server = new MainWebSocket(kControlPort, false, &m_blocks, nullptr, m_serverSettings);
    const int httpPort = m_serverSettings.httpPort;
    if (httpPort != 0) {
        const QString folder = QCoreApplication::applicationDirPath() + QStringLiteral("/dashboard");
        if (!QFileInfo(folder + QStringLiteral("/index.html")).isFile())
            qWarning().noquote() << QStringLiteral("The dashboard's page %1/index.html is missing (the build lays it out, "
                                                   "with npm installed): its address answers 404 until it is there")
                                        .arg(folder);
        m_dashboard = std::make_unique<DashboardHttp>(folder, kControlPort);
        if (!m_dashboard->start(quint16(httpPort), m_serverSettings.listenAddresses)) {
            qCritical().noquote() << QStringLiteral("Configuration error in \"server\", key \"http_port\": cannot listen on "
                                                    "port %1 (is another program using it?); choose another port, or 0 "
                                                    "to switch the dashboard off")
                                         .arg(httpPort);
            return 1;
        }
    }
    for (QuarixBlock* block : m_blocks) {
        if (auto* source = dynamic_cast<SourceControl*>(block))
            source->runReader();
    }
    auto* commands = new quarix_commands(&m_blocks, m_configPath, nullptr);
    commands->setType(BlockFactory::find(QStringLiteral("commands")));
    commands->setName(QStringLiteral("commands"));
    QJsonArray boards;
    for (const Board* board : m_boards)
        boards.append(QJsonObject{{"name", board->name},
                                  {"type", board->board_type},
                                  {"plugin", board->board_plugin},
                                  {"full_path", QStringLiteral("Hardware/") + board->name}});
    commands->setServerDescription(QJsonObject{{"boards", boards}, {"websocket_port", kControlPort}, {"http_port", httpPort}});
    m_blocks.append(commands);
    return kReady;
}

QString ServerStartup::dashboardAddress() const
{
    return m_dashboard ? m_dashboard->address() : QString();
}

void ServerStartup::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    // No page is served while the blocks go.
    if (m_dashboard)
        m_dashboard->stop();
    // Sources first, so that nothing new enters the chains; then every block in
    // creation order, which is upstream before downstream.
    ChainBuilder::shutDownInOrder(m_blocks);
}
