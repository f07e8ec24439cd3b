// The configuration watcher with two boards opened through the scripted
// plugin: what each change of the file re-applies to which board, as the
// plugin's call logs show it, for edits in place and saves by rename.
#include "board_access/board.h"
#include "core/file_watcher.h"
#include "script_plugin_fixture.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QSaveFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QStringList* g_infoLines = nullptr;
QtMessageHandler g_previousHandler = nullptr;

void recordInfo(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtInfoMsg && g_infoLines)
        g_infoLines->append(message);
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

QString reconfigLine(const QString& board)
{
    return QStringLiteral(" ---- RECONFIG BOARD:  \"%1\"  ----").arg(board);
}

// A board entry with one direct-apply gain and one board-level configure command.
QJsonObject boardEntry(const QString& name, const QString& gain, const QString& configureCommand, bool enable = true)
{
    const QJsonObject gainParameter{{"name", "Gain"},  {"path", "\\par\\Gain"}, {"value_type", "u32"},
                                    {"value", gain},   {"direct_apply", true}};
    const QJsonObject stored{{"name", "Offset"}, {"path", "\\par\\Offset"}, {"value_type", "u32"}, {"value", "3"}};
    return QJsonObject{
        {"board_name", name},
        {"enable", enable},
        {"configs", QJsonArray{QJsonObject{{"elements", QJsonArray{gainParameter, stored}}}}},
        {"commands", QJsonArray{QJsonObject{{"path", configureCommand}, {"command_type", "config_all"}}}}};
}

QByteArray configText(const QJsonArray& hardware)
{
    return QJsonDocument(QJsonObject{{"storage", QJsonObject{{"file_path", "/tmp"}}}, {"Hardware", hardware}}).toJson();
}

// What one reconfiguration sends to a board built from boardEntry.
QStringList reconfiguration(const QString& gain, const QString& configureCommand)
{
    return {"SetValue \\par\\Gain " + gain, "SendCommand " + configureCommand};
}

}  // namespace

class FileWatcherTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void watchesThePathWithItsInnerWatcher();

    // One notification
    void reappliesTheConfigurationOfEveryNamedBoard();
    void disabledElementStillReconfiguresItsBoard();
    void elementsNamingNoOpenedBoardAreIgnored();
    void boardsSharingANameFollowEveryElementNamingThem();
    void unusableFileReconfiguresNothing_data();
    void unusableFileReconfiguresNothing();

    // Real change notifications
    void editInPlaceReconfiguresOncePerNotification();
    void invalidEditReconfiguresNothing();
    void savesByRenameKeepBeingFollowed();

private:
    ScriptPluginFixture* openBoard(const QString& fixtureName, const QJsonObject& entry);
    bool writeConfig(const QByteArray& text);
    void notify(FileWatcher& watcher, const QString& path);
    QStringList reconfigLines() const { return m_infoLines.filter("RECONFIG"); }

    QTemporaryDir m_dir;
    QString m_configPath;
    QLibrary m_plugin{ScriptPluginFixture::pluginPath()};
    QList<Board*> m_boards;
    std::vector<std::unique_ptr<ScriptPluginFixture>> m_fixtures;
    QStringList m_infoLines;
};

void FileWatcherTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_plugin.load(), qPrintable(m_plugin.errorString()));
    m_configPath = m_dir.filePath("quarix_config.json");
    g_infoLines = &m_infoLines;
    g_previousHandler = qInstallMessageHandler(recordInfo);
}

void FileWatcherTest::cleanupTestCase()
{
    qInstallMessageHandler(g_previousHandler);
    g_infoLines = nullptr;
}

void FileWatcherTest::init()
{
    QVERIFY(openBoard("b1", boardEntry("B1", "1", "\\B1\\All")));
    QVERIFY(openBoard("b2", boardEntry("B2", "1", "\\B2\\All")));
    QVERIFY(writeConfig(configText({boardEntry("B1", "1", "\\B1\\All"), boardEntry("B2", "1", "\\B2\\All")})));
    m_infoLines.clear();
}

void FileWatcherTest::cleanup()
{
    qDeleteAll(m_boards);
    m_boards.clear();
    m_fixtures.clear();
}

