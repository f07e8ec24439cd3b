// The high-voltage block on boards opened through the scripted plugin: its
// configuration, its two replies built from the plugin's answers, and the
// global on/off commands as the plugin receives them.
#include "board_access/board.h"
#include "board_access/hv.h"
#include "core/block_context.h"
#include "script_plugin_fixture.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
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

QJsonObject parameter(const QString& name, const QString& path, const QString& valueType, bool readOnly = false)
{
    QJsonObject object{{"name", name}, {"path", path}, {"value_type", valueType}};
    if (readOnly)
        object.insert("access", "read_only");
    return object;
}

// A board entry whose one "configs" group holds the given parameters.
QJsonObject boardEntry(const QJsonArray& parameters)
{
    return QJsonObject{{"configs", QJsonArray{QJsonObject{{"elements", parameters}}}}};
}

QJsonObject hvEntry(const QString& name, const QStringList& sources, const QJsonArray& parameters = {})
{
    QJsonArray list;
    for (const QString& source : sources)
        list.append(QJsonObject{{"source", source}});
    return QJsonObject{{"block_type", "hv"}, {"name", name}, {"data_type", "hv"}, {"sources", list},
                       {"parameters", parameters}};
}

QJsonArray channels(int count)
{
    return QJsonArray{QJsonObject{{"param_name", "n_channels"}, {"param_value", count}}};
}

QString request(const QString& cmd, const QString& param)
{
    return QStringLiteral("{\"args\":[{\"cmd\":\"%1\",\"param\":\"%2\"}]}").arg(cmd, param);
}

const QString kNotConnected = QStringLiteral("{\"response\":\"error\", \"reason\":\"Board not connected\"}");

}  // namespace

class HvTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    // Configuration
    void isAddressedByTheBoardItServes();
    void selectsTheLastNamedBoardThatExists_data();
    void selectsTheLastNamedBoardThatExists();
    void warnsOnceForEachSourceWithoutBoard();
    void readsTheChannelCountFromItsParameters_data();
    void readsTheChannelCountFromItsParameters();
    void withoutBoardListReadsNothing();

    // Values reply
    void answersAllWithEveryScalarAndArrayParameterInOrder();
    void mergesTheArgsElementsIntoOneCommand_data();
    void mergesTheArgsElementsIntoOneCommand();
    void listsNoParameterOfAnotherTypeAndNoStrayComma_data();
    void listsNoParameterOfAnotherTypeAndNoStrayComma();
    void insertsValuesExactlyAsThePluginAnswers();
    void listsArrayParametersEmptyWithoutChannels();
    void appendsItsReplyToWhatTheOutputHolds();

    // Data reply
    void answersReadOnlyWithTheReadOnlyParametersOnly();
    void answersReadOnlyWithAnEmptyListWhenEveryParameterIsWritable();

    // Requests it does not answer
    void ignoresRequestsItDoesNotKnow_data();
    void ignoresRequestsItDoesNotKnow();

    // Without a board
    void answersBoardNotConnectedWithoutBoard_data();
    void answersBoardNotConnectedWithoutBoard();
    void globalCommandsWithoutBoardSendNothing_data();
    void globalCommandsWithoutBoardSendNothing();

    // Global commands
    void globalCommandSendsItsPathThenTheConfigureSequence_data();
    void globalCommandSendsItsPathThenTheConfigureSequence();

private:
    // Opens a board named `name` on the scripted plugin, answering GetValue
    // with `values`, and reads `entry` as its configuration.
    ScriptPluginFixture* openBoard(const QString& name, const QJsonObject& entry,
                                   const QMap<QString, QString>& values = {});
    HV* makeHv(const QJsonObject& entry);
    static QString ask(HV* hv, const QString& text);

    QTemporaryDir m_dir;
    QLibrary m_plugin{ScriptPluginFixture::pluginPath()};
    QList<Board*> m_boards;
    QList<QuarixBlock*> m_blocks;
    std::vector<std::unique_ptr<ScriptPluginFixture>> m_fixtures;
    QStringList m_infoLines;
};

