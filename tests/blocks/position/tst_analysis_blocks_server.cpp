// The accumulating blocks in the real server, fed by the simulated board and read
// by a real WebSocket client through "query_by_json"; and an entry the start-up refuses.
#include "server_process.h"
#include "ws_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
QJsonObject parameter(const char* name, const QJsonValue& value, bool array = false)
{
    QJsonObject p{{"param_name", name}, {"param_value", value}};
    if (array)
        p.insert("param_type", "array");
    return p;
}

QJsonObject block(const char* type, const char* name, const char* source, const QString& pin, const QJsonArray& parameters,
                  const char* dataType = "energy")
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", dataType}, {"input_count", QString(type) == "source" ? 0 : 1},
                       {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}}, {"parameters", parameters}};
}

QJsonObject config(const QString& storage, const QJsonArray& hardware, const QJsonArray& chain)
{
    const QJsonObject filterChain{{"enable", true}, {"name", "analysis"}, {"chain", chain}};
    return QJsonObject{{"storage", QJsonObject{{"file_path", storage}}}, {"Hardware", hardware},
                       {"processing", QJsonArray{QJsonObject{{"filter_chain", QJsonArray{filterChain}}}}}};
}

// A simulated 16-channel board with 8 two-ended elements at a modest rate (so sanitizer
// builds keep up): list events feed the time-of-flight and image blocks, pairs the position block.
QJsonObject analysisConfig(const QString& storage)
{
    auto endpoint = [](const char* name, const char* type) {
        return QJsonObject{{"name", name}, {"path", QStringLiteral("endpoints\\") + name}, {"enable", true}, {"type", type}};
    };
    const QJsonObject board{{"enable", true}, {"id", "1"}, {"board_name", "digitizer"}, {"board_family", "VRAXDig2"},
                            {"board_plugin", "libVRAXDig2Sim"}, {"board_connection_string", "sim:seed=7;channels=16;pairs=8;rate=200;autostart=1"},
                            {"endpoints", QJsonArray{endpoint("list", "energy_sci_u32"), endpoint("pairs", "energy_pair")}}};
    QJsonArray positions, partners;
    for (int channel = 0; channel < 16; ++channel) {
        positions.append(channel / 2);
        partners.append(channel ^ 1);
    }
    QJsonObject tee = block("tee", "list_tee", "list_sorter", "0", {});
    tee.insert("output_count", 2);
    return config(storage, {board}, {
        block("source", "list_source", "digitizer", "endpoints\\list", {parameter("download_interval", 10)}),
        block("time_sorting", "list_sorter", "list_source", "0", {}), tee,
        block("tof_histogram", "tof", "list_tee", "0", {parameter("bin_number", 3600), parameter("ch_number", 16), parameter("binning", 100000000)}),
        block("image", "image", "list_tee", "1", {parameter("x_positions", QJsonArray{"A", "B", "C", "D"}, true),
                parameter("y_positions", QJsonArray{"1", "2", "3", "4"}, true)}),
        block("source", "pair_source", "digitizer", "endpoints\\pairs", {parameter("download_interval", 10)}, "energy_pair"),
        block("time_sorting", "pair_sorter", "pair_source", "0", {}),
        block("position", "position", "pair_sorter", "0", {parameter("correlated_channels", partners, true),
                parameter("positions", positions, true), parameter("y_positions", 128)})});
}

// Asks one block; args is the JSON text of the argument list.
QString ask(WsClient& client, const QString& name, const QString& args)
{
    return client.request(QStringLiteral(R"({"path":"processing/0/filter_chain/analysis/chain/%1","args":%2})").arg(name, args));
}

// The counts of a {"data":[[...],...]} or [{"data":[...]},...] reply, one list per row.
QList<QJsonArray> rowsOf(const QString& reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8());
    QList<QJsonArray> rows;
    for (const QJsonValue& row : document.isObject() ? document.object().value("data").toArray() : document.array())
        rows.append(document.isObject() ? row.toArray() : row.toObject().value("data").toArray());
    return rows;
}

