// The accumulating blocks in the real server: exact events from the scripted
// board, counted by the time-of-flight, image and position blocks and read by
// a real WebSocket client through "query_by_json", reply text for reply text;
// and an entry the start-up refuses.
#include "script_plugin_fixture.h"
#include "server_process.h"
#include "ws_client.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

namespace {
const QString kList = QStringLiteral("endpoints\\list");
const QString kPairs = QStringLiteral("endpoints\\pairs");
const QString kTrue = QStringLiteral(R"([{"response": true}])");

// The board gets its endpoints' reset commands once at start-up and once for
// the test's "reset": the scripted data waits for the second, when every block
// already counts.
constexpr int kResetsUntilCounting = 2;

// {header0, header1, timestamp, channel, energy_raw, ...}. With binning 10 and
// four bins: 14 → bin 1, 15 and 25 → bins 2 and 3 (halves away from zero),
// 5000 → bin 500, kept in the last bin 3; 3e10 → 3e9, past 32 bits, not
// counted. Channels 4 and 6 lie past the two histograms and count in the last
// one. The image of three columns and two rows has channel 4 at row 1
// column 1; channel 6 (row 2) is outside it.
const QVector<scriptplugin::Energy> kListEvents{
    {0, 0, 14, 0, 1}, {0, 0, 15, 0, 1}, {0, 0, 30000000000, 0, 1}, {0, 0, 25, 1, 1},
    {0, 0, 5000, 1, 1}, {0, 0, 4, 4, 1}, {0, 0, 6, 6, 1}};

// {header0, header1, timestamp, pair, channel 2p energy, channel 2p+1 energy}:
// the ratio is the first over the sum; the row is 4 × ratio rounded, at most 3.
// Sums must lie within 100 … 1000.
const QVector<scriptplugin::EnergyPair> kPairEvents{
    {0, 0, 10, 0, 300, 100},   // ratio 0.75, row 3, column 0
    {0, 0, 20, 1, 100, 700},   // ratio 0.125, row 0.5 → 1, column 1
    {0, 0, 30, 1, 500, 0},     // ratio 1, row 4 → 3, column 1
    {0, 0, 40, 0, 900, 200},   // sum 1100: discarded
    {0, 0, 50, 1, 50, 40}};    // sum 90: discarded

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

// List events go to the time-of-flight and image blocks, pairs to the position block.
QJsonObject analysisConfig(const QString& storage, const QString& connection)
{
    const auto endpoint = [](const QString& path) {
        return QJsonObject{{"name", path.section('\\', 1)}, {"path", path}, {"enable", true}};
    };
    const auto reset = [](const QString& path) {
        return QJsonObject{{"name", path + " reset"}, {"path", path + "\\reset"}, {"command_type", "reset"},
                           {"endpoint_type", path.section('\\', 1)}};
    };
    const QJsonObject board{{"enable", true}, {"id", "1"}, {"board_name", "B1"}, {"board_type", "digitizer"},
                            {"board_plugin", "libVRAXDig2Script"}, {"board_connection_string", connection},
                            {"endpoints", QJsonArray{endpoint(kList), endpoint(kPairs)}},
                            {"commands", QJsonArray{reset(kList), reset(kPairs)}}};
    QJsonObject tee = block("tee", "list_tee", "list_source", "0", {});
    tee.insert("output_count", 2);
    return config(storage, {board}, {
        block("source", "list_source", "B1", kList, {}), tee,
        block("tof_histogram", "tof", "list_tee", "0", {parameter("bin_number", 4), parameter("ch_number", 2), parameter("binning", 10)}),
        block("image", "image", "list_tee", "1", {parameter("x_positions", QJsonArray{"A", "B", "C"}, true),
                parameter("y_positions", QJsonArray{"1", "2"}, true)}),
        block("source", "pair_source", "B1", kPairs, {}, "energy_pair"),
        block("position", "position", "pair_source", "0", {parameter("correlated_channels", QJsonArray{1, 0, 3, 2}, true),
                parameter("positions", QJsonArray{0, 0, 1, 1}, true), parameter("y_positions", 4),
                parameter("energy_cut_min", 100), parameter("energy_cut_max", 1000)})});
}

// Asks one block; args is the JSON text of the argument list.
QString ask(WsClient& client, const QString& name, const QString& args)
{
    return client.request(QStringLiteral(R"({"path":"processing/0/filter_chain/analysis/chain/%1","args":%2})").arg(name, args));
}
}  // namespace