void HvTest::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_plugin.load(), qPrintable(m_plugin.errorString()));
    g_infoLines = &m_infoLines;
    g_previousHandler = qInstallMessageHandler(recordInfo);
}

void HvTest::cleanupTestCase()
{
    qInstallMessageHandler(g_previousHandler);
    g_infoLines = nullptr;
}

void HvTest::init()
{
    m_infoLines.clear();
}

void HvTest::cleanup()
{
    qDeleteAll(m_blocks);
    m_blocks.clear();
    qDeleteAll(m_boards);
    m_boards.clear();
    m_fixtures.clear();
}

ScriptPluginFixture* HvTest::openBoard(const QString& name, const QJsonObject& entry,
                                       const QMap<QString, QString>& values)
{
    // Every board of every test gets its own script and call log.
    static int serial = 0;
    auto fixture = std::make_unique<ScriptPluginFixture>(m_dir.path(), QStringLiteral("%1_%2").arg(name).arg(++serial));
    for (auto it = values.begin(); it != values.end(); ++it)
        fixture->setValue(it.key(), it.value());
    if (!fixture->write())
        return nullptr;
    auto* board = new Board(&m_plugin);
    board->name = name;
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

HV* HvTest::makeHv(const QJsonObject& entry)
{
    BlockContext context;
    context.boards = &m_boards;
    context.blocks = &m_blocks;
    context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/") + entry.value("name").toString();
    context.config_path = QStringLiteral("unused.json");
    auto* hv = new HV(nullptr, &context, entry);
    m_blocks.append(hv);
    return hv;
}

QString HvTest::ask(HV* hv, const QString& text)
{
    QString reply;
    if (!QuarixBlock::interpret(hv, text, &reply))
        return QStringLiteral("<no InterpretMessage slot>");
    return reply;
}

// --- Configuration -----------------------------------------------------------

void HvTest::isAddressedByTheBoardItServes()
{
    QVERIFY(openBoard("HV1", boardEntry({})));
    HV* hv = makeHv(hvEntry("hv1", {"HV1"}));

    QCOMPARE(hv->blockType(), QStringLiteral("hv"));
    QCOMPARE(hv->Name(), QStringLiteral("hv1"));
    QCOMPARE(hv->FullPath(), QStringLiteral("Hardware/HV1"));
    QCOMPARE(hv->board(), m_boards.at(0));
    QVERIFY(hv->inputPins().isEmpty());
    QVERIFY(hv->outputPins().isEmpty());
    QVERIFY(!hv->dumpFlag());
    QCOMPARE(QuarixBlock::findByFullPath(m_blocks, "Hardware/HV1"), hv);
}

void HvTest::selectsTheLastNamedBoardThatExists_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<int>("board");   // index in the board list, -1 for none
    QTest::addColumn<QString>("fullPath");
    QTest::addColumn<int>("warnings");

    QTest::newRow("one source") << QStringList{"HV2"} << 1 << "Hardware/HV2" << 0;
    QTest::newRow("later source replaces earlier") << QStringList{"HV1", "HV2"} << 1 << "Hardware/HV2" << 0;
    QTest::newRow("missing source keeps the board found before") << QStringList{"HV1", "HVX"} << 0
                                                                   << "Hardware/HVX" << 1;
    QTest::newRow("only a missing source") << QStringList{"HVX"} << -1 << "Hardware/HVX" << 1;
    QTest::newRow("names compare with case") << QStringList{"hv1"} << -1 << "Hardware/hv1" << 1;
    QTest::newRow("no source") << QStringList{} << -1 << "" << 0;
}

