// The configuration watcher with two boards opened through the scripted
// plugin: what each change of the file re-applies to which board, as the
// plugin's call logs show it, for edits in place and saves by rename.
#include "board_config_fixture.h"
#include "core/file_watcher.h"
#include "log_capture.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>
#include <QSignalSpy>
#include <QtTest>

namespace {
QString reconfigLine(const QString& board)
{
    return QStringLiteral(" ---- RECONFIG BOARD:  \"%1\"  ----").arg(board);
}

// A board entry with one direct-apply gain, one stored parameter and a board-level configure command.
QJsonObject boardEntry(const QString& name, const QString& gain, const QString& configureCommand, bool enable = true)
{
    QJsonObject entry = configsEntry(
        {boardParameter("Gain", "\\par\\Gain", "u32", {{"value", gain}, {"direct_apply", true}}),
         boardParameter("Offset", "\\par\\Offset", "u32", {{"value", "3"}})});
    entry.insert("board_name", name);
    entry.insert("enable", enable);
    entry.insert("commands", QJsonArray{QJsonObject{{"path", configureCommand}, {"command_type", "config_all"}}});
    return entry;
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
    void init();
    void cleanup();

    // One notification
    void reappliesTheConfigurationOfEveryNamedBoard();
    void disabledElementStillReconfiguresItsBoard();
    void elementsNamingNoOpenedBoardAreIgnored();
    void boardsSharingANameFollowEveryElementNamingThem();
    void unusableFileReconfiguresNothing_data();
    void unusableFileReconfiguresNothing();

    // Real change notifications
    void editInPlaceReconfiguresOncePerNotification();
    void savesByRenameAndInvalidEditsKeepBeingFollowed();

private:
    bool writeConfig(const QByteArray& text);
    // The watcher's slot for one change notification, without waiting for the file system.
    void notify();
    QStringList reconfigLines() const { return m_log->lines().filter("RECONFIG"); }
    QStringList calls(int board) const { return m_scripts[board]->briefs(); }

    std::unique_ptr<ScriptedBoards> m_boards;
    std::unique_ptr<FileWatcher> m_watcher;
    QList<ScriptPluginFixture*> m_scripts;
    QString m_configPath;
    std::unique_ptr<LogCapture> m_log;
};

void FileWatcherTest::init()
{
    m_boards = std::make_unique<ScriptedBoards>();
    m_configPath = m_boards->dir.filePath("quarix_config.json");
    m_scripts = {m_boards->open("B1", boardEntry("B1", "1", "\\B1\\All")),
                 m_boards->open("B2", boardEntry("B2", "1", "\\B2\\All"))};
    QVERIFY(m_scripts[0] && m_scripts[1]);
    QVERIFY(writeConfig(configText({boardEntry("B1", "1", "\\B1\\All"), boardEntry("B2", "1", "\\B2\\All")})));
    m_watcher = std::make_unique<FileWatcher>(m_boards->boards);
    m_log = std::make_unique<LogCapture>();
}

void FileWatcherTest::cleanup()
{
    m_log.reset();
    m_watcher.reset();
    m_boards.reset();
}

bool FileWatcherTest::writeConfig(const QByteArray& text)
{
    QFile file(m_configPath);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

void FileWatcherTest::notify()
{
    QVERIFY(QMetaObject::invokeMethod(m_watcher.get(), "fileChanged", Qt::DirectConnection,
                                      Q_ARG(QString, m_configPath)));
}

void FileWatcherTest::reappliesTheConfigurationOfEveryNamedBoard()
{
    QVERIFY(writeConfig(configText({boardEntry("B2", "22", "\\B2\\Other"), boardEntry("B1", "7", "\\B1\\Other")})));
    notify();

    // Values come from the file; the commands are the ones read at start-up.
    QCOMPARE(calls(0), reconfiguration("7", "\\B1\\All"));
    QCOMPARE(calls(1), reconfiguration("22", "\\B2\\All"));
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B2"), reconfigLine("B1")}));
    QCOMPARE(m_boards->boards[0]->parameters.size(), 2);
    QCOMPARE(m_boards->boards[0]->parameters[0].value, QStringLiteral("7"));
}

void FileWatcherTest::disabledElementStillReconfiguresItsBoard()
{
    QVERIFY(writeConfig(configText({boardEntry("B1", "4", "\\B1\\All", false)})));
    notify();

    QCOMPARE(calls(0), reconfiguration("4", "\\B1\\All"));
    QCOMPARE(calls(1), QStringList());
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B1")}));
}

void FileWatcherTest::elementsNamingNoOpenedBoardAreIgnored()
{
    // A new board entry, complete with a connection to a scripted board: not opened.
    ScriptPluginFixture& newBoard = m_boards->script();
    QVERIFY(newBoard.write());
    QJsonObject added = boardEntry("B3", "5", "\\B3\\All");
    added.insert("board_plugin", "libVRAXDig2Script");
    added.insert("board_connection_string", newBoard.connectionString());
    QVERIFY(writeConfig(configText({added, boardEntry("b1", "5", "\\B1\\All"), QJsonObject{{"board_name", 1}}})));
    notify();

    QCOMPARE(calls(0) + calls(1), QStringList());
    QCOMPARE(newBoard.logText(), QByteArray());
    QCOMPARE(reconfigLines(), QStringList());
    QCOMPARE(m_boards->boards[0]->parameters[0].value, QStringLiteral("1"));
}

void FileWatcherTest::boardsSharingANameFollowEveryElementNamingThem()
{
    ScriptPluginFixture* twin = m_boards->open("B1", boardEntry("B1", "1", "\\Twin\\All"));
    QVERIFY(twin);
    m_watcher = std::make_unique<FileWatcher>(m_boards->boards);   // it copies the board list
    QVERIFY(writeConfig(
        configText({boardEntry("B1", "8", "\\X"), boardEntry("B2", "2", "\\X"), boardEntry("B1", "9", "\\X")})));
    notify();

    QCOMPARE(calls(0), reconfiguration("8", "\\B1\\All") + reconfiguration("9", "\\B1\\All"));
    QCOMPARE(twin->briefs(), reconfiguration("8", "\\Twin\\All") + reconfiguration("9", "\\Twin\\All"));
    QCOMPARE(calls(1), reconfiguration("2", "\\B2\\All"));
    QCOMPARE(reconfigLines(), QStringList({reconfigLine("B1"), reconfigLine("B1"), reconfigLine("B2"),
                                           reconfigLine("B1"), reconfigLine("B1")}));
}

void FileWatcherTest::unusableFileReconfiguresNothing_data()
{
    QTest::addColumn<QByteArray>("text");   // null: no file at all
    QTest::newRow("invalid JSON") << QByteArray("{\"Hardware\": [ {\"board_name\": \"B1\"");
    QTest::newRow("empty file") << QByteArray("");
    QTest::newRow("array") << QByteArray("[{\"Hardware\":[{\"board_name\":\"B1\"}]}]");
    QTest::newRow("Hardware object") << QByteArray("{\"Hardware\":{\"board_name\":\"B1\"}}");
    QTest::newRow("missing file") << QByteArray();
}

void FileWatcherTest::unusableFileReconfiguresNothing()
{
    QFETCH(QByteArray, text);
    QVERIFY(text.isNull() ? QFile::remove(m_configPath) : writeConfig(text));
    notify();

    QCOMPARE(calls(0) + calls(1), QStringList());
    QCOMPARE(m_log->lines(), QStringList());
    QCOMPARE(m_boards->boards[0]->parameters.size(), 2);
}

void FileWatcherTest::editInPlaceReconfiguresOncePerNotification()
{
    QVERIFY(m_watcher->addPath(m_configPath));
    auto* inner = m_watcher->findChild<QFileSystemWatcher*>();
    QVERIFY(inner);
    QCOMPARE(inner->files(), QStringList({m_configPath}));   // the inner watcher follows the file, not the base
    QCOMPARE(static_cast<QFileSystemWatcher&>(*m_watcher).files(), QStringList());
    QSignalSpy notifications(inner, &QFileSystemWatcher::fileChanged);

    QVERIFY(writeConfig(configText({boardEntry("B1", "9", "\\B1\\All")})));
    QTRY_VERIFY(notifications.count() >= 1);
    // Each notification handled so far reconfigured B1 exactly once.
    QStringList expectedCalls, expectedLines;
    for (int i = 0; i < notifications.count(); ++i) {
        expectedCalls += reconfiguration("9", "\\B1\\All");
        expectedLines += reconfigLine("B1");
    }
    QCOMPARE(calls(0), expectedCalls);
    QCOMPARE(reconfigLines(), expectedLines);
    QCOMPARE(calls(1), QStringList());
    QCOMPARE(notifications.first().first().toString(), m_configPath);
}

void FileWatcherTest::savesByRenameAndInvalidEditsKeepBeingFollowed()
{
    QVERIFY(m_watcher->addPath(m_configPath));
    auto* inner = m_watcher->findChild<QFileSystemWatcher*>();

    for (const QString gain : {"11", "12", "13"}) {
        QSaveFile file(m_configPath);   // writes a new file and renames it over the old one
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(configText({boardEntry("B1", gain, "\\B1\\All")}));
        QVERIFY(file.commit());

        QTRY_VERIFY2(calls(0).contains("SetValue \\par\\Gain " + gain), qPrintable(gain));
        QTRY_COMPARE(inner->files(), QStringList({m_configPath}));
    }
    // An invalid edit in place applies nothing; the repaired file after it is applied.
    const int before = calls(0).size();
    QSignalSpy notifications(inner, &QFileSystemWatcher::fileChanged);
    QVERIFY(writeConfig("{\"Hardware\": [ {\"board_name\": \"B1\", "));
    QTRY_VERIFY(notifications.count() >= 1);
    QCOMPARE(calls(0).size(), before);
    QVERIFY(writeConfig(configText({boardEntry("B1", "14", "\\B1\\All")})));
    QTRY_VERIFY(calls(0).contains("SetValue \\par\\Gain 14"));
    // Deleted, then written anew: followed again.
    QVERIFY(QFile::remove(m_configPath));
    QTRY_VERIFY(!inner->files().contains(m_configPath));
    QVERIFY(writeConfig(configText({boardEntry("B1", "15", "\\B1\\All")})));
    QTRY_VERIFY(calls(0).contains("SetValue \\par\\Gain 15"));
}

QTEST_GUILESS_MAIN(FileWatcherTest)
#include "tst_file_watcher.moc"
