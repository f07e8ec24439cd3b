#include "core/application/server_startup.h"

#include "board_access/board.h"
#include "board_access/plugin_loader.h"
#include "core/application/block_types.h"
#include "core/config_file.h"
#include "blocks/common/config_limits.h"
#include "core/pin_input.h"
#include "core/quarix_block.h"

#include "core/application/file_watcher.h"
#include "server/main_web_socket.h"
#include "blocks/source/source.h"
#include "server/quarix_commands.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QLibrary>
#include <QRegularExpression>

namespace {
const char* const kDefaultConfigPath = "../quarix_config_qdcpos.json";
constexpr quint16 kControlPort = 51234;

QString idText(const QJsonValue& id)
{
    return id.isString() ? id.toString() : QString();
}

void refuseBlock(const QString& chain, const QString& block, const QString& problem)
{
    qCritical().noquote() << QStringLiteral("Configuration error in chain \"%1\", block \"%2\": %3").arg(chain, block, problem);
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
    parser.process(m_app);

    m_configPath = parser.isSet(QStringLiteral("config")) ? parser.value(QStringLiteral("config"))
                                                          : QString::fromLatin1(kDefaultConfigPath);
    if (!QFileInfo::exists(m_configPath)) {
        qInfo() << "Unable to locate configuration file " << m_configPath;
        qInfo() << "BOARD SERVER IS CLOSING...";
        qInfo() << "BOARD SERVER IS KILLED";
        return 1;
    }
    qInfo() << "Ardenix - Quarix is starting";
    qInfo() << "Board server configuration is: " << m_configPath;

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
    qInfo() << "Storage folder is: " << storage;
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
    createServices();
    return kReady;
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
        qInfo() << "Connecting to board: " << idText(entry.value(QLatin1String("id")));
        qInfo() << "\tName:" << boardName;
        qInfo() << "\tBoard Type:" << entry.value(QLatin1String("board_type")).toString();
        qInfo() << "\tConnection address:" << connection;

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
        qInfo() << "Using " << PluginLoader::baseName(chosen).toLower() << " for board " << boardName;
        board->library = chosen;

        const int status = board->Open(connection);
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
    const QJsonArray processing = config.value(QLatin1String("processing")).toArray();
    for (int k = 0; k < processing.size(); ++k) {
        const QJsonArray chains = processing.at(k).toObject().value(QLatin1String("filter_chain")).toArray();
        for (const QJsonValue& chain : chains) {
            const QJsonObject chainObject = chain.toObject();
            if (!chainObject.value(QLatin1String("enable")).toBool(false))
                continue;
            const int status = buildChain(k, chainObject);
            if (status != kReady)
                return status;
        }
    }
    return kReady;
}

int ServerStartup::buildChain(int processingIndex, const QJsonObject& chain)
{
    const QString chainName = chain.value(QLatin1String("name")).toString();
    const BlockFactory factory;
    const QJsonArray entries = chain.value(QLatin1String("chain")).toArray();
    for (const QJsonValue& value : entries) {
        const QJsonObject entry = value.toObject();
        const QString blockType = entry.value(QLatin1String("block_type")).toString();
        const QString blockName = entry.value(QLatin1String("name")).toString();
        const int64_t inputCount = config_limits::wholeNumber(entry.value(QLatin1String("input_count")), 0);
        const QJsonArray sources = entry.value(QLatin1String("sources")).toArray();

        BlockContext context;
        context.boards = &m_boards;
        context.blocks = &m_blocks;
        context.full_path = QStringLiteral("processing/%1/filter_chain/%2/chain/%3")
                                .arg(processingIndex)
                                .arg(chainName, blockName);
        context.config_path = m_configPath;
        context.storage_path = m_storagePath;

        // Clients and "sources" entries find blocks by name: a second block of
        // the same name could never be reached.
        if (!blockName.isEmpty() && QuarixBlock::findByName(m_blocks, blockName)) {
            refuseBlock(chainName, blockName, QStringLiteral("key \"name\": another block is already named \"%1\"").arg(blockName));
            return 1;
        }
        if (inputCount < 0 || inputCount > config_limits::kInputCount) {
            refuseBlock(chainName, blockName,
                        QStringLiteral("key \"input_count\": must be a whole number from 0 to %1 (got %2)")
                            .arg(config_limits::kInputCount)
                            .arg(entry.value(QLatin1String("input_count")).toVariant().toString()));
            return 1;
        }

        QuarixBlock* block = factory.CreateBlock(nullptr, blockType, &context, value);
        if (!block) {
            refuseBlock(chainName, blockName, QStringLiteral("unknown block_type \"%1\"").arg(blockType));
            return 1;
        }
        // Owned by the block list from here on, even if the entry is refused below.
        m_blocks.append(block);
        if (!block->configurationError().isEmpty()) {
            refuseBlock(chainName, blockName, block->configurationError());
            return 1;
        }
        if (block->hasRole(BlockType::Role::Source))
            continue;

        for (int i = 0; i < inputCount; ++i) {
            if (i >= sources.size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"input_count\" is %1 but \"sources\" has %2 entries")
                                .arg(inputCount)
                                .arg(sources.size()));
                return 1;
            }
            if (i >= block->inputPins().size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"input_count\" is %1 but the block has %2 inputs")
                                .arg(inputCount)
                                .arg(block->inputPins().size()));
                return 1;
            }
            const QJsonObject source = sources.at(i).toObject();
            const QString upstreamName = source.value(QLatin1String("source")).toString();
            // Look only at the blocks created before this one.
            QuarixBlock* upstream = QuarixBlock::findByName(m_blocks.mid(0, m_blocks.size() - 1), upstreamName);
            if (!upstream) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"sources\"[%1] names \"%2\", which is not a block created before it")
                                .arg(i)
                                .arg(upstreamName));
                return 1;
            }
            // A pin is text holding a decimal number; anything else means pin 0.
            // A number too large for an integer is refused rather than read as 0.
            const QString pinText = source.value(QLatin1String("pin")).toString();
            bool pinFits = false;
            const int pin = pinText.toInt(&pinFits, 10);
            const bool tooLarge = !pinFits && QRegularExpression(QStringLiteral("^\\s*[+-]?[0-9]+\\s*$")).match(pinText).hasMatch();
            if (tooLarge || pin < 0 || pin >= upstream->outputPins().size()) {
                refuseBlock(chainName, blockName,
                            QStringLiteral("\"sources\"[%1] \"pin\" \"%2\" is not one of the %3 output pins of \"%4\"")
                                .arg(i)
                                .arg(pinText)
                                .arg(upstream->outputPins().size())
                                .arg(upstreamName));
                return 1;
            }
            block->inputPins().at(i)->Connect(upstream->outputPins().at(pin));
        }
    }
    return kReady;
}