void HvTest::selectsTheLastNamedBoardThatExists()
{
    QFETCH(QStringList, sources);
    QFETCH(int, board);
    QFETCH(QString, fullPath);
    QFETCH(int, warnings);
    QVERIFY(openBoard("HV1", boardEntry({})));
    QVERIFY(openBoard("HV2", boardEntry({})));

    HV* hv = makeHv(hvEntry("hv", sources));

    QCOMPARE(hv->board(), board < 0 ? nullptr : m_boards.at(board));
    QCOMPARE(hv->FullPath(), fullPath);
    QCOMPARE(m_infoLines.filter("Warning: a hv source block").size(), warnings);
}

void HvTest::warnsOnceForEachSourceWithoutBoard()
{
    QVERIFY(openBoard("HV1", boardEntry({})));
    makeHv(hvEntry("hv_left", {"A", "HV1", "B"}));

    const QString warning =
        QStringLiteral("Warning: a hv source block  \"hv_left\"  has been detected but the related board has not been found");
    QCOMPARE(m_infoLines, QStringList({warning, warning}));
}

void HvTest::readsTheChannelCountFromItsParameters_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<int>("channels");

    QTest::newRow("absent") << QJsonArray{} << 0;
    QTest::newRow("integer") << channels(16) << 16;
    QTest::newRow("later overrides earlier") << QJsonArray{channels(4).at(0), channels(2).at(0)} << 2;
    QTest::newRow("other names ignored")
        << QJsonArray{channels(3).at(0), QJsonObject{{"param_name", "channels"}, {"param_value", 9}}} << 3;
    QTest::newRow("number given as text")
        << QJsonArray{QJsonObject{{"param_name", "n_channels"}, {"param_value", "8"}}} << 0;
    QTest::newRow("name that is not a string")
        << QJsonArray{QJsonObject{{"param_name", QJsonArray{"n_channels"}}, {"param_value", 5}}} << 0;
}

void HvTest::readsTheChannelCountFromItsParameters()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(int, channels);
    QVERIFY(openBoard("HV1", boardEntry({})));

    QCOMPARE(makeHv(hvEntry("hv", {"HV1"}, parameters))->channelCount(), channels);
}

void HvTest::withoutBoardListReadsNothing()
{
    BlockContext context;
    context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/hv");
    HV hv(nullptr, &context, hvEntry("hv", {"HV1"}, channels(4)));

    QCOMPARE(hv.Name(), QString());
    QCOMPARE(hv.FullPath(), QString());
    QCOMPARE(hv.channelCount(), 0);
    QString reply;
    QVERIFY(QuarixBlock::interpret(&hv, request("get_all_ch_values", "all"), &reply));
    QCOMPARE(reply, kNotConnected);
}

// --- Values reply ------------------------------------------------------------

void HvTest::answersAllWithEveryScalarAndArrayParameterInOrder()
{
    ScriptPluginFixture* plugin =
        openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32"), parameter("ISet", "\\ISet", "u32_array")}),
                  {{"\\VSet", "100"}, {"\\Channel0\\ISet", "1"}, {"\\Channel1\\ISet", "2"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}, channels(2)));

    QCOMPARE(ask(hv, request("get_all_ch_values", "all")), QStringLiteral("{\"response\":\"ok\",\"VSet\":100,\"ISet\":[1,2]}"));
    QCOMPARE(plugin->paths("GetValue"), QStringList({"\\VSet", "\\Channel0\\ISet", "\\Channel1\\ISet"}));
    QCOMPARE(plugin->briefs({"SetValue", "SendCommand"}), QStringList());
}

