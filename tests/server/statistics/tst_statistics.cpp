// "get_statistics" in the real server: events in and out of every block and
// what each one lost, after a run that loses nothing and after one whose time
// sorting block refuses events on purpose (an order buffer of one item).
// The board delivers one batch of energy pairs: the source hands on one
// message of two events per pair, all at once; past 10000 its pin is full.
#include "script_plugin_fixture.h"
#include "server_process.h"
#include "ws_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
const QString kPairs = QStringLiteral("endpoints\\pairs");

QJsonObject parameter(const char* name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

QJsonObject block(const char* type, const char* name, const QString& source, const QString& pin,
                  const QJsonArray& parameters = {}, const char* dataType = "energy")
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", dataType}, {"input_count", QString(type) == "source" ? 0 : 1},
                       {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}},
                       {"parameters", parameters}};
}

// source → time sorting → tee → spectrum + dumper; without a buffer limit,
// source → spectrum.
QJsonObject chainConfig(const QString& storage, const QString& connection, int orderBufferLimit)
{
    const QJsonObject board{{"enable", true}, {"id", "1"}, {"board_name", "B1"}, {"board_type", "digitizer"},
                            {"board_plugin", "libVRAXDig2Script"}, {"board_connection_string", connection},
                            {"endpoints", QJsonArray{QJsonObject{{"name", "pairs"}, {"path", kPairs}, {"enable", true}}}}};
    QJsonObject tee = block("tee", "fan", "sorter", "0");
    tee.insert("output_count", 2);
    const QJsonArray spectrumSize{parameter("bin_number", 16), parameter("ch_number", 2)};
    const QJsonArray chain = orderBufferLimit > 0
        ? QJsonArray{block("source", "src", "B1", kPairs, {}, "energy_pair"),
                     block("time_sorting", "sorter", "src", "0", {parameter("order_buffer_limit", orderBufferLimit)}),
                     tee, block("spectrum", "spec", "fan", "0", spectrumSize), block("dumper", "dump", "fan", "1")}
        : QJsonArray{block("source", "src", "B1", kPairs, {}, "energy_pair"), block("spectrum", "spec", "src", "0", spectrumSize)};
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
        QTest::addColumn<int>("pairs");
        QTest::addColumn<int>("orderBufferLimit");
        QTest::addColumn<QString>("expected");
        // Each pair is its own group. With the default buffer all leave, the
        // last ones once no more data comes; with a buffer of one item every
        // message after the first finds it full and is refused whole.
        const QString source = "src: 0 14 0 bad_records=0 read_errors=0 | 0\n";
        QTest::newRow("lossless") << 7 << 10000 << source + "sorter: 14 14 0 order_buffer_full=0 | 0\n"
            "fan: 14 28 0 | 0 0\nspec: 14 0 0 |\ndump: 14 0 0 |";
        QTest::newRow("order buffer overflows") << 7 << 1 << source + "sorter: 14 2 12 order_buffer_full=12 | 0\n"
            "fan: 2 4 0 | 0 0\nspec: 2 0 0 |\ndump: 2 0 0 |";
        QTest::newRow("source pin overflows") << 10005 << 0
            << "src: 0 20000 10 bad_records=0 read_errors=0 | 10\nspec: 20000 0 0 |";
    }

    void countsEventsAndLossesOfEveryBlock()
    {
        QFETCH(int, pairs);
        QFETCH(int, orderBufferLimit);
        QFETCH(QString, expected);
        ServerProcess server;
        ScriptPluginFixture board{server.dir()};
        QVector<scriptplugin::EnergyPair> batch;
        for (int p = 0; p < pairs; ++p)
            batch.append({0, 0, 1000 * uint64_t(p + 1), 0, 100, 200});
        board.addPairBatch(kPairs, batch);
        QVERIFY(board.write());
        QVERIFY(server.addPlugin(ScriptPluginFixture::pluginPath()));
        QVERIFY(server.start(server.writeConfig(chainConfig(server.storagePath(), board.connectionString(), orderBufferLimit))));
        QTRY_COMPARE_WITH_TIMEOUT(board.paths("FreePointer").size(), 1, 20000);

        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        const auto all = [&] {
            QStringList lines;
            const QMap<QString, QString> blocks = summary(commands.request(R"({"cmd":"get_statistics"})"));
            for (const QString& name : QStringList{"src", "sorter", "fan", "spec", "dump"}) {
                if (blocks.contains(name))
                    lines << name + ": " + blocks.value(name);
            }
            return lines.join('\n');
        };
        QTRY_COMPARE_WITH_TIMEOUT(all(), expected, 20000);
        QCOMPARE(server.terminate(), 0);
        QVERIFY2(!server.output().contains("Sanitizer") && !server.output().contains("runtime error"), qPrintable(server.output()));
    }
};

QTEST_GUILESS_MAIN(TestStatistics)
#include "tst_statistics.moc"