ScriptPluginFixture* FileWatcherTest::openBoard(const QString& fixtureName, const QJsonObject& entry)
{
    static int serial = 0;
    auto fixture =
        std::make_unique<ScriptPluginFixture>(m_dir.path(), QStringLiteral("%1_%2").arg(fixtureName).arg(++serial));
    if (!fixture->write())
        return nullptr;
    auto* board = new Board(&m_plugin);
    board->name = entry.value("board_name").toString();
    if (board->Open(fixture->connectionString()) != 0) {
        delete board;
        return nullptr;
    }
    board->LoadConfigs(entry);
    board->LoadEndpoints(entry);
    board->LoadCommands(entry);
    m_boards.append(board);
    fixture->clearLog();
    m_fixtures.push_back(std::move(fixture));
    return m_fixtures.back().get();
}

bool FileWatcherTest::writeConfig(const QByteArray& text)
{
    QFile file(m_configPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

// The watcher's slot for one change notification, without waiting for the file system.
void FileWatcherTest::notify(FileWatcher& watcher, const QString& path)
{
    QVERIFY(QMetaObject::invokeMethod(&watcher, "fileChanged", Qt::DirectConnection, Q_ARG(QString, path)));
}

void FileWatcherTest::watchesThePathWithItsInnerWatcher()
{
    FileWatcher watcher(m_boards);
    QVERIFY(watcher.addPath(m_configPath));

    auto* inner = watcher.findChild<QFileSystemWatcher*>();
    QVERIFY(inner);
    QCOMPARE(inner->files(), QStringList({m_configPath}));
    QCOMPARE(static_cast<QFileSystemWatcher&>(watcher).files(), QStringList());
}

// --- One notification --------------------------------------------------------

void FileWatcherTest::reappliesTheConfigurationOfEveryNamedBoard()
{
    QVERIFY(writeConfig(configText({boardEntry("B2", "22", "\\B2\\Other"), boardEntry("B1", "7", "\\B1\\Other")})));
    FileWatcher watcher(m_boards);

    notify(watcher, m_configPath);

    // Values come from the file; the commands are the ones read at start-up.
    QCOMPARE(m_fixtures[0]->briefs(), reconfiguration("7", "\\B1\\All"));
    QCOMPARE(m_fixtures[1]->briefs(), reconfiguration("22", "\\B2\\All"));
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B2"), reconfigLine("B1")}));
    QCOMPARE(m_boards[0]->parameters.size(), 2);
    QCOMPARE(m_boards[0]->parameters[0].value, QStringLiteral("7"));
}

void FileWatcherTest::disabledElementStillReconfiguresItsBoard()
{
    QVERIFY(writeConfig(configText({boardEntry("B1", "4", "\\B1\\All", false)})));
    FileWatcher watcher(m_boards);

    notify(watcher, m_configPath);

    QCOMPARE(m_fixtures[0]->briefs(), reconfiguration("4", "\\B1\\All"));
    QCOMPARE(m_fixtures[1]->briefs(), QStringList());
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B1")}));
}

void FileWatcherTest::elementsNamingNoOpenedBoardAreIgnored()
{
    // A new board entry, complete with a connection to a scripted board: not opened.
    ScriptPluginFixture newBoard(m_dir.path(), "new_board");
    QVERIFY(newBoard.write());
    QJsonObject added = boardEntry("B3", "5", "\\B3\\All");
    added.insert("board_plugin", "libVRAXDig2Script");
    added.insert("board_connection_string", newBoard.connectionString());
    QVERIFY(writeConfig(configText({added, boardEntry("b1", "5", "\\B1\\All"), QJsonObject{{"board_name", 1}}})));
    FileWatcher watcher(m_boards);

    notify(watcher, m_configPath);

    QCOMPARE(m_fixtures[0]->briefs(), QStringList());
    QCOMPARE(m_fixtures[1]->briefs(), QStringList());
    QCOMPARE(newBoard.logText(), QByteArray());
    QCOMPARE(reconfigLines(), QStringList());
    QCOMPARE(m_boards[0]->parameters[0].value, QStringLiteral("1"));
}

void FileWatcherTest::boardsSharingANameFollowEveryElementNamingThem()
{
    ScriptPluginFixture* twin = openBoard("twin", boardEntry("B1", "1", "\\Twin\\All"));
    QVERIFY(twin);
    QVERIFY(writeConfig(configText({boardEntry("B1", "8", "\\X"), boardEntry("B2", "2", "\\X"), boardEntry("B1", "9", "\\X")})));
    FileWatcher watcher(m_boards);

    notify(watcher, m_configPath);

    QCOMPARE(m_fixtures[0]->briefs(), reconfiguration("8", "\\B1\\All") + reconfiguration("9", "\\B1\\All"));
    QCOMPARE(twin->briefs(), reconfiguration("8", "\\Twin\\All") + reconfiguration("9", "\\Twin\\All"));
    QCOMPARE(m_fixtures[1]->briefs(), reconfiguration("2", "\\B2\\All"));
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B1"), reconfigLine("B1"), reconfigLine("B2"),
                                           reconfigLine("B1"), reconfigLine("B1")}));
}