void HvTest::mergesTheArgsElementsIntoOneCommand_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reply");

    const QString all = QStringLiteral("{\"response\":\"ok\",\"VSet\":100}");
    const QString data = QStringLiteral("{\"data\":[]}");
    QTest::newRow("one element") << R"({"args":[{"cmd":"get_all_ch_values","param":"all"}]})" << all;
    QTest::newRow("two elements") << R"({"args":[{"cmd":"get_all_ch_values"},{"param":"all"}]})" << all;
    QTest::newRow("param first") << R"({"args":[{"param":"read_only"},{"cmd":"get_all_ch_values"}]})" << data;
    QTest::newRow("later param wins")
        << R"({"args":[{"cmd":"get_all_ch_values","param":"read_only"},{"param":"all"}]})" << all;
    QTest::newRow("later cmd wins") << R"({"args":[{"cmd":"hv_global_on"},{"cmd":"get_all_ch_values","param":"all"}]})"
                                    << all;
    QTest::newRow("elements without the keys change nothing")
        << R"({"path":"Hardware/HV1","args":[{"cmd":"get_all_ch_values"},{"other":1},{"param":"all"},{}]})" << all;
}

void HvTest::mergesTheArgsElementsIntoOneCommand()
{
    QFETCH(QString, text);
    QFETCH(QString, reply);
    ScriptPluginFixture* plugin = openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32")}), {{"\\VSet", "100"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}));

    QCOMPARE(ask(hv, text), reply);
    QCOMPARE(plugin->paths("SendCommand"), QStringList());
}

void HvTest::listsNoParameterOfAnotherTypeAndNoStrayComma_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("reply");

    const QJsonObject vset = parameter("VSet", "\\VSet", "u32");
    const QJsonObject names = parameter("Names", "\\Names", "string_array");
    const QJsonObject other = parameter("Ramp", "\\Ramp", "float");
    QTest::newRow("string array last") << QJsonArray{vset, names} << "{\"response\":\"ok\",\"VSet\":100}";
    QTest::newRow("string array first") << QJsonArray{names, vset} << "{\"response\":\"ok\",\"VSet\":100}";
    QTest::newRow("unknown value type") << QJsonArray{other, vset, other} << "{\"response\":\"ok\",\"VSet\":100}";
    QTest::newRow("only unlisted types") << QJsonArray{names, other} << "{\"response\":\"ok\"}";
    QTest::newRow("no parameters") << QJsonArray{} << "{\"response\":\"ok\"}";
}

void HvTest::listsNoParameterOfAnotherTypeAndNoStrayComma()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, reply);
    ScriptPluginFixture* plugin = openBoard("HV1", boardEntry(parameters),
                                            {{"\\VSet", "100"}, {"\\Channel0\\Names", "a"}, {"\\Ramp", "5"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}, channels(1)));

    QCOMPARE(ask(hv, request("get_all_ch_values", "all")), reply);
    // Parameters left out of the reply are not read either.
    for (const QString& path : plugin->paths("GetValue"))
        QCOMPARE(path, QStringLiteral("\\VSet"));
}

void HvTest::insertsValuesExactlyAsThePluginAnswers()
{
    ScriptPluginFixture* plugin =
        openBoard("HV1",
                  boardEntry({parameter("On", "\\On", "boolean"), parameter("Mode", "\\Mode", "list"),
                              parameter("Ramp", "\\Ramp", "u32"), parameter("Mask", "\\Mask", "bool_array"),
                              parameter("Pol", "\\Pol", "list_array")}),
                  {{"\\On", "true"}, {"\\Mode", "\"fast\""}, {"\\Channel0\\Mask", "1"},
                   {"\\Channel1\\Mask", "0"}, {"\\Channel0\\Pol", "1.5e3"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}, channels(2)));

    // Unanswered reads (\Ramp, \Channel1\Pol) leave their place empty.
    QCOMPARE(ask(hv, request("get_all_ch_values", "all")),
             QStringLiteral("{\"response\":\"ok\",\"On\":true,\"Mode\":\"fast\",\"Ramp\":,\"Mask\":[1,0],\"Pol\":[1.5e3,]}"));
}

void HvTest::listsArrayParametersEmptyWithoutChannels()
{
    ScriptPluginFixture* plugin =
        openBoard("HV1", boardEntry({parameter("ISet", "\\ISet", "u32_array"), parameter("VSet", "\\VSet", "u32")}),
                  {{"\\VSet", "7"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}));

    QCOMPARE(ask(hv, request("get_all_ch_values", "all")), QStringLiteral("{\"response\":\"ok\",\"ISet\":[],\"VSet\":7}"));
    QCOMPARE(plugin->paths("GetValue"), QStringList({"\\VSet"}));
}