qint64 total(const QList<QJsonArray>& rows)
{
    qint64 sum = 0;
    for (const QJsonArray& row : rows)
        for (const QJsonValue& count : row)
            sum += count.toInt();
    return sum;
}
}  // namespace

class TestAnalysisBlocksServer : public QObject {
    Q_OBJECT
private slots:
    void eachViewCountsLiveEventsOnceRunning()
    {
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QVERIFY(server.start(server.writeConfig(analysisConfig(server.storagePath()))));
        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        struct View { const char* block; const char* getData; int rows, columns; };
        const View views[] = {{"tof", R"([{"cmd":"get_data","channels":[15,0,15]}])", 2, 3600},
                              {"image", R"([{"cmd":"get_data","source":"cumulative"}])", 4, 4},
                              {"position", R"([{"cmd":"get_data","source":"heatmap"}])", 128, 8}};
        for (const View& view : views) {
            QCOMPARE(ask(client, view.block, R"([{"cmd":"data_get_status"}])"), QStringLiteral(R"([{"response": true, "status":"idle"}])"));
            QCOMPARE(total(rowsOf(ask(client, view.block, view.getData))), qint64(0));
            QCOMPARE(ask(client, view.block, R"([{"cmd":"run_control","status":"freerun"}])"), QStringLiteral(R"([{"response": true}])"));
            QCOMPARE(ask(client, view.block, R"([{"cmd":"data_get_status"}])"), QStringLiteral(R"([{"response": true, "status":"freerun"}])"));
        }
        for (const View& view : views) {
            QList<QJsonArray> rows;
            QVERIFY2(QTest::qWaitFor([&] { return total(rows = rowsOf(ask(client, view.block, view.getData))) > 0; }, 30000), view.block);
            QCOMPARE(rows.size(), view.rows);
            QCOMPARE(rows.first().size(), view.columns);
        }
        // Scatter points pair up within the layout; a read consumes them, so poll without reading twice.
        QJsonArray x, y;
        QVERIFY(QTest::qWaitFor([&] {
            const QJsonArray data = QJsonDocument::fromJson(ask(client, "position",
                    R"([{"cmd":"get_data","source":"scatter"}])").toUtf8()).object().value("data").toArray();
            x = data.at(0).toObject().value("x").toArray();
            y = data.at(1).toObject().value("y").toArray();
            return !x.isEmpty();
        }, 30000));
        QCOMPARE(y.size(), x.size());
        for (int i = 0; i < x.size(); ++i)
            QVERIFY(x.at(i).toDouble() >= 0 && x.at(i).toDouble() <= 7 && y.at(i).toDouble() >= 0 && y.at(i).toDouble() <= 1);
        QCOMPARE(server.terminate(), 0);
        // In sanitizer builds the server reports its findings on its console.
        QVERIFY2(!server.output().contains("Sanitizer") && !server.output().contains("runtime error"), qPrintable(server.output()));
    }

    void startUpRefusesAnUnusableEntry()
    {
        ServerProcess server;
        const QJsonObject spectrum{{"block_type", "spectrum"}, {"name", "view"}, {"data_type", "energy"},
                {"parameters", QJsonArray{parameter("ch_number", 16)}}};
        QVERIFY(server.start(server.writeConfig(config(server.storagePath(), {QJsonObject{{"enable", false}}}, {spectrum})), false));
        QCOMPARE(server.waitForExit(), 1);
        const QStringList named = server.outputLines().filter("\"analysis\"").filter("\"view\"").filter(R"(key "bin_number": must be at least 1 (got 0))");
        QVERIFY2(named.size() == 1, qPrintable(server.output()));
        QVERIFY(!server.output().contains("QUARIX IS STARTED AND READY"));
    }
};

QTEST_GUILESS_MAIN(TestAnalysisBlocksServer)
#include "tst_analysis_blocks_server.moc"
