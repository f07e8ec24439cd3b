// The accumulating blocks in the real server, fed by the simulated board and
// read by a real WebSocket client through "query_by_json", and the entries
// the start-up must refuse.
#include "server_process.h"
#include "ws_client.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");
const QString kTrue = QStringLiteral(R"([{"response": true}])");

QString request(const QString& path, const QJsonArray& args)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{"path", path}, {"args", args}}).toJson(QJsonDocument::Compact));
}

QJsonObject parameter(const char* name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

QJsonObject arrayParameter(const char* name, const QJsonArray& values)
{
    return QJsonObject{{"param_name", name}, {"param_type", "array"}, {"param_value", values}};
}

QJsonObject blockEntry(const char* type, const char* name, const char* dataType, const char* source,
                       const QString& pin, const QJsonArray& parameters)
{
    return QJsonObject{{"block_type", type},
                       {"name", name},
                       {"data_type", dataType},
                       {"input_count", QString(type) == "source" ? 0 : 1},
                       {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}},
                       {"parameters", parameters}};
}

// A simulated 16-channel board with 8 two-ended elements at a modest rate (so
// that sanitizer builds keep up), its list events feeding the spectrum,
// time-of-flight and image blocks and its pairs feeding the position block.
QJsonObject analysisConfig(const QString& storage)
{
    const QJsonObject board{
        {"enable", true},
        {"id", "1"},
        {"board_name", "digitizer"},
        {"board_family", "VRAXDig2"},
        {"board_plugin", "libVRAXDig2Sim"},
        {"board_connection_string", "sim:seed=7;channels=16;pairs=8;rate=200;autostart=1"},
        {"endpoints", QJsonArray{QJsonObject{{"name", "list"}, {"path", "endpoints\\list"}, {"enable", true},
                                             {"type", "energy_sci_u32"}},
                                 QJsonObject{{"name", "pairs"}, {"path", "endpoints\\pairs"}, {"enable", true},
                                             {"type", "energy_pair"}}}}};
    QJsonArray positions, partners;
    for (int channel = 0; channel < 16; ++channel) {
        positions.append(channel / 2);
        partners.append(channel ^ 1);
    }
    const QJsonArray chain{
        blockEntry("source", "list_source", "energy", "digitizer", "endpoints\\list",
                   {parameter("download_interval", 10)}),
        blockEntry("time_sorting", "list_sorter", "energy", "list_source", "0", {}),
        QJsonObject{{"block_type", "tee"}, {"name", "list_tee"}, {"data_type", "energy"}, {"input_count", 1},
                    {"output_count", 3}, {"sources", QJsonArray{QJsonObject{{"source", "list_sorter"}, {"pin", "0"}}}}},
        blockEntry("spectrum", "spectrum", "energy", "list_tee", "0",
                   {parameter("bin_number", 4096), parameter("ch_number", 16), parameter("gain", 0.25)}),
        blockEntry("tof_histogram", "time_histogram", "energy", "list_tee", "1",
                   {parameter("bin_number", 3600), parameter("ch_number", 16), parameter("binning", 100000000)}),
        blockEntry("image", "image", "energy", "list_tee", "2",
                   {arrayParameter("x_positions", {"A", "B", "C", "D"}),
                    arrayParameter("y_positions", {"1", "2", "3", "4"})}),
        blockEntry("source", "pair_source", "energy_pair", "digitizer", "endpoints\\pairs",
                   {parameter("download_interval", 10)}),
        blockEntry("time_sorting", "pair_sorter", "energy", "pair_source", "0", {}),
        blockEntry("position", "position", "energy", "pair_sorter", "0",
                   {arrayParameter("correlated_channels", partners), arrayParameter("positions", positions),
                    parameter("y_positions", 128)}),
    };
    return QJsonObject{
        {"storage", QJsonObject{{"file_path", storage}}},
        {"Hardware", QJsonArray{board}},
        {"processing",
         QJsonArray{QJsonObject{{"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "analysis"},
                                                                         {"chain", chain}}}}}}}};
}

// Rows of a {"data":[[...],...]} reply, or entries of a [{"data":[...]},...] reply.
QList<QJsonArray> rowsOf(const QString& reply)
{
    const QJsonDocument document = QJsonDocument::fromJson(reply.toUtf8());
    QList<QJsonArray> rows;
    if (document.isObject()) {
        for (const QJsonValue& row : document.object().value("data").toArray())
            rows.append(row.toArray());
    } else {
        for (const QJsonValue& entry : document.array())
            rows.append(entry.toObject().value("data").toArray());
    }
    return rows;
}

qint64 total(const QList<QJsonArray>& rows)
{
    qint64 sum = 0;
    for (const QJsonArray& row : rows) {
        for (const QJsonValue& count : row)
            sum += count.toInt();
    }
    return sum;
}
}  // namespace