void HvTest::appendsItsReplyToWhatTheOutputHolds()
{
    QVERIFY(openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32")}), {{"\\VSet", "3"}}));
    HV* hv = makeHv(hvEntry("hv", {"HV1"}));

    QString reply = QStringLiteral("before;");
    QVERIFY(QuarixBlock::interpret(hv, request("get_all_ch_values", "all"), &reply));
    QCOMPARE(reply, QStringLiteral("before;{\"response\":\"ok\",\"VSet\":3}"));
}

// --- Data reply --------------------------------------------------------------

void HvTest::answersReadOnlyWithTheReadOnlyParametersOnly()
{
    ScriptPluginFixture* plugin =
        openBoard("HV1",
                  boardEntry({parameter("VSet", "\\VSet", "u32"), parameter("VMon", "\\VMon", "u32", true),
                              parameter("Label", "\\Label", "string_array", true),
                              parameter("IMon", "\\IMon", "u32_array", true),
                              parameter("Alarm", "\\Alarm", "boolean", true)}),
                  {{"\\VSet", "100"}, {"\\VMon", "1500"}, {"\\Channel0\\IMon", "3"}, {"\\Channel1\\IMon", "4"},
                   {"\\Alarm", "false"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}, channels(2)));

    QCOMPARE(ask(hv, request("get_all_ch_values", "read_only")),
             QStringLiteral("{\"data\":[{\"VMon\":1500},{\"IMon\":[3,4]},{\"Alarm\":false}]}"));
    QCOMPARE(plugin->paths("GetValue"), QStringList({"\\VMon", "\\Channel0\\IMon", "\\Channel1\\IMon", "\\Alarm"}));
}

void HvTest::answersReadOnlyWithAnEmptyListWhenEveryParameterIsWritable()
{
    ScriptPluginFixture* plugin =
        openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32"), parameter("ISet", "\\ISet", "u32_array")}),
                  {{"\\VSet", "100"}, {"\\Channel0\\ISet", "1"}, {"\\Channel1\\ISet", "2"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}, channels(2)));

    QCOMPARE(ask(hv, request("get_all_ch_values", "read_only")), QStringLiteral("{\"data\":[]}"));
    QCOMPARE(plugin->paths("GetValue"), QStringList());
}

// --- Requests it does not answer ---------------------------------------------

void HvTest::ignoresRequestsItDoesNotKnow_data()
{
    QTest::addColumn<QString>("text");

    QTest::newRow("unknown param") << request("get_all_ch_values", "everything");
    QTest::newRow("param absent") << R"({"args":[{"cmd":"get_all_ch_values"}]})";
    QTest::newRow("unknown cmd") << request("set_all_ch_values", "all");
    QTest::newRow("cmd with other case") << request("GET_ALL_CH_VALUES", "all");
    QTest::newRow("top-level cmd, no args") << R"({"cmd":"get_all_ch_values","param":"all"})";
    QTest::newRow("args not an array") << R"({"args":{"cmd":"get_all_ch_values","param":"all"}})";
    QTest::newRow("cmd not a string") << R"({"args":[{"cmd":["get_all_ch_values"],"param":"all"}]})";
    QTest::newRow("not JSON") << "get_all_ch_values all";
    QTest::newRow("JSON array") << R"([{"cmd":"get_all_ch_values","param":"all"}])";
    QTest::newRow("empty text") << "";
}

void HvTest::ignoresRequestsItDoesNotKnow()
{
    QFETCH(QString, text);
    ScriptPluginFixture* plugin = openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32")}), {{"\\VSet", "1"}});
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}));

    QCOMPARE(ask(hv, text), QString());
    QCOMPARE(plugin->briefs(), QStringList());
}

