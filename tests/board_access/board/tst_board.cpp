// The board object and the plugin loader against the scripted plugin: which
// calls, paths, values and order reach a board, and which libraries load.
#include "board_access/board.h"
#include "board_access/plugin_loader.h"
#include "board_config_fixture.h"
#include "log_capture.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

QJsonObject parameter(const QString& name, const QString& path, const QString& type, const QJsonValue& values,
                      bool directApply = true, const QString& access = QString())
{
    QJsonObject extra{{"direct_apply", directApply}, {values.isArray() ? "values" : "value", values}};
    if (!access.isEmpty())
        extra.insert("access", access);
    return boardParameter(name, path, type, extra);
}
}  // namespace

class TestBoard : public QObject {
    Q_OBJECT
private slots:
    void openKeepsTheHandleAndConnectsOnlyOnSuccess_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("opens") << 0;
        QTest::newRow("fails") << -3;
    }
    void openKeepsTheHandleAndConnectsOnlyOnSuccess()
    {
        QFETCH(int, status);
        ScriptedBoards boards;
        Board board(&boards.library);
        const QString connection = QStringLiteral("handle=42;open_status=%1").arg(status);
        QCOMPARE(board.Open(connection), status);
        QCOMPARE(board.connected, status == 0);
        QCOMPARE(board.handle, 42u);
        QCOMPARE(board.Open(connection), status == 0 ? Board::kAlreadyOpen : status);
        const auto opens = boards.plugin->calls("Open");
        QCOMPARE(int(opens.size()), status == 0 ? 1 : 2);
        QCOMPARE(QString::fromStdString(opens.front().path), connection);
    }

    void valuesAndCommandsPassThroughWithTheirStatus()
    {
        ScriptedBoards boards;
        Board* board = boards.open("b", {}, "handle=9");
        QVERIFY(board);
        boards.plugin->setValue("\\Info\\Serial", std::string(70, 'S'));
        boards.plugin->failCall("SetValue", "\\par\\Locked", -6);
        boards.plugin->failCall("SendCommand", "\\cmd\\Bad", -8);
        QCOMPARE(board->SetValue("\\par\\Gain", QString::fromLatin1("5\xe9")), 0);
        QCOMPARE(board->SetValue("\\par\\Locked", "1"), -6);
        QString value;
        QCOMPARE(board->GetValue("\\par\\Gain", value), 0);
        QCOMPARE(value, QString::fromLatin1("5\xe9"));
        QCOMPARE(board->GetValue("\\Info\\Serial", value), 0);
        QCOMPARE(value, QString(63, 'S'));   // a 64-byte buffer, NUL included
        QCOMPARE(board->GetValue("\\nothing", value), -3);
        QCOMPARE(board->SendCommand("\\cmd\\Bad"), -8);
        QCOMPARE(board->SendCommand("\\cmd\\Good"), 0);
        QCOMPARE(boards.briefs(board), (QStringList{QString::fromLatin1("SetValue \\par\\Gain 5\xe9"), "SetValue \\par\\Locked 1",
                                                    "GetValue \\par\\Gain", "GetValue \\Info\\Serial",
                                                    "GetValue \\nothing", "SendCommand \\cmd\\Bad",
                                                    "SendCommand \\cmd\\Good"}));
        for (const scripted::Call& call : boards.plugin->calls())
            QCOMPARE(call.handle, 9u);
    }

    void missingEntryPointsAnswerMinusFifteen()
    {
        QLibrary partial(scripted::partialPluginPath());
        QVERIFY(partial.load());
        Board board(&partial);
        QCOMPARE(board.Open(QStringLiteral("x")), 0);
        QCOMPARE(board.handle, 7u);
        QString value = QStringLiteral("unchanged");
        QCOMPARE(board.GetValue(QStringLiteral("\\a"), value), Board::kMissingEntryPoint);
        QCOMPARE(value, QStringLiteral("unchanged"));
        QCOMPARE(board.SetValue(QStringLiteral("\\a"), QStringLiteral("1")), Board::kMissingEntryPoint);
        QCOMPARE(board.SendCommand(QStringLiteral("\\a")), Board::kMissingEntryPoint);
        QCOMPARE(board.ReadData("endpoints\\x", nullptr), Board::kMissingEntryPoint);
        QCOMPARE(board.FreePointer("endpoints\\x", nullptr), Board::kMissingEntryPoint);
        Board noLibrary;
        QCOMPARE(noLibrary.Open(QStringLiteral("x")), Board::kMissingEntryPoint);
        QVERIFY(!noLibrary.connected);
    }

    void directApplyWritesWhatTheEntrySays_data()
    {
        QTest::addColumn<QJsonObject>("element");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("bool_array 13") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{"1", "0", "1", "1"})
                                       << QStringList{"SetValue \\ch\\Mask 13"};
        QTest::newRow("empty bool_array") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{})
                                          << QStringList{"SetValue \\ch\\Mask 0"};
        QTest::newRow("JSON booleans") << parameter("Mask", "\\ch\\Mask", "bool_array", QJsonArray{true, false})
                                       << QStringList{"SetValue \\ch\\Mask 0"};
        QTest::newRow("u32_array") << parameter("Gain", "\\ch\\Gain", "u32_array", QJsonArray{10, 20})
                                   << QStringList{"SetValue \\Channel0\\ch\\Channel0\\Gain 10",
                                                  "SetValue \\Channel1\\ch\\Channel1\\Gain 20"};
        QTest::newRow("one backslash") << parameter("Thr", "\\Thr", "list_array", QJsonArray{"a"})
                                       << QStringList{"SetValue \\Channel0\\Thr a"};
        QTest::newRow("6 digits") << parameter("Off", "\\o", "string_array", QJsonArray{2.5, 1000001, true, QJsonValue(), "x"})
                                  << QStringList{"SetValue \\Channel0\\o 2.5", "SetValue \\Channel1\\o 1e+06",
                                                 "SetValue \\Channel2\\o 1", "SetValue \\Channel3\\o x"};
        QTest::newRow("scalar text") << parameter("Mode", "\\m", "list", QString("fast")) << QStringList{"SetValue \\m fast"};
        QTest::newRow("numeric scalar: empty") << parameter("Level", "\\l", "u32", 5) << QStringList{"SetValue \\l "};
        QTest::newRow("read-only") << parameter("Temp", "\\t", "u32", QString("3"), true, "read_only") << QStringList{};
        QTest::newRow("not direct") << parameter("Late", "\\late", "u32", QString("3"), false) << QStringList{};
    }
    void directApplyWritesWhatTheEntrySays()
    {
        QFETCH(QJsonObject, element);
        QFETCH(QStringList, expected);
        ScriptedBoards boards;
        Board* board = boards.open("b");
        QVERIFY(board);
        board->LoadConfigs(configsEntry({element}));
        QCOMPARE(boards.briefs(board), expected);
        QCOMPARE(board->parameters.size(), 1);
    }

    void commandSequencesGoOutInTheirOrder()
    {
        ScriptedBoards boards;
        Board* board = boards.open("b", json(R"({
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
                 "display_ui": true, "loop": "true"}]})"));
        QVERIFY(board);
        QCOMPARE(board->commands.size(), 10);
        QVERIFY(!board->commands.last().attached);
        QVERIFY(!board->commands.last().display_ui);   // a JSON boolean is not the string "true"
        QVERIFY(board->commands.last().loop);
        QVERIFY(board->commands.at(1).attached);

        const QList<std::pair<void (Board::*)(), QString>> steps{
            {&Board::ConfigureBoard, "board_config list_stop list_config list_start off_stop off_config"},
            {&Board::StopEndpoints, "list_stop off_stop"},
            {&Board::StartEndpoints, "list_reset list_start"}};
        for (const auto& step : steps) {
            boards.plugin->clearCalls();
            (board->*step.first)();
            QCOMPARE(boards.briefs(board).join(' ').remove("SendCommand cmd\\"), step.second);
        }
    }

    void onlyTheFirstConfigAllIsSentAndReplacesBoardConfigs()
    {
        ScriptedBoards boards;
        Board* board = boards.open("b", json(R"({"commands": [
                {"path": "cmd\\config", "command_type": "config"},
                {"path": "cmd\\all_1", "command_type": "config_all"},
                {"path": "cmd\\all_2", "command_type": "config_all"}]})"));
        QVERIFY(board);
        board->ConfigureBoard();
        QCOMPARE(boards.briefs(board), QStringList{"SendCommand cmd\\all_1"});
    }

    // Only names starting with VRAXDig2 or libVRAXDig2 and ending in the
    // library suffix are tried; one that does not load is logged and skipped.
    void theLoaderTakesOnlyMatchingLibraries()
    {
        QTemporaryDir dir;
        for (const char* name : {"VRAXDig2.so", "libVRAXDig2.so", "vraxdig2_old.so", "other.so", "VRAXDig2.so.bak"})
            QVERIFY(QFile::copy(scripted::pluginPath(), dir.filePath(name)));
        QFile notALibrary(dir.filePath("libVRAXDig2Text.so"));
        QVERIFY(notALibrary.open(QIODevice::WriteOnly) && notALibrary.write("not a library") > 0);
        notALibrary.close();
        LogCapture log;
        const int first = PluginLoader::libraries().size();
        PluginLoader::loadAll(dir.path());
        PluginLoader::loadAll(QStringLiteral("/nonexistent/boards/"));
        QStringList names;
        for (int i = first; i < PluginLoader::libraries().size(); ++i)
            names << QFileInfo(PluginLoader::libraries().at(i)->fileName()).fileName();
        names.sort();
        QCOMPARE(names, (QStringList{"VRAXDig2.so", "libVRAXDig2.so"}));
        QCOMPARE(log.count("Unable to load plugin:  \"libVRAXDig2Text.so\""), 1);
        QCOMPARE(log.lines().size(), 3);
    }
};

QTEST_GUILESS_MAIN(TestBoard)
#include "tst_board.moc"