void FileWatcherTest::unusableFileReconfiguresNothing_data()
{
    QTest::addColumn<QByteArray>("text");   // empty with `missing`: no file at all
    QTest::addColumn<bool>("missing");
    QTest::newRow("invalid JSON") << QByteArray("{\"Hardware\": [ {\"board_name\": \"B1\"") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("top level is an array") << QByteArray("[{\"Hardware\":[{\"board_name\":\"B1\"}]}]") << false;
    QTest::newRow("Hardware is no array") << QByteArray("{\"Hardware\":{\"board_name\":\"B1\"}}") << false;
    QTest::newRow("missing file") << QByteArray() << true;
}

void FileWatcherTest::unusableFileReconfiguresNothing()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, missing);
    if (missing)
        QVERIFY(QFile::remove(m_configPath));
    else
        QVERIFY(writeConfig(text));
    FileWatcher watcher(m_boards);

    notify(watcher, m_configPath);

    QCOMPARE(m_fixtures[0]->briefs(), QStringList());
    QCOMPARE(m_fixtures[1]->briefs(), QStringList());
    QCOMPARE(m_infoLines, QStringList());
    QCOMPARE(m_boards[0]->parameters.size(), 2);
}

// --- Real change notifications -----------------------------------------------

void FileWatcherTest::editInPlaceReconfiguresOncePerNotification()
{
    FileWatcher watcher(m_boards);
    QVERIFY(watcher.addPath(m_configPath));
    QSignalSpy notifications(watcher.findChild<QFileSystemWatcher*>(), &QFileSystemWatcher::fileChanged);

    QVERIFY(writeConfig(configText({boardEntry("B1", "9", "\\B1\\All")})));

    QTRY_VERIFY(notifications.count() >= 1);
    // Each notification handled so far reconfigured B1 exactly once.
    const int count = notifications.count();
    QStringList expectedCalls;
    QStringList expectedLines;
    for (int i = 0; i < count; ++i) {
        expectedCalls += reconfiguration("9", "\\B1\\All");
        expectedLines += reconfigLine("B1");
    }
    QCOMPARE(m_fixtures[0]->briefs(), expectedCalls);
    QCOMPARE(reconfigLines(), expectedLines);
    QCOMPARE(m_fixtures[1]->briefs(), QStringList());
    QCOMPARE(notifications.first().first().toString(), m_configPath);
}

void FileWatcherTest::invalidEditReconfiguresNothing()
{
    FileWatcher watcher(m_boards);
    QVERIFY(watcher.addPath(m_configPath));
    QSignalSpy notifications(watcher.findChild<QFileSystemWatcher*>(), &QFileSystemWatcher::fileChanged);

    QVERIFY(writeConfig("{\"Hardware\": [ {\"board_name\": \"B1\", "));

    QTRY_VERIFY(notifications.count() >= 1);
    QCOMPARE(m_fixtures[0]->briefs(), QStringList());
    QCOMPARE(m_infoLines, QStringList());

    // The file is still followed: the repaired file is applied.
    QVERIFY(writeConfig(configText({boardEntry("B1", "6", "\\B1\\All")})));
    QTRY_VERIFY(m_fixtures[0]->briefs().contains("SetValue \\par\\Gain 6"));
}

void FileWatcherTest::savesByRenameKeepBeingFollowed()
{
    FileWatcher watcher(m_boards);
    QVERIFY(watcher.addPath(m_configPath));
    auto* inner = watcher.findChild<QFileSystemWatcher*>();

    for (const QString gain : {"11", "12", "13"}) {
        QSaveFile file(m_configPath);   // writes a new file and renames it over the old one
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(configText({boardEntry("B1", gain, "\\B1\\All")}));
        QVERIFY(file.commit());

        QTRY_VERIFY2(m_fixtures[0]->briefs().contains("SetValue \\par\\Gain " + gain), qPrintable(gain));
        QTRY_COMPARE(inner->files(), QStringList({m_configPath}));
    }
    // An edit in place after the renames is seen as well.
    QVERIFY(writeConfig(configText({boardEntry("B1", "14", "\\B1\\All")})));
    QTRY_VERIFY(m_fixtures[0]->briefs().contains("SetValue \\par\\Gain 14"));
}

QTEST_GUILESS_MAIN(FileWatcherTest)
#include "tst_file_watcher.moc"
