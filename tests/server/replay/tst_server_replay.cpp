// A run recorded from the simulated board, replayed through the server into a
// spectrum, gives the same spectrum as the live one. Both runs use the same
// chain: source (its calibration expression on energy_raw gives the
// calibrated energy, which the files do not hold) -> time sorting -> tee ->
// spectrum (raw energy x gain) + data dumper. The sorter's order buffer holds
// more events than a run has, so it never refuses any.
#include "server_process.h"
#include "ws_client.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <cstdio>

namespace {
const QString kTrue = QStringLiteral("[{\"response\": true}]");
const QString kSpectrum = QStringLiteral("processing/0/filter_chain/c/chain/energies");

QJsonArray parameters(const QVariantMap& values)
{
    QJsonArray list;
    for (auto it = values.begin(); it != values.end(); ++it)
        list.append(QJsonObject{{"param_name", it.key()}, {"param_value", QJsonValue::fromVariant(it.value())}});
    return list;
}

QJsonObject block(const char* type, const char* name, const QString& source, const QString& pin, const QVariantMap& values = {})
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", "energy"}, {"input_count", 1},
                       {"output_count", 2}, {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}},
                       {"parameters", parameters(values)}};
}

// One board "det" of the plugin with its list endpoint, and the chain. The
// simulated board's event rate per channel (`simRate`) is applied at start-up
// and again whenever the configuration file changes.
QJsonObject config(const QString& storage, const char* plugin, const QString& connection, const char* simRate = nullptr)
{
    QJsonArray configs, commands;
    if (simRate)
        configs.append(QJsonObject{{"elements", QJsonArray{QJsonObject{{"name", "rate"}, {"path", "sim\\rate"}, {"value_type", "list"},
                                                                       {"value", simRate}, {"direct_apply", true}}}}});
    for (const char* verb : {"start", "stop", "reset"})
        commands.append(QJsonObject{{"path", QString("endpoints\\list\\") + verb}, {"command_type", verb}, {"endpoint_type", "list"}});
    const QJsonObject board{{"enable", true}, {"id", "1"}, {"board_name", "det"}, {"board_type", "digitizer"},
                            {"board_family", "VRAXDig2"}, {"board_plugin", plugin}, {"board_connection_string", connection},
                            {"configs", configs}, {"commands", commands},
                            {"endpoints", QJsonArray{QJsonObject{{"name", "list"}, {"path", "endpoints\\list"}, {"enable", true}, {"type", "energy_sci_u32"}}}}};
    const QJsonArray chain{
        block("source", "ev", "det", "endpoints\\list", {{"download_interval", 5}, {"energy_calibration_expression", "x*0.25+1.5"}}),
        block("time_sorting", "sorter", "ev", "0", {{"order_buffer_limit", 100000}}), block("tee", "split", "sorter", "0"),
        block("spectrum", "energies", "split", "0", {{"bin_number", 4096}, {"ch_number", 4}, {"gain", 0.25}}),
        block("dumper", "list", "split", "1")};
    return QJsonObject{
        {"storage", QJsonObject{{"file_path", storage}, {"events_per_file", 3000}, {"format", "BIN"}, {"wavedump_time_interval", 1000},
                                {"enable_list", true}, {"enable_mcs", false}, {"enable_wave", false}}},
        {"Hardware", QJsonArray{board}},
        {"processing", QJsonArray{QJsonObject{{"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "c"}, {"chain", chain}}}}}}}};
}

// The events the source handed on, then those each block downstream took and
// handed on (the tee's per output).
QList<qint64> flow(WsClient& commands)
{
    QMap<QString, QJsonObject> blocks;
    for (const QJsonValue& b : QJsonDocument::fromJson(commands.request("{\"cmd\":\"get_statistics\"}").toUtf8()).array())
        blocks.insert(b["name"].toString(), b.toObject());
    const auto count = [&](const char* name, const char* key) { return qint64(blocks[name][key].toDouble()); };
    return {count("ev", "events_out"), count("sorter", "events_in"), count("sorter", "events_out"), count("split", "events_in"),
            count("split", "events_out") / 2, count("energies", "events_in"), count("list", "events_in")};
}

// The events the source handed on, once every block took all of them and
// nothing moved since the previous look; else -1.
qint64 settled(WsClient& commands, QList<qint64>& previous)
{
    const QList<qint64> now = flow(commands);
    const bool done = now == previous && now.count(now.first()) == now.size();
    previous = now;
    return done ? now.first() : -1;
}

QString askSpectrum(WsClient& query, const QJsonObject& command)
{
    const QJsonObject message{{"path", kSpectrum}, {"args", QJsonArray{command}}};
    return query.request(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}
const QJsonObject kFreerun{{"cmd", "run_control"}, {"status", "freerun"}};
const QJsonObject kGetData{{"cmd", "get_data"}, {"channels", QJsonArray{0, 1, 2, 3}}};
}  // namespace

class TestServerReplay : public QObject {
    Q_OBJECT
private slots:
    void replayedSpectrumEqualsTheLiveOne()
    {
        // Live: the board delivers nothing (one event in days) while the
        // spectrum is set counting and the run starts; then the configuration
        // file raises the rate, and the source is stopped after some events.
        ServerProcess live;
        QVERIFY(live.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        const QString path = live.writeConfig(config(live.storagePath(), "libVRAXDig2Sim", "sim:seed=11;channels=4", "0.000001"));
        QVERIFY(live.start(path));
        WsClient commands, query;
        QVERIFY(commands.connectTo("commands") && query.connectTo("query_by_json"));
        QCOMPARE(askSpectrum(query, kFreerun), kTrue);
        QCOMPARE(commands.request("{\"cmd\":\"start_dump\",\"run_id\":\"r\"}"), kTrue);
        const QString next = live.writeConfig(config(live.storagePath(), "libVRAXDig2Sim", "sim:seed=11;channels=4", "2000"), "next.json");
        QCOMPARE(std::rename(QFile::encodeName(next).constData(), QFile::encodeName(path).constData()), 0);
        QTRY_VERIFY_WITH_TIMEOUT(flow(commands).first() >= 7000, 30000);
        QCOMPARE(commands.request("{\"cmd\":\"stop\",\"endpoint\":\"ev\"}"), kTrue);
        QList<qint64> previous;
        qint64 events = -1;
        QTRY_VERIFY_WITH_TIMEOUT((events = settled(commands, previous)) > 0, 30000);
        const QString recorded = askSpectrum(query, kGetData);
        QCOMPARE(commands.request("{\"cmd\":\"stop_dump\"}"), kTrue);
        QCOMPARE(settled(commands, previous), events);
        QCOMPARE(live.terminate(), 0);

        // The run spans several files, played in index order.
        const QString run = live.storagePath() + "/r";
        QVERIFY2(QDir(run).entryList({"list_*.bin"}, QDir::Files).size() >= 2, qPrintable(QDir(run).entryList().join(' ') + '\n' + live.output()));

        // Replay, fast and once: played at start-up while the spectrum is idle
        // (the source hands on exactly the recorded events), then again from
        // the start by "reset" once the spectrum counts.
        ServerProcess replay;
        QVERIFY(replay.addPlugin(QStringLiteral(QUARIX_REPLAY_PLUGIN)));
        QVERIFY(replay.start(replay.writeConfig(config(replay.storagePath(), "libVRAXDig2Replay", "replay:run=" + run + ";block=list;pace=fast"))));
        WsClient replayCommands, replayQuery;
        QVERIFY(replayCommands.connectTo("commands") && replayQuery.connectTo("query_by_json"));
        previous.clear();
        QTRY_COMPARE_WITH_TIMEOUT(settled(replayCommands, previous), events, 30000);
        QCOMPARE(askSpectrum(replayQuery, kFreerun), kTrue);
        QCOMPARE(replayCommands.request("{\"cmd\":\"reset\"}"), kTrue);
        QTRY_COMPARE_WITH_TIMEOUT(settled(replayCommands, previous), 2 * events, 30000);
        QCOMPARE(askSpectrum(replayQuery, kGetData), recorded);
        QCOMPARE(replay.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestServerReplay)
#include "tst_server_replay.moc"
