// The high-voltage block on boards opened through the scripted plugin: which
// board it serves, its two replies built from the plugin's answers, and the
// global on/off commands exactly as the board receives them.
#include "board_access/hv.h"
#include "board_config_fixture.h"
#include "log_capture.h"

#include <QtTest>

namespace {
QJsonObject hvParameter(const QString& name, const QString& type, bool readOnly = false)
{
    return boardParameter(name, "\\" + name, type, readOnly ? QJsonObject{{"access", "read_only"}} : QJsonObject());
}

QJsonObject hvEntry(const QStringList& sources, int channels = -1)
{
    QJsonArray list;
    for (const QString& source : sources)
        list.append(QJsonObject{{"source", source}});
    QJsonArray parameters;
    if (channels >= 0)
        parameters.append(blockParameter("n_channels", channels));
    return QJsonObject{{"block_type", "hv"}, {"name", "hv"}, {"data_type", "hv"}, {"sources", list},
                       {"parameters", parameters}};
}

QString request(const QString& cmd, const QString& param)
{
    return QStringLiteral("{\"args\":[{\"cmd\":\"%1\",\"param\":\"%2\"}]}").arg(cmd, param);
}

const QString kNotConnected = QStringLiteral("{\"response\":\"error\", \"reason\":\"Board not connected\"}");
}  // namespace

class HvTest : public QObject {
    Q_OBJECT
    std::unique_ptr<ScriptedBoards> m_boards;
    QList<QuarixBlock*> m_blocks;

    HV* makeHv(const QJsonObject& entry)
    {
        BlockContext context = m_boards->context(&m_blocks, "processing/0/filter_chain/main/chain/hv");
        auto* hv = new HV(nullptr, &context, entry);
        m_blocks.append(hv);
        return hv;
    }
    static QString ask(HV* hv, const QString& text)
    {
        QString reply;
        return QuarixBlock::interpret(hv, text, &reply) ? reply : QStringLiteral("<no InterpretMessage slot>");
    }

private slots:
    void init() { m_boards = std::make_unique<ScriptedBoards>(); }
    void cleanup()
    {
        qDeleteAll(m_blocks);
        m_blocks.clear();
        m_boards.reset();
    }

    void servesTheLastNamedBoardThatExists_data()
    {
        QTest::addColumn<QStringList>("sources");
        QTest::addColumn<int>("board");   // index in the board list, -1 for none
        QTest::addColumn<QString>("fullPath");
        QTest::addColumn<int>("warnings");
        QTest::newRow("one source") << QStringList{"HV2"} << 1 << "Hardware/HV2" << 0;
        QTest::newRow("later wins") << QStringList{"HV1", "HV2"} << 1 << "Hardware/HV2" << 0;
        QTest::newRow("missing keeps found") << QStringList{"HV1", "HVX"} << 0 << "Hardware/HVX" << 1;
        QTest::newRow("case") << QStringList{"hv1"} << -1 << "Hardware/hv1" << 1;
        QTest::newRow("one warning each") << QStringList{"A", "HV1", "B"} << 0 << "Hardware/B" << 2;
        QTest::newRow("no source") << QStringList{} << -1 << "" << 0;
    }
    void servesTheLastNamedBoardThatExists()
    {
        QFETCH(QStringList, sources);
        QFETCH(int, board);
        QFETCH(QString, fullPath);
        QFETCH(int, warnings);
        QVERIFY(m_boards->open("HV1") && m_boards->open("HV2"));
        LogCapture log;
        HV* hv = makeHv(hvEntry(sources));
        QCOMPARE(hv->board(), board < 0 ? nullptr : m_boards->boards.at(board));
        QCOMPARE(hv->FullPath(), fullPath);
        const QString warning = QStringLiteral(
            "Warning: a hv source block  \"hv\"  has been detected but the related board has not been found");
        QCOMPARE(log.lines(QtInfoMsg), QStringList(QVector<QString>(warnings, warning).toList()));
    }

