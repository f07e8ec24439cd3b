// The high-voltage block on boards opened through the scripted plugin: its
// configuration, its two replies built from the plugin's answers, and the
// global on/off commands as the plugin receives them.
#include "board_access/hv.h"
#include "board_config_fixture.h"
#include "log_capture.h"

#include <QtTest>

namespace {
QJsonObject hvParameter(const QString& name, const QString& type, bool readOnly = false)
{
    return boardParameter(name, "\\" + name, type,
                          readOnly ? QJsonObject{{"access", "read_only"}} : QJsonObject());
}

QJsonObject hvEntry(const QStringList& sources, const QJsonArray& parameters = {}, const QString& name = "hv")
{
    QJsonArray list;
    for (const QString& source : sources)
        list.append(QJsonObject{{"source", source}});
    return QJsonObject{{"block_type", "hv"}, {"name", name}, {"data_type", "hv"}, {"sources", list},
                       {"parameters", parameters}};
}

QJsonArray channels(int count)
{
    return QJsonArray{blockParameter("n_channels", count)};
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
    void init();
    void cleanup();

    // Configuration
    void selectsTheLastNamedBoardThatExists_data();
    void selectsTheLastNamedBoardThatExists();
    void readsTheChannelCountFromItsParameters_data();
    void readsTheChannelCountFromItsParameters();
    void withoutBoardListReadsNothing();

    // Replies
    void repliesWithTheValuesThePluginAnswers_data();
    void repliesWithTheValuesThePluginAnswers();
    void withoutBoardAnswersNotConnectedAndSendsNothing_data();
    void withoutBoardAnswersNotConnectedAndSendsNothing();

    // Global commands
    void globalCommandSendsItsPathThenTheConfigureSequence_data();
    void globalCommandSendsItsPathThenTheConfigureSequence();

private:
    HV* makeHv(const QJsonObject& entry);
    static QString ask(HV* hv, const QString& text);

    std::unique_ptr<ScriptedBoards> m_boards;
    QList<QuarixBlock*> m_blocks;
    std::unique_ptr<LogCapture> m_log;
};

void HvTest::init()
{
    m_boards = std::make_unique<ScriptedBoards>();
    m_log = std::make_unique<LogCapture>();
}

void HvTest::cleanup()
{
    m_log.reset();
    qDeleteAll(m_blocks);
    m_blocks.clear();
    m_boards.reset();
}

HV* HvTest::makeHv(const QJsonObject& entry)
{
    BlockContext context = m_boards->context(&m_blocks, "processing/0/filter_chain/main/chain/hv");
    auto* hv = new HV(nullptr, &context, entry);
    m_blocks.append(hv);
    return hv;
}

QString HvTest::ask(HV* hv, const QString& text)
{
    QString reply;
    return QuarixBlock::interpret(hv, text, &reply) ? reply : QStringLiteral("<no InterpretMessage slot>");
}

void HvTest::selectsTheLastNamedBoardThatExists_data()
{
    QTest::addColumn<QStringList>("sources");
    QTest::addColumn<int>("board");   // index in the board list, -1 for none
    QTest::addColumn<QString>("fullPath");
    QTest::addColumn<int>("warnings");

    QTest::newRow("one source") << QStringList{"HV2"} << 1 << "Hardware/HV2" << 0;
    QTest::newRow("later wins") << QStringList{"HV1", "HV2"} << 1 << "Hardware/HV2" << 0;
    QTest::newRow("missing keeps found") << QStringList{"HV1", "HVX"} << 0 << "Hardware/HVX" << 1;
    QTest::newRow("only missing") << QStringList{"HVX"} << -1 << "Hardware/HVX" << 1;
    QTest::newRow("case") << QStringList{"hv1"} << -1 << "Hardware/hv1" << 1;
    QTest::newRow("one warning each") << QStringList{"A", "HV1", "B"} << 0 << "Hardware/B" << 2;
    QTest::newRow("no source") << QStringList{} << -1 << "" << 0;
}

void HvTest::selectsTheLastNamedBoardThatExists()
{
    QFETCH(QStringList, sources);
    QFETCH(int, board);
    QFETCH(QString, fullPath);
    QFETCH(int, warnings);
    QVERIFY(m_boards->open("HV1") && m_boards->open("HV2"));

    HV* hv = makeHv(hvEntry(sources));

    QCOMPARE(hv->board(), board < 0 ? nullptr : m_boards->boards.at(board));
    QCOMPARE(hv->FullPath(), fullPath);
    const QString warning = QStringLiteral(
        "Warning: a hv source block  \"hv\"  has been detected but the related board has not been found");
    QCOMPARE(m_log->lines(QtInfoMsg), QStringList(QVector<QString>(warnings, warning).toList()));
    QCOMPARE(QuarixBlock::findByFullPath(m_blocks, fullPath), hv);
}

void HvTest::readsTheChannelCountFromItsParameters_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<int>("channels");

