// "get_statistics" in the real server: events in and out of every block and
// what each one lost, after a run that loses nothing and after one whose time
// sorting block refuses events on purpose (an order buffer of one item).
#include "script_plugin_fixture.h"
#include "server_process.h"
#include "ws_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
const QString kList = QStringLiteral("endpoints\\list");
constexpr int kBatches = 7;

QJsonObject parameter(const char* name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

QJsonObject block(const char* type, const char* name, const QString& source, const QString& pin,
                  const QJsonArray& parameters = {})
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", "energy"}, {"input_count", QString(type) == "source" ? 0 : 1},
                       {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}},
                       {"parameters", parameters}};
}

// source → time sorting → tee → spectrum + dumper. The source reads every
// 50 ms, so each batch finds the previous one older than the 5 ms hold.
QJsonObject chainConfig(const QString& storage, const QString& connection, int orderBufferLimit)
{
    const QJsonObject board{{"enable", true}, {"id", "1"}, {"board_name", "B1"}, {"board_type", "digitizer"},
                            {"board_plugin", "libVRAXDig2Script"}, {"board_connection_string", connection},
                            {"endpoints", QJsonArray{QJsonObject{{"name", "list"}, {"path", kList}, {"enable", true}}}}};
    QJsonObject tee = block("tee", "fan", "sorter", "0");
    tee.insert("output_count", 2);
    const QJsonArray chain{
        block("source", "src", "B1", kList, {parameter("download_interval", 50)}),
        block("time_sorting", "sorter", "src", "0", {parameter("order_buffer_limit", orderBufferLimit)}),
        tee,
        block("spectrum", "spec", "fan", "0", {parameter("bin_number", 16), parameter("ch_number", 2)}),
        block("dumper", "dump", "fan", "1")};
    return QJsonObject{{"storage", QJsonObject{{"file_path", storage}}}, {"Hardware", QJsonArray{board}},
                       {"processing", QJsonArray{QJsonObject{{"filter_chain", QJsonArray{QJsonObject{
                           {"enable", true}, {"name", "main"}, {"chain", chain}}}}}}}};
}

// name → "events_in events_out lost_events <losses by cause> | <dropped events per output pin>"
QMap<QString, QString> summary(const QString& reply)
{
    QMap<QString, QString> blocks;
    for (const QJsonValue& value : QJsonDocument::fromJson(reply.toUtf8()).array()) {
        const QJsonObject b = value.toObject();
        QStringList fields{QString::number(qint64(b["events_in"].toDouble())), QString::number(qint64(b["events_out"].toDouble())),
                           QString::number(qint64(b["lost_events"].toDouble()))};
        const QJsonObject losses = b["losses"].toObject();
        for (const QString& cause : losses.keys())
            fields << cause + '=' + QString::number(qint64(losses[cause].toDouble()));
        fields << "|";
        for (const QJsonValue& pin : b["outputs"].toArray())
            fields << QString::number(qint64(pin.toObject()["dropped_events"].toDouble()));
        blocks.insert(b["name"].toString(), fields.join(' '));
    }
    return blocks;
}
}  // namespace

class TestStatistics : public QObject {
    Q_OBJECT
private slots:
    void countsEventsAndLossesOfEveryBlock_data()
    {
        QTest::addColumn<int>("orderBufferLimit");
        QTest::addColumn<QString>("sorter");
        QTest::addColumn<QString>("fan");
        // Seven batches of two events, one group each. With the default buffer
        // every batch but the last (still held) leaves; with a buffer of one
        // item every batch that finds the previous one still buffered is
        // refused whole: the 2nd, 4th and 6th.
        QTest::newRow("lossless") << 10000 << "14 12 0 order_buffer_full=0 | 0" << "12 24 0 | 0 0";
        QTest::newRow("order buffer overflows") << 1 << "14 6 6 order_buffer_full=6 | 0" << "6 12 0 | 0 0";
    }

    void countsEventsAndLossesOfEveryBlock()
    {
        QFETCH(int, orderBufferLimit);
        ServerProcess server;
        ScriptPluginFixture board{server.dir()};
        for (int b = 0; b < kBatches; ++b) {
            const uint64_t t = 1000 * uint64_t(b + 1);
            board.addEnergyBatch(kList, {{0, 0, t, 0, 10}, {0, 0, t + 10, 1, 20}});
        }
        QVERIFY(board.write());
        QVERIFY(server.addPlugin(ScriptPluginFixture::pluginPath()));
        QVERIFY(server.start(server.writeConfig(chainConfig(server.storagePath(), board.connectionString(), orderBufferLimit))));
        QTRY_COMPARE_WITH_TIMEOUT(board.paths("FreePointer").size(), kBatches, 20000);

        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        QFETCH(QString, sorter);
        QFETCH(QString, fan);
        QTRY_COMPARE_WITH_TIMEOUT(summary(commands.request(R"({"cmd":"get_statistics"})")).value("sorter"), sorter, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(summary(commands.request(R"({"cmd":"get_statistics"})")).value("dump"),
                                  QString("%1 0 0 |").arg(fan.section(' ', 0, 0)), 10000);
        const QMap<QString, QString> blocks = summary(commands.request(R"({"cmd":"get_statistics"})"));
        QCOMPARE(blocks.value("src"), QStringLiteral("0 14 0 bad_records=0 read_errors=0 | 0"));
        QCOMPARE(blocks.value("sorter"), sorter);
        QCOMPARE(blocks.value("fan"), fan);
        QCOMPARE(blocks.value("spec"), QString("%1 0 0 |").arg(fan.section(' ', 0, 0)));
        QCOMPARE(server.terminate(), 0);
        QVERIFY2(!server.output().contains("Sanitizer") && !server.output().contains("runtime error"), qPrintable(server.output()));
    }
};

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_statistics.moc"
