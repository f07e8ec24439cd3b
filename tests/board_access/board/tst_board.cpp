// The board object against the call-recording plugin: exactly which calls,
// paths, values and order reach a board.
#include "board_access/board.h"
#include "script_plugin_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

using scriptplugin::ScriptPluginFixture;

namespace {
QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QJsonObject parameter(const QString& name, const QString& path, const QString& type, const QJsonValue& values,
                      bool directApply = true, const QString& access = QString())
{
    QJsonObject object{{"name", name}, {"path", path}, {"value_type", type}, {"direct_apply", directApply}};
    if (values.isArray())
        object.insert("values", values);
    else
        object.insert("value", values);
    if (!access.isEmpty())
        object.insert("access", access);
    return object;
}

QJsonObject entryWithParameters(const QJsonArray& elements)
{
    return QJsonObject{{"configs", QJsonArray{QJsonObject{{"name", "group"}, {"elements", elements}}}}};
}
}  // namespace

class TestBoard : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;
    QLibrary m_library{ScriptPluginFixture::pluginPath()};
    int m_boardCount = 0;

    // A fresh board on the recording plugin, with its own log.
    std::unique_ptr<Board> openBoard(std::unique_ptr<ScriptPluginFixture>& fixture)
    {
        fixture = std::make_unique<ScriptPluginFixture>(m_dir.path(), QStringLiteral("b%1").arg(++m_boardCount));
        fixture->write();
        auto board = std::make_unique<Board>(&m_library);
        board->Open(fixture->connectionString());
        fixture->clearLog();
        return board;
    }