    QTest::newRow("absent") << QJsonArray{} << 0;
    QTest::newRow("integer") << channels(16) << 16;
    QTest::newRow("later wins") << QJsonArray{channels(4).at(0), channels(2).at(0)} << 2;
    QTest::newRow("other names ignored") << QJsonArray{channels(3).at(0), blockParameter("channels", 9)} << 3;
    QTest::newRow("number given as text") << QJsonArray{blockParameter("n_channels", "8")} << 0;
    QTest::newRow("name not a string") << QJsonArray{QJsonObject{{"param_name", QJsonArray{"n_channels"}}, {"param_value", 5}}} << 0;
}

void HvTest::readsTheChannelCountFromItsParameters()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(int, channels);
    QVERIFY(m_boards->open("HV1"));
    QCOMPARE(makeHv(hvEntry({"HV1"}, parameters))->channelCount(), channels);
}

void HvTest::withoutBoardListReadsNothing()
{
    BlockContext context;
    context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/hv");
    HV hv(nullptr, &context, hvEntry({"HV1"}, channels(4)));

    QCOMPARE(hv.Name(), QString());
    QCOMPARE(hv.FullPath(), QString());
    QCOMPARE(hv.channelCount(), 0);
    QCOMPARE(ask(&hv, request("get_all_ch_values", "all")), kNotConnected);
}