class TestAnalysisBlocksServer : public QObject {
    Q_OBJECT
private slots:
    void scriptedEventsAreCountedByTheirBlocksRules()
    {
        ServerProcess server;
        ScriptPluginFixture board{server.dir()};
        board.addEnergyBatch(kList, kListEvents).holdLastBatchUntilCommand(kList, kList + "\\reset", kResetsUntilCounting)
             .addPairBatch(kPairs, kPairEvents).holdLastBatchUntilCommand(kPairs, kPairs + "\\reset", kResetsUntilCounting);
        QVERIFY(board.write());
        QVERIFY(server.addPlugin(ScriptPluginFixture::pluginPath()));
        QVERIFY(server.start(server.writeConfig(analysisConfig(server.storagePath(), board.connectionString()))));

        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        for (const char* name : {"tof", "image", "position"}) {
            QCOMPARE(ask(client, name, R"([{"cmd":"data_get_status"}])"), QStringLiteral(R"([{"response": true, "status":"idle"}])"));
            QCOMPARE(ask(client, name, R"([{"cmd":"run_control","status":"freerun"}])"), kTrue);
            QCOMPARE(ask(client, name, R"([{"cmd":"data_get_status"}])"), QStringLiteral(R"([{"response": true, "status":"freerun"}])"));
        }
        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        QCOMPARE(commands.request(R"({"cmd":"reset"})"), kTrue);
        QTRY_COMPARE_WITH_TIMEOUT(board.paths("FreePointer").size(), 2, 10000);

        QTRY_COMPARE(ask(client, "tof", R"([{"cmd":"get_data","channels":[1,0,1]}])"),
                     QString(R"([{"data":[0,1,1,0]},{"data":[1,1,0,2]}])"));
        QTRY_COMPARE(ask(client, "image", R"([{"cmd":"get_data","source":"cumulative"}])"), QString(R"({"data":[[3,2,0],[0,1,0]]})"));
        // The immediate image is cleared by its read; the cumulative one is not.
        QCOMPARE(ask(client, "image", R"([{"cmd":"get_data","source":"immediate"}])"), QStringLiteral(R"({"data":[[3,2,0],[0,1,0]]})"));
        QCOMPARE(ask(client, "image", R"([{"cmd":"get_data","source":"immediate"}])"), QStringLiteral(R"({"data":[[0,0,0],[0,0,0]]})"));
        QCOMPARE(ask(client, "image", R"([{"cmd":"get_data","source":"cumulative"}])"), QStringLiteral(R"({"data":[[3,2,0],[0,1,0]]})"));

        // The discarded pairs come last: once both are reported, every point is in its frames.
        QTRY_COMPARE(server.outputLines().filter("Discrding energy").size(), 2);
        QCOMPARE(ask(client, "position", R"([{"cmd":"get_data","source":"heatmap"}])"), QStringLiteral(R"({"data":[[0,0],[0,1],[0,0],[1,1]]})"));
        // Newest first, each point once for each of the two frames its packet adds; a read consumes them.
        QCOMPARE(ask(client, "position", R"([{"cmd":"get_data","source":"scatter"}])"),
                 QStringLiteral(R"({"data":[{"x":[1,1,1,1,0,0]},{"y":[1,1,0.125,0.125,0.75,0.75]}]})"));
        QCOMPARE(ask(client, "position", R"([{"cmd":"get_data","source":"scatter"}])"), QStringLiteral(R"({"data":[{"x":[]},{"y":[]}]})"));

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