class TestAnalysisBlocksServer : public QObject {
    Q_OBJECT
private:
    ServerProcess m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QVERIFY(m_server.start(m_server.writeConfig(analysisConfig(m_server.storagePath()))));
    }

    void cleanupTestCase()
    {
        const int status = m_server.terminate();
        QVERIFY2(status == 0, qPrintable(m_server.output().right(4000)));
        // In sanitizer builds the server reports its findings on its console.
        QVERIFY2(!m_server.output().contains(QStringLiteral("Sanitizer")), qPrintable(m_server.output()));
        QVERIFY2(!m_server.output().contains(QStringLiteral("runtime error")), qPrintable(m_server.output()));
    }

    void eachViewCountsLiveEventsOnceRunning_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonArray>("getData");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");

        QTest::newRow("spectrum") << "processing/0/filter_chain/analysis/chain/spectrum"
                                  << QJsonArray{QJsonObject{{"cmd", "get_data"}, {"channels", QJsonArray{3, 1, 3}}}}
                                  << 2 << 4096;
        QTest::newRow("time-of-flight") << "processing/0/filter_chain/analysis/chain/time_histogram"
                                        << QJsonArray{QJsonObject{{"cmd", "get_data"}, {"channels", QJsonArray{0, 15}}}}
                                        << 2 << 3600;
        QTest::newRow("image, cumulative") << "processing/0/filter_chain/analysis/chain/image"
                                           << QJsonArray{QJsonObject{{"cmd", "get_data"}, {"source", "cumulative"}}}
                                           << 4 << 4;
        QTest::newRow("position heat map") << "processing/0/filter_chain/analysis/chain/position"
                                           << QJsonArray{QJsonObject{{"cmd", "get_data"}, {"source", "heatmap"}}}
                                           << 128 << 8;
    }

    void eachViewCountsLiveEventsOnceRunning()
    {
        QFETCH(QString, path);
        QFETCH(QJsonArray, getData);
        QFETCH(int, rows);
        QFETCH(int, columns);

        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "data_get_status"}}})), kIdle);
        QCOMPARE(total(rowsOf(client.request(request(path, getData)))), qint64(0));

        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "run_control"}, {"status", "freerun"}}})), kTrue);
        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "data_get_status"}}})), kFreerun);
        QList<QJsonArray> view;
        const bool counted =
            QTest::qWaitFor([&] { return total(view = rowsOf(client.request(request(path, getData)))) > 0; }, 30000);
        QVERIFY(counted);
        QCOMPARE(view.size(), rows);
        QCOMPARE(view.first().size(), columns);

        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "run_control"}, {"status", "idle"}}})), kTrue);
        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "data_get_status"}}})), kIdle);
    }

    void scatterPointsPairUp()
    {
        const QString path = QStringLiteral("processing/0/filter_chain/analysis/chain/position");
        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "run_control"}, {"status", "freerun"}}})), kTrue);
        // A scatter read consumes the frames: poll without reading twice.
        QJsonArray x, y;
        const bool found = QTest::qWaitFor(
            [&] {
                const QString reply =
                    client.request(request(path, {QJsonObject{{"cmd", "get_data"}, {"source", "scatter"}}}));
                const QJsonArray data = QJsonDocument::fromJson(reply.toUtf8()).object().value("data").toArray();
                x = data.at(0).toObject().value("x").toArray();
                y = data.at(1).toObject().value("y").toArray();
                return !x.isEmpty();
            },
            30000);
        QVERIFY(found);
        QCOMPARE(y.size(), x.size());
        for (int i = 0; i < x.size(); ++i) {
            QVERIFY(x.at(i).toDouble() >= 0 && x.at(i).toDouble() <= 7);
            QVERIFY(y.at(i).toDouble() >= 0 && y.at(i).toDouble() <= 1);
        }
        QCOMPARE(client.request(request(path, {QJsonObject{{"cmd", "run_control"}, {"status", "idle"}}})), kTrue);
    }

    void startUpRefusesAnUnusableEntry_data()
    {
        QTest::addColumn<QJsonObject>("block");
        QTest::addColumn<QString>("problem");

        auto parameter = [](const char* name, const QJsonValue& value) {
            return QJsonObject{{"param_name", name}, {"param_value", value}};
        };
        QTest::newRow("spectrum without bins")
            << QJsonObject{{"block_type", "spectrum"}, {"parameters", QJsonArray{parameter("ch_number", 16)}}}
            << R"(key "bin_number": must be at least 1 (got 0))";
        QTest::newRow("time-of-flight without channels")
            << QJsonObject{{"block_type", "tof_histogram"}, {"parameters", QJsonArray{parameter("bin_number", 16)}}}
            << R"(key "ch_number": must be at least 1 (got 0))";
        QTest::newRow("position without ratio bins")
            << QJsonObject{{"block_type", "position"},
                           {"parameters", QJsonArray{QJsonObject{{"param_name", "positions"}, {"param_type", "array"},
                                                                 {"param_value", QJsonArray{0, 0}}},
                                                     parameter("y_positions", 0)}}}
            << R"(key "y_positions": must be at least 1 (got 0))";
        QTest::newRow("image without columns") << QJsonObject{{"block_type", "image"}}
                                               << R"(key "x_positions": must list at least one column)";
    }

    void startUpRefusesAnUnusableEntry()
    {
        QFETCH(QJsonObject, block);
        QFETCH(QString, problem);

        ServerProcess server;
        block.insert("name", "view");
        block.insert("data_type", "energy");
        const QJsonObject config{
            {"storage", QJsonObject{{"file_path", server.storagePath()}}},
            {"Hardware", QJsonArray{QJsonObject{{"enable", false}}}},
            {"processing", QJsonArray{QJsonObject{
                               {"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "analysis"},
                                                                       {"chain", QJsonArray{block}}}}}}}}};
        QVERIFY(server.start(server.writeConfig(config), false));
        QCOMPARE(server.waitForExit(), 1);
        bool named = false;
        for (const QString& line : server.outputLines())
            named = named || (line.contains("\"analysis\"") && line.contains("\"view\"") && line.contains(problem));
        QVERIFY2(named, qPrintable(server.output()));
        QVERIFY(!server.output().contains("QUARIX IS STARTED AND READY"));
    }
};

QTEST_GUILESS_MAIN(TestAnalysisBlocksServer)
#include "tst_analysis_blocks_server.moc"