void HvTest::repliesWithTheValuesThePluginAnswers_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QStringList>("values");   // "<path>=<answer>"
    QTest::addColumn<int>("channels");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QStringList>("reads");    // GetValue paths, in order

    const QString all = request("get_all_ch_values", "all");
    const QString readOnly = request("get_all_ch_values", "read_only");
    const QJsonObject vset = hvParameter("VSet", "u32");
    const QJsonObject iset = hvParameter("ISet", "u32_array");
    const QJsonObject names = hvParameter("Names", "string_array");
    const QJsonObject other = hvParameter("Ramp", "float");
    const QStringList values{"\\VSet=100", "\\Channel0\\ISet=1", "\\Channel1\\ISet=2", "\\Channel0\\Names=a",
                             "\\Ramp=5"};
    const QString vsetOnly = "{\"response\":\"ok\",\"VSet\":100}";
    const QStringList vsetRead{"\\VSet"};

    QTest::newRow("scalar and array")
        << QJsonArray{vset, iset} << values << 2 << all << "{\"response\":\"ok\",\"VSet\":100,\"ISet\":[1,2]}"
        << QStringList{"\\VSet", "\\Channel0\\ISet", "\\Channel1\\ISet"};
    QTest::newRow("no channels")
        << QJsonArray{iset, vset} << values << 0 << all << "{\"response\":\"ok\",\"ISet\":[],\"VSet\":100}" << vsetRead;
    QTest::newRow("string array last") << QJsonArray{vset, names} << values << 1 << all << vsetOnly << vsetRead;
    QTest::newRow("string array first") << QJsonArray{names, vset} << values << 1 << all << vsetOnly << vsetRead;
    QTest::newRow("unknown type") << QJsonArray{other, vset, other} << values << 1 << all << vsetOnly << vsetRead;
    QTest::newRow("only unlisted") << QJsonArray{names, other} << values << 1 << all << "{\"response\":\"ok\"}" << QStringList();
    QTest::newRow("no parameters") << QJsonArray{} << values << 1 << all << "{\"response\":\"ok\"}" << QStringList();
    // Unanswered reads (\Ramp, \Channel1\Pol) leave their place empty.
    QTest::newRow("values inserted exactly as answered")
        << QJsonArray{hvParameter("On", "boolean"), hvParameter("Mode", "list"), hvParameter("Ramp", "u32"),
                      hvParameter("Mask", "bool_array"), hvParameter("Pol", "list_array")}
        << QStringList{"\\On=true", "\\Mode=\"fast\"", "\\Channel0\\Mask=1", "\\Channel1\\Mask=0",
                       "\\Channel0\\Pol=1.5e3"}
        << 2 << all << "{\"response\":\"ok\",\"On\":true,\"Mode\":\"fast\",\"Ramp\":,\"Mask\":[1,0],\"Pol\":[1.5e3,]}"
        << QStringList{"\\On", "\\Mode", "\\Ramp", "\\Channel0\\Mask", "\\Channel1\\Mask", "\\Channel0\\Pol",
                       "\\Channel1\\Pol"};
    QTest::newRow("read_only lists the read-only parameters")
        << QJsonArray{vset, hvParameter("VMon", "u32", true), hvParameter("Label", "string_array", true),
                      hvParameter("IMon", "u32_array", true), hvParameter("Alarm", "boolean", true)}
        << QStringList{"\\VMon=1500", "\\Channel0\\IMon=3", "\\Channel1\\IMon=4", "\\Alarm=false"} << 2 << readOnly
        << "{\"data\":[{\"VMon\":1500},{\"IMon\":[3,4]},{\"Alarm\":false}]}"
        << QStringList{"\\VMon", "\\Channel0\\IMon", "\\Channel1\\IMon", "\\Alarm"};
    QTest::newRow("read_only with every parameter writable")
        << QJsonArray{vset, iset} << values << 2 << readOnly << "{\"data\":[]}" << QStringList();

    // The "args" elements merge into one command.
    const QStringList merged{
        R"({"args":[{"cmd":"get_all_ch_values"},{"param":"all"}]})",
        R"({"args":[{"cmd":"get_all_ch_values","param":"read_only"},{"param":"all"}]})",
        R"({"args":[{"cmd":"hv_global_on"},{"cmd":"get_all_ch_values","param":"all"}]})",
        R"({"path":"Hardware/HV1","args":[{"cmd":"get_all_ch_values"},{"other":1},{"param":"all"},{}]})"};
    for (int i = 0; i < merged.size(); ++i)
        QTest::addRow("args merged %d", i) << QJsonArray{vset} << values << 0 << merged[i] << vsetOnly << vsetRead;
    QTest::newRow("param first") << QJsonArray{vset} << values << 0
                                 << R"({"args":[{"param":"read_only"},{"cmd":"get_all_ch_values"}]})"
                                 << "{\"data\":[]}" << QStringList();

    // Requests it does not answer.
    const QStringList ignored{request("get_all_ch_values", "everything"), R"({"args":[{"cmd":"get_all_ch_values"}]})",
                              request("set_all_ch_values", "all"), request("GET_ALL_CH_VALUES", "all"),
                              R"({"cmd":"get_all_ch_values","param":"all"})",
                              R"({"args":{"cmd":"get_all_ch_values","param":"all"}})",
                              R"({"args":[{"cmd":["get_all_ch_values"],"param":"all"}]})", "get_all_ch_values all",
                              R"([{"cmd":"get_all_ch_values","param":"all"}])", ""};
    for (int i = 0; i < ignored.size(); ++i)
        QTest::addRow("ignored %d", i) << QJsonArray{vset} << values << 0 << ignored[i] << "" << QStringList();
}