void ServerStartup::startBoards()
{
    for (Board* board : m_boards) {
        board->ConfigureBoard();
        board->StopEndpoints();
        board->StartEndpoints();
    }
}

void ServerStartup::createServices()
{
    auto* watcher = new FileWatcher(m_boards);
    watcher->addPath(m_configPath);
    m_watcher = watcher;
    m_server = new MainWebSocket(kControlPort, false, &m_blocks, nullptr, m_serverSettings);
    for (QuarixBlock* block : m_blocks) {
        if (auto* source = qobject_cast<Source*>(block))
            source->Run();
    }
    auto* commands = new quarix_commands(&m_blocks, m_configPath, nullptr);
    commands->setType(BlockFactory::find(QStringLiteral("commands")));
    commands->setName(QStringLiteral("commands"));
    m_blocks.append(commands);
}

void ServerStartup::shutdown()
{
    if (m_shutDown)
        return;
    m_shutDown = true;
    // Sources first, so that nothing new enters the chains; then every block in
    // creation order, which is upstream before downstream.
    for (QuarixBlock* block : m_blocks) {
        if (block->hasRole(BlockType::Role::Source))
            block->shutdown();
    }
    for (QuarixBlock* block : m_blocks) {
        if (!block->hasRole(BlockType::Role::Source))
            block->shutdown();
    }
}