private slots:
    void initTestCase() { QVERIFY(m_library.load()); }

    void openKeepsTheHandleAndConnectsOnlyOnSuccess_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("opens") << 0;
        QTest::newRow("fails") << -3;
    }
    void openKeepsTheHandleAndConnectsOnlyOnSuccess()
    {
        QFETCH(int, status);
        ScriptPluginFixture fixture(m_dir.path(), QStringLiteral("open"));
        fixture.setOpenStatus(status).setHandle(42);
        QVERIFY(fixture.write());
        Board board(&m_library);
        QCOMPARE(board.Open(fixture.connectionString()), status);
        QCOMPARE(board.connected, status == 0);
        QCOMPARE(board.handle, 42u);
        QCOMPARE(board.Open(fixture.connectionString()), status == 0 ? Board::kAlreadyOpen : status);
        QCOMPARE(fixture.calls("Open").size(), status == 0 ? 1 : 2);
    }

    void missingEntryPointsAnswerMinusFifteen()
    {
        QLibrary partial(ScriptPluginFixture::partialPluginPath());
        QVERIFY(partial.load());
        Board board(&partial);
        QCOMPARE(board.Open(QStringLiteral("x")), 0);
        QString value = QStringLiteral("unchanged");
        QCOMPARE(board.GetValue(QStringLiteral("\\a"), value), Board::kMissingEntryPoint);
        QCOMPARE(value, QStringLiteral("unchanged"));
        QCOMPARE(board.SetValue(QStringLiteral("\\a"), QStringLiteral("1")), Board::kMissingEntryPoint);
        QCOMPARE(board.SendCommand(QStringLiteral("\\a")), Board::kMissingEntryPoint);
        QCOMPARE(board.ReadData("endpoints\\x", nullptr), Board::kMissingEntryPoint);
        QCOMPARE(board.FreePointer("endpoints\\x", nullptr), Board::kMissingEntryPoint);
        Board noLibrary;
        QCOMPARE(noLibrary.Open(QStringLiteral("x")), Board::kMissingEntryPoint);
    }

    void directApplyWritesWhatTheEntrySays_data()
    {
        QTest::addColumn<QJsonObject>("element");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("bool_array 13") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{"1", "0", "1", "1"})
            << QStringList{"SetValue \\ch\\Mask 13"};
        QTest::newRow("empty bool_array") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{}) << QStringList{"SetValue \\ch\\Mask 0"};
        QTest::newRow("JSON booleans") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{true, false})
                                       << QStringList{"SetValue \\ch\\Mask 0"};
        QTest::newRow("u32_array") << parameter("Gain", "\\ch\\Gain", "u32_array", QJsonArray{10, 20})
            << QStringList{"SetValue \\Channel0\\ch\\Channel0\\Gain 10", "SetValue \\Channel1\\ch\\Channel1\\Gain 20"};
        QTest::newRow("one backslash") << parameter("Thr", "\\Thr", "list_array", QJsonArray{"a"}) << QStringList{"SetValue \\Channel0\\Thr a"};
        QTest::newRow("6 digits") << parameter("Off", "\\o", "string_array", QJsonArray{2.5, 1000001, true, QJsonValue(), "x"})
            << QStringList{"SetValue \\Channel0\\o 2.5", "SetValue \\Channel1\\o 1e+06", "SetValue \\Channel2\\o 1",
                           "SetValue \\Channel3\\o x"};
        QTest::newRow("scalar text") << parameter("Mode", "\\m", "list", QString("fast"))
                                     << QStringList{"SetValue \\m fast"};
        QTest::newRow("numeric scalar: empty") << parameter("Level", "\\l", "u32", 5) << QStringList{"SetValue \\l "};
        QTest::newRow("read-only") << parameter("Temp", "\\t", "u32", QString("3"), true, "read_only") << QStringList{};
        QTest::newRow("not direct") << parameter("Late", "\\late", "u32", QString("3"), false) << QStringList{};
    }
    void directApplyWritesWhatTheEntrySays()
    {
        QFETCH(QJsonObject, element);
        QFETCH(QStringList, expected);
        std::unique_ptr<ScriptPluginFixture> fixture;
        auto board = openBoard(fixture);
        board->LoadConfigs(entryWithParameters(QJsonArray{element}));
        QCOMPARE(fixture->briefs(), expected);
        QCOMPARE(board->parameters.size(), 1);
    }

    void commandSequencesGoOutInTheirOrder()
    {
        std::unique_ptr<ScriptPluginFixture> fixture;
        auto board = openBoard(fixture);
        const QJsonObject entry = json(R"({
            "endpoints": [
                {"name": "list", "path": "endpoints\\list", "enable": true},
                {"name": "off", "path": "endpoints\\off", "enable": false}],
            "commands": [
                {"name": "c1", "path": "cmd\\board_config", "command_type": "config"},
                {"name": "c2", "path": "cmd\\list_config", "command_type": "config", "endpoint_type": "list"},
                {"name": "s1", "path": "cmd\\list_start", "command_type": "start", "endpoint_type": "list"},
                {"name": "t1", "path": "cmd\\list_stop", "command_type": "stop", "endpoint_type": "list"},
                {"name": "r1", "path": "cmd\\list_reset", "command_type": "reset", "endpoint_type": "list"},
                {"name": "s2", "path": "cmd\\off_start", "command_type": "start", "endpoint_type": "off"},
                {"name": "t2", "path": "cmd\\off_stop", "command_type": "stop", "endpoint_type": "off"},
                {"name": "g2", "path": "cmd\\off_config", "command_type": "config", "endpoint_type": "off"},
                {"name": "r2", "path": "cmd\\off_reset", "command_type": "reset", "endpoint_type": "off"},
                {"name": "x", "path": "cmd\\orphan_start", "command_type": "start", "endpoint_type": "nowhere",
                 "display_ui": true, "loop": "true"}]})");
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        QCOMPARE(board->commands.size(), 10);
        QVERIFY(!board->commands.last().attached);
        QVERIFY(!board->commands.last().display_ui);   // a JSON boolean is not the string "true"
        QVERIFY(board->commands.last().loop);
        QVERIFY(board->commands.at(1).attached);

        board->ConfigureBoard();
        QCOMPARE(fixture->paths("SendCommand"),
                 (QStringList{"cmd\\board_config", "cmd\\list_stop", "cmd\\list_config", "cmd\\list_start",
                              "cmd\\off_stop", "cmd\\off_config"}));
        fixture->clearLog();
        board->StopEndpoints();
        QCOMPARE(fixture->paths("SendCommand"), (QStringList{"cmd\\list_stop", "cmd\\off_stop"}));
        fixture->clearLog();
        board->StartEndpoints();
        QCOMPARE(fixture->paths("SendCommand"), (QStringList{"cmd\\list_reset", "cmd\\list_start"}));
    }

    void onlyTheFirstConfigAllIsSentAndReplacesBoardConfigs()
    {
        std::unique_ptr<ScriptPluginFixture> fixture;
        auto board = openBoard(fixture);
        const QJsonObject entry = json(R"({
            "commands": [
                {"path": "cmd\\config", "command_type": "config"},
                {"path": "cmd\\all_1", "command_type": "config_all"},
                {"path": "cmd\\all_2", "command_type": "config_all"}]})");
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        board->ConfigureBoard();
        QCOMPARE(fixture->paths("SendCommand"), QStringList{"cmd\\all_1"});
    }

    void anEntryWithoutListsAddsNothing()
    {
        std::unique_ptr<ScriptPluginFixture> fixture;
        auto board = openBoard(fixture);
        const QJsonObject entry = json(R"({"configs": [{"name": "no elements"}]})");
        board->LoadConfigs(entry);
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        board->ConfigureBoard();
        board->StopEndpoints();
        board->StartEndpoints();
        QVERIFY(board->parameters.isEmpty());
        QVERIFY(board->endpoints.isEmpty());
        QVERIFY(fixture->briefs().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