void HvTest::repliesWithTheValuesThePluginAnswers()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QStringList, values);
    QFETCH(int, channels);
    QFETCH(QString, text);
    QFETCH(QString, reply);
    QFETCH(QStringList, reads);
    QMap<QString, QString> answers;
    for (const QString& value : values)
        answers.insert(value.section('=', 0, 0), value.section('=', 1));
    ScriptPluginFixture* plugin = m_boards->open("HV1", configsEntry(parameters), answers);
    QVERIFY(plugin);
    HV* hv = makeHv(hvEntry({"HV1"}, channels ? ::channels(channels) : QJsonArray()));

    QCOMPARE(ask(hv, text), reply);
    QCOMPARE(plugin->paths("GetValue"), reads);
    QCOMPARE(plugin->briefs({"SetValue", "SendCommand"}), QStringList());
}

void HvTest::withoutBoardAnswersNotConnectedAndSendsNothing_data()
{
    QTest::addColumn<QString>("cmd");
    QTest::addColumn<QString>("param");
    QTest::addColumn<QString>("reply");
    QTest::newRow("all") << "get_all_ch_values" << "all" << kNotConnected;
    QTest::newRow("read_only") << "get_all_ch_values" << "read_only" << kNotConnected;
    QTest::newRow("unknown param") << "get_all_ch_values" << "anything" << kNotConnected;
    QTest::newRow("on") << "hv_global_on" << "" << "";
    QTest::newRow("off") << "hv_global_off" << "" << "";
}

void HvTest::withoutBoardAnswersNotConnectedAndSendsNothing()
{
    QFETCH(QString, cmd);
    QFETCH(QString, param);
    QFETCH(QString, reply);
    QJsonObject entry = configsEntry({hvParameter("VSet", "u32")});
    entry.insert("commands", QJsonArray{QJsonObject{{"path", "\\cfg\\All"}, {"command_type", "config_all"}}});
    ScriptPluginFixture* other = m_boards->open("HV1", entry);
    QVERIFY(other);
    HV* hv = makeHv(hvEntry({"HV9"}));

    QCOMPARE(ask(hv, request(cmd, param)), reply);
    QCOMPARE(other->briefs(), QStringList());
}

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
    QJsonObject entry = configsEntry({hvParameter("VSet", "u32")});
    entry.insert("endpoints", QJsonArray{QJsonObject{{"name", "mon"}, {"enable", true}},
                                         QJsonObject{{"name", "idle"}, {"enable", false}}});
    const auto command = [](const char* path, const char* type, const char* endpoint) {
        QJsonObject object{{"path", path}, {"command_type", type}};
        if (*endpoint)
            object.insert("endpoint_type", endpoint);
        return object;
    };
    entry.insert("commands", QJsonArray{command("\\cfg\\Apply", "config", ""), command("\\mon\\Start", "start", "mon"),
                                        command("\\mon\\Stop", "stop", "mon"), command("\\mon\\Cfg", "config", "mon"),
                                        command("\\idle\\Stop", "stop", "idle"),
                                        command("\\idle\\Start", "start", "idle")});
    ScriptPluginFixture* plugin = m_boards->open("HV1", entry, {{"\\VSet", "1"}});
    ScriptPluginFixture* other = m_boards->open("HV2", entry);
    QVERIFY(plugin && other);
    HV* hv = makeHv(hvEntry({"HV1"}));

    QCOMPARE(ask(hv, request(cmd, "all")), QString());
    QCOMPARE(plugin->briefs(),
             QStringList({"SendCommand " + path, "SendCommand \\cfg\\Apply", "SendCommand \\mon\\Stop",
                          "SendCommand \\mon\\Cfg", "SendCommand \\mon\\Start", "SendCommand \\idle\\Stop"}));
    QCOMPARE(other->briefs(), QStringList());
}

QTEST_GUILESS_MAIN(HvTest)
#include "tst_hv.moc"