    void repliesWithTheValuesThePluginAnswers_data()
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
        const QStringList values{"\\VSet=100", "\\Channel0\\ISet=1", "\\Channel1\\ISet=2", "\\Channel2\\ISet=3",
                                 "\\Channel0\\Names=a", "\\Ramp=5"};
        QTest::newRow("scalar and array, per channel")
            << QJsonArray{vset, iset} << values << 3 << all << "{\"response\":\"ok\",\"VSet\":100,\"ISet\":[1,2,3]}"
            << QStringList{"\\VSet", "\\Channel0\\ISet", "\\Channel1\\ISet", "\\Channel2\\ISet"};
        QTest::newRow("no channels")
            << QJsonArray{iset, vset} << values << 0 << all << "{\"response\":\"ok\",\"ISet\":[],\"VSet\":100}"
            << QStringList{"\\VSet"};
        QTest::newRow("string array and unknown type left out")
            << QJsonArray{hvParameter("Names", "string_array"), hvParameter("Ramp", "float"), vset} << values << 1
            << all << "{\"response\":\"ok\",\"VSet\":100}" << QStringList{"\\VSet"};
        QTest::newRow("values inserted exactly as answered, unanswered empty")
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
        QTest::newRow("read_only, all writable") << QJsonArray{vset, iset} << values << 2 << readOnly << "{\"data\":[]}"
                                                 << QStringList();
        QTest::newRow("no parameters") << QJsonArray{} << values << 1 << all << "{\"response\":\"ok\"}" << QStringList();
        QTest::newRow("unknown param") << QJsonArray{vset} << values << 1 << request("get_all_ch_values", "every")
                                       << "" << QStringList();
        QTest::newRow("command case") << QJsonArray{vset} << values << 1 << request("GET_ALL_CH_VALUES", "all") << ""
                                      << QStringList();
    }
    void repliesWithTheValuesThePluginAnswers()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(QStringList, values);
        QFETCH(int, channels);
        QFETCH(QString, text);
        QFETCH(QString, reply);
        QFETCH(QStringList, reads);
        for (const QString& value : values)
            m_boards->plugin->setValue(value.section('=', 0, 0).toStdString(), value.section('=', 1).toStdString());
        Board* board = m_boards->open("HV1", configsEntry(parameters));
        QVERIFY(board);
        HV* hv = makeHv(hvEntry({"HV1"}, channels));
        QCOMPARE(ask(hv, text), reply);
        QStringList expected;
        for (const QString& path : reads)
            expected << "GetValue " + path;
        QCOMPARE(m_boards->briefs(), expected);
    }

    void withoutBoardAnswersNotConnectedAndSendsNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reply");
        QTest::newRow("all") << request("get_all_ch_values", "all") << kNotConnected;
        QTest::newRow("read_only") << request("get_all_ch_values", "read_only") << kNotConnected;
        QTest::newRow("on") << request("hv_global_on", "") << "";
        QTest::newRow("off") << request("hv_global_off", "") << "";
    }
    void withoutBoardAnswersNotConnectedAndSendsNothing()
    {
        QFETCH(QString, text);
        QFETCH(QString, reply);
        QJsonObject entry = configsEntry({hvParameter("VSet", "u32")});
        entry.insert("commands", QJsonArray{QJsonObject{{"path", "\\cfg\\All"}, {"command_type", "config_all"}}});
        QVERIFY(m_boards->open("HV1", entry));
        QCOMPARE(ask(makeHv(hvEntry({"HV9"})), text), reply);
        BlockContext noBoards;
        HV unbound(nullptr, &noBoards, hvEntry({"HV1"}, 4));
        QCOMPARE(ask(&unbound, text), reply);
        QCOMPARE(m_boards->briefs(), QStringList());
    }

    // On and off: the switch command, then the board's whole configure sequence.
    void globalCommandSendsItsPathThenTheConfigureSequence_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("path");
        QTest::newRow("on") << "hv_global_on" << "commands\\global_on";
        QTest::newRow("off") << "hv_global_off" << "commands\\global_off";
    }
    void globalCommandSendsItsPathThenTheConfigureSequence()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, path);
        QJsonObject entry = configsEntry({hvParameter("VSet", "u32")});
        entry.insert("endpoints", QJsonArray{QJsonObject{{"name", "mon"}, {"enable", true}},
                                             QJsonObject{{"name", "idle"}, {"enable", false}}});
        QJsonArray commands;
        for (const char* c : {"cfg Apply config", "mon Start start", "mon Stop stop", "mon Cfg config", "idle Stop stop",
                              "idle Start start"}) {
            const QStringList w = QString(c).split(' ');
            commands.append(QJsonObject{{"path", "\\" + w[0] + "\\" + w[1]}, {"command_type", w[2]},
                                        {"endpoint_type", w[0] == "cfg" ? "" : w[0]}});
        }
        entry.insert("commands", commands);
        Board* hv1 = m_boards->open("HV1", entry);
        Board* hv2 = m_boards->open("HV2", entry);
        QVERIFY(hv1 && hv2);
        QCOMPARE(ask(makeHv(hvEntry({"HV1"})), request(cmd, "all")), QString());
        QCOMPARE(m_boards->briefs(hv1),
                 QStringList({"SendCommand " + path, "SendCommand \\cfg\\Apply", "SendCommand \\mon\\Stop",
                              "SendCommand \\mon\\Cfg", "SendCommand \\mon\\Start", "SendCommand \\idle\\Stop"}));
        QCOMPARE(m_boards->briefs(hv2), QStringList());
    }
};

QTEST_GUILESS_MAIN(HvTest)
#include "tst_hv.moc"