// --- Without a board ---------------------------------------------------------

void HvTest::answersBoardNotConnectedWithoutBoard_data()
{
    QTest::addColumn<QString>("param");
    QTest::newRow("all") << "all";
    QTest::newRow("read_only") << "read_only";
    QTest::newRow("unknown param") << "anything";
}

void HvTest::answersBoardNotConnectedWithoutBoard()
{
    QFETCH(QString, param);
    ScriptPluginFixture* other = openBoard("HV1", boardEntry({parameter("VSet", "\\VSet", "u32")}));
    QVERIFY(other);
    HV* hv = makeHv(hvEntry("hv", {"HV9"}));

    QCOMPARE(ask(hv, request("get_all_ch_values", param)), kNotConnected);
    QCOMPARE(other->briefs(), QStringList());
}

void HvTest::globalCommandsWithoutBoardSendNothing_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::newRow("on") << "hv_global_on";
    QTest::newRow("off") << "hv_global_off";
}

void HvTest::globalCommandsWithoutBoardSendNothing()
{
    QFETCH(QString, cmd);
    const QJsonObject entry{{"commands", QJsonArray{QJsonObject{{"path", "\\cfg\\All"}, {"command_type", "config_all"}}}}};
    ScriptPluginFixture* other = openBoard("HV1", entry);
    QVERIFY(other);
    HV* hv = makeHv(hvEntry("hv", {"HV9"}));

    QCOMPARE(ask(hv, request(cmd, "")), QString());
    QCOMPARE(other->briefs(), QStringList());
}

// --- Global commands ---------------------------------------------------------

void HvTest::globalCommandSendsItsPathThenTheConfigureSequence_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<QString>("path");
    QTest::newRow("on") << "hv_global_on" << "commands\\global_on";
    QTest::newRow("off") << "hv_global_off" << "commands\\global_off";
}

void HvTest::globalCommandSendsItsPathThenTheConfigureSequence()
{
    QFETCH(QString, cmd);
    QFETCH(QString, path);
    QJsonObject entry = boardEntry({parameter("VSet", "\\VSet", "u32")});
    entry.insert("endpoints", QJsonArray{QJsonObject{{"name", "mon"}, {"enable", true}},
                                         QJsonObject{{"name", "idle"}, {"enable", false}}});
    entry.insert("commands",
                 QJsonArray{QJsonObject{{"path", "\\cfg\\Apply"}, {"command_type", "config"}},
                            QJsonObject{{"path", "\\mon\\Start"}, {"command_type", "start"}, {"endpoint_type", "mon"}},
                            QJsonObject{{"path", "\\mon\\Stop"}, {"command_type", "stop"}, {"endpoint_type", "mon"}},
                            QJsonObject{{"path", "\\mon\\Cfg"}, {"command_type", "config"}, {"endpoint_type", "mon"}},
                            QJsonObject{{"path", "\\idle\\Stop"}, {"command_type", "stop"}, {"endpoint_type", "idle"}},
                            QJsonObject{{"path", "\\idle\\Start"}, {"command_type", "start"}, {"endpoint_type", "idle"}}});
    ScriptPluginFixture* plugin = openBoard("HV1", entry, {{"\\VSet", "1"}});
    QVERIFY(plugin);
    ScriptPluginFixture* other = openBoard("HV2", entry);
    QVERIFY(other);
    HV* hv = makeHv(hvEntry("hv", {"HV1"}));

    QCOMPARE(ask(hv, request(cmd, "all")), QString());
    QCOMPARE(plugin->briefs(),
             QStringList({"SendCommand " + path, "SendCommand \\cfg\\Apply", "SendCommand \\mon\\Stop",
                          "SendCommand \\mon\\Cfg", "SendCommand \\mon\\Start", "SendCommand \\idle\\Stop"}));
    QCOMPARE(other->briefs(), QStringList());
}

QTEST_GUILESS_MAIN(HvTest)
#include "tst_hv.moc"
