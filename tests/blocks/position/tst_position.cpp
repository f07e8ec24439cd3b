// The position block as a client sees it: coincidence packets in, heat map
// and scatter replies out.
#include "accumulating_block_harness.h"
#include "blocks/position/position.h"

#include <QtTest>

#include <mutex>

using namespace analysis_test;
using PositionHarness = BlockHarness<Position>;

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");
const QString kNoPoints = QStringLiteral(R"({"data":[{"x":[]},{"y":[]}]})");

QJsonObject positionEntry(const QJsonArray& positions, const QJsonArray& partners, const QJsonArray& more = {})
{
    QJsonArray parameters{arrayParameter("positions", positions), arrayParameter("correlated_channels", partners)};
    for (const QJsonValue& p : more)
        parameters.append(p);
    return blockEntry("pos", parameters);
}

QString getData(const QString& source)
{
    return request(QJsonArray{QJsonObject{{"cmd", "get_data"}}, QJsonObject{{"source", source}}});
}

// Heat map cells holding a count, as "row,column" once per count.
QStringList countedCells(const QString& reply)
{
    QStringList cells;
    const QJsonArray rows = QJsonDocument::fromJson(reply.toUtf8()).object().value("data").toArray();
    for (int row = 0; row < rows.size(); ++row) {
        const QJsonArray columns = rows.at(row).toArray();
        for (int column = 0; column < columns.size(); ++column) {
            for (int n = 0; n < columns.at(column).toInt(); ++n)
                cells.append(QStringLiteral("%1,%2").arg(row).arg(column));
        }
    }
    return cells;
}

// Collects the log lines written while it exists, from any thread.
class LogCapture {
public:
    LogCapture()
    {
        s_current = this;
        m_previous = qInstallMessageHandler(&LogCapture::handle);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_current = nullptr;
    }
    int count(const QString& line) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines.count(line);
    }

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        std::lock_guard<std::mutex> lock(s_current->m_mutex);
        s_current->m_lines.append(text);
    }

    static LogCapture* s_current;
    mutable std::mutex m_mutex;
    QStringList m_lines;
    QtMessageHandler m_previous;
};
LogCapture* LogCapture::s_current = nullptr;
}  // namespace

class TestPosition : public QObject {
    Q_OBJECT
private slots:
    void countsTheChargeDivisionRatio();
    void takesTheRatioFromTheLowerChannelInEitherOrder_data();
    void takesTheRatioFromTheLowerChannelInEitherOrder();
    void rowIsTheRatioBinRoundedHalfAwayFromZero_data();
    void rowIsTheRatioBinRoundedHalfAwayFromZero();
    void ratioOneFallsInTheLastRow();
    void discardsPairsOutsideTheCuts_data();
    void discardsPairsOutsideTheCuts();
    void ignoresPacketsWithARepeatedChannel();
    void scatterListsAPointOncePerFrameAddedAfterIt_data();
    void scatterListsAPointOncePerFrameAddedAfterIt();
    void scatterListsNewestFrameFirst();
    void scatterReadConsumesTheFrames();
    void keepsAtMost101Frames();
    void heatmapCountsEveryPairWhileAClientReads();
    void freshBlockIsIdleAndIgnoresPackets();
    void resetZeroesTheHeatmapAndDropsTheFrames();
    void writesTheHeatmapRowByRow();
    void answersNothingToUnknownViews_data();
    void answersNothingToUnknownViews();
    void refusesUnusableLayouts_data();
    void refusesUnusableLayouts();
};

void TestPosition::countsTheChargeDivisionRatio()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}, {parameter("y_positions", 256)}));
    position.ask(runControl("freerun"));
    position.push({{0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());

    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"192,0"});
    // One frame per payload of the packet, each holding the point.
    QCOMPARE(position.ask(getData("scatter")), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})"));
}

void TestPosition::takesTheRatioFromTheLowerChannelInEitherOrder_data()
{
    QTest::addColumn<bool>("lowerFirst");
    QTest::addColumn<QString>("scatter");
    QTest::addColumn<QStringList>("cells");

    // Channel 0 sits at column 1, channel 1 at column 0: x comes from the earlier payload.
    QTest::newRow("lower channel first") << true << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})"
                                         << QStringList{"192,1"};
    QTest::newRow("higher channel first") << false << R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})"
                                          << QStringList{"192,0"};
}

void TestPosition::takesTheRatioFromTheLowerChannelInEitherOrder()
{
    QFETCH(bool, lowerFirst);
    QFETCH(QString, scatter);
    QFETCH(QStringList, cells);

    PositionHarness position(positionEntry({1, 0, 0, 0}, {1, 0}));
    position.ask(runControl("freerun"));
    if (lowerFirst)
        position.push({{0, 300}, {1, 100}});
    else
        position.push({{1, 100}, {0, 300}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("scatter")), scatter);
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), cells);
}

void TestPosition::rowIsTheRatioBinRoundedHalfAwayFromZero_data()
{
    QTest::addColumn<uint>("lowEnergy");
    QTest::addColumn<uint>("highEnergy");
    QTest::addColumn<QString>("heatmap");   // four rows, one column

    QTest::newRow("ratio 0.375: 1.5 rounds to row 2") << 3u << 5u << R"({"data":[[0],[0],[1],[0]]})";
    QTest::newRow("ratio 0.125: 0.5 rounds to row 1") << 1u << 7u << R"({"data":[[0],[1],[0],[0]]})";
    QTest::newRow("ratio 0.3: 1.2 rounds to row 1") << 3u << 7u << R"({"data":[[0],[1],[0],[0]]})";
    QTest::newRow("ratio 0 is row 0") << 0u << 9u << R"({"data":[[1],[0],[0],[0]]})";
    QTest::newRow("ratio 1 is clamped to the last row") << 9u << 0u << R"({"data":[[0],[0],[0],[1]]})";
}

void TestPosition::rowIsTheRatioBinRoundedHalfAwayFromZero()
{
    QFETCH(uint, lowEnergy);
    QFETCH(uint, highEnergy);
    QFETCH(QString, heatmap);

    PositionHarness position(positionEntry({0, 0}, {1, 0}, {parameter("y_positions", 4)}));
    position.ask(runControl("freerun"));
    position.push({{1, highEnergy}, {0, lowEnergy}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("heatmap")), heatmap);
}

void TestPosition::ratioOneFallsInTheLastRow()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}));   // 256 rows by default
    position.ask(runControl("freerun"));
    position.push({{0, 500}, {1, 0}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"255,0"});
    QCOMPARE(position.ask(getData("scatter")), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[1,1]}]})"));
}

void TestPosition::discardsPairsOutsideTheCuts_data()
{
    QTest::addColumn<QJsonArray>("cuts");
    QTest::addColumn<uint>("lowEnergy");
    QTest::addColumn<uint>("highEnergy");
    QTest::addColumn<bool>("counted");

    const QJsonArray cuts{parameter("energy_cut_min", 100), parameter("energy_cut_max", 500)};
    QTest::newRow("sum above cut_max") << cuts << 300u << 300u << false;
    QTest::newRow("sum equal to cut_max") << cuts << 200u << 300u << true;
    QTest::newRow("sum equal to cut_min") << cuts << 25u << 75u << true;
    QTest::newRow("sum below cut_min") << cuts << 50u << 49u << false;
    QTest::newRow("two zero energies have no ratio") << QJsonArray{} << 0u << 0u << false;
    QTest::newRow("default cuts take any sum") << QJsonArray{} << 4000000000u << 294967295u << true;
}

void TestPosition::discardsPairsOutsideTheCuts()
{
    QFETCH(QJsonArray, cuts);
    QFETCH(uint, lowEnergy);
    QFETCH(uint, highEnergy);
    QFETCH(bool, counted);

    LogCapture log;
    PositionHarness position(positionEntry({0, 0}, {1, 0}, cuts));
    position.ask(runControl("freerun"));
    position.push({{0, lowEnergy}, {1, highEnergy}});
    QVERIFY(position.waitUntilConsumed());

    QCOMPARE(log.count(QStringLiteral("Discrding energy")), counted ? 0 : 1);
    QCOMPARE(countedCells(position.ask(getData("heatmap"))).size(), counted ? 1 : 0);
    const QJsonObject scatter = QJsonDocument::fromJson(position.ask(getData("scatter")).toUtf8()).object();
    QCOMPARE(scatter.value("data").toArray().at(0).toObject().value("x").toArray().size(), counted ? 2 : 0);
}

void TestPosition::ignoresPacketsWithARepeatedChannel()
{
    PositionHarness position(positionEntry({0, 0, 0, 0}, {1, 0}));
    position.ask(runControl("freerun"));
    position.push({{3, 5}, {0, 300}, {1, 100}, {3, 7}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList());
    QCOMPARE(position.ask(getData("scatter")), kNoPoints);

    position.push({{3, 5}, {0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"192,0"});
}

void TestPosition::scatterListsAPointOncePerFrameAddedAfterIt_data()
{
    QTest::addColumn<bool>("pairFirst");
    QTest::addColumn<QString>("scatter");

    QTest::newRow("pair at the front: all three frames hold it")
        << true << R"({"data":[{"x":[0,0,0]},{"y":[0.75,0.75,0.75]}]})";
    QTest::newRow("pair after another event: the first frame is empty")
        << false << R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})";
}

void TestPosition::scatterListsAPointOncePerFrameAddedAfterIt()
{
    QFETCH(bool, pairFirst);
    QFETCH(QString, scatter);

    PositionHarness position(positionEntry({0, 0}, {1, 0}));
    position.ask(runControl("freerun"));
    if (pairFirst)
        position.push({{0, 300}, {1, 100}, {5, 1}});
    else
        position.push({{5, 1}, {0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("scatter")), scatter);
}

void TestPosition::scatterListsNewestFrameFirst()
{
    PositionHarness position(positionEntry({0, 0, 1, 1}, {1, 0, 3, 2}));
    position.ask(runControl("freerun"));
    position.push({{0, 300}, {1, 100}});
    position.push({{2, 50}, {3, 50}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("scatter")),
             QStringLiteral(R"({"data":[{"x":[1,1,0,0]},{"y":[0.5,0.5,0.75,0.75]}]})"));
}

void TestPosition::scatterReadConsumesTheFrames()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}));
    position.ask(runControl("freerun"));
    position.push({{0, 1}, {1, 2}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("scatter")), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.333333,0.333333]}]})"));
    QCOMPARE(position.ask(getData("scatter")), kNoPoints);
    // The heat map is not consumed by reading.
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"85,0"});
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"85,0"});

    position.push({{1, 2}, {0, 1}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("scatter")), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.333333,0.333333]}]})"));
}

void TestPosition::keepsAtMost101Frames()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}));
    position.ask(runControl("freerun"));
    std::vector<Event> events{{0, 300}, {1, 100}};
    for (uint32_t channel = 2; channel < 150; ++channel)
        events.push_back({channel, 1});
    position.push(events);   // 150 frames, each holding the one point
    QVERIFY(position.waitUntilConsumed());

    const QJsonObject scatter = QJsonDocument::fromJson(position.ask(getData("scatter")).toUtf8()).object();
    const QJsonArray data = scatter.value("data").toArray();
    QCOMPARE(data.at(0).toObject().value("x").toArray().size(), 101);
    QCOMPARE(data.at(1).toObject().value("y").toArray().size(), 101);
}

void TestPosition::heatmapCountsEveryPairWhileAClientReads()
{
    PositionHarness position(positionEntry({0, 0, 1, 1}, {1, 0, 3, 2}));
    position.ask(runControl("freerun"));
    int points = 0;
    for (uint32_t packet = 0; packet < 200; ++packet) {
        position.push({{packet % 2 ? 0u : 2u, 100 + packet}, {packet % 2 ? 1u : 3u, 300}});
        if (packet % 3 == 0) {
            QVERIFY(position.ask(getData("heatmap")).startsWith(QStringLiteral(R"({"data":[[)")));
            continue;
        }
        const QJsonObject scatter = QJsonDocument::fromJson(position.ask(getData("scatter")).toUtf8()).object();
        points += scatter.value("data").toArray().at(0).toObject().value("x").toArray().size();
    }
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))).size(), 200);
    const QJsonObject last = QJsonDocument::fromJson(position.ask(getData("scatter")).toUtf8()).object();
    points += last.value("data").toArray().at(0).toObject().value("x").toArray().size();
    // Two frames per packet, each read once; frames left unread beyond the cap are dropped.
    QVERIFY(points > 0);
    QVERIFY(points <= 2 * 200);
}

void TestPosition::freshBlockIsIdleAndIgnoresPackets()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}));
    QCOMPARE(position.ask(command("data_get_status")), kIdle);
    position.push({{0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList());
    QCOMPARE(position.ask(getData("scatter")), kNoPoints);

    QCOMPARE(position.ask(runControl("freerun")), kTrue);
    QCOMPARE(position.ask(command("data_get_status")), kFreerun);
    position.push({{0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(countedCells(position.ask(getData("heatmap"))), QStringList{"192,0"});

    QCOMPARE(position.ask(runControl("pause")), kTrue);
    QCOMPARE(position.ask(command("data_get_status")), kIdle);
}

void TestPosition::resetZeroesTheHeatmapAndDropsTheFrames()
{
    PositionHarness position(positionEntry({0, 0}, {1, 0}, {parameter("y_positions", 2)}));
    position.ask(runControl("freerun"));
    position.push({{0, 300}, {1, 100}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("heatmap")), QStringLiteral(R"({"data":[[0],[1]]})"));

    QCOMPARE(position.ask(command("reset")), kTrue);
    QCOMPARE(position.ask(getData("heatmap")), QStringLiteral(R"({"data":[[0],[0]]})"));
    QCOMPARE(position.ask(getData("scatter")), kNoPoints);
    QCOMPARE(position.ask(command("data_get_status")), kFreerun);
}

void TestPosition::writesTheHeatmapRowByRow()
{
    PositionHarness position(positionEntry({0, 0, 1, 1, 2, 2}, {1, 0, 3, 2, 5, 4}, {parameter("y_positions", 2)}));
    QCOMPARE(position.ask(getData("heatmap")), QStringLiteral(R"({"data":[[0,0,0],[0,0,0]]})"));
    position.ask(runControl("freerun"));
    position.push({{4, 10}, {5, 300}});
    position.push({{2, 300}, {3, 100}});
    position.push({{3, 100}, {2, 300}});
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.ask(getData("heatmap")), QStringLiteral(R"({"data":[[0,0,1],[0,2,0]]})"));
}

void TestPosition::answersNothingToUnknownViews_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown source") << R"({"args":[{"cmd":"get_data","source":"immediate"}]})";
    QTest::newRow("no source") << R"({"args":[{"cmd":"get_data"}]})";
    QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"set_dump_type","source":"heatmap"}]})";
    QTest::newRow("not JSON") << "{";
}

void TestPosition::answersNothingToUnknownViews()
{
    QFETCH(QString, message);
    PositionHarness position(positionEntry({0, 0}, {1, 0}));
    QCOMPARE(position.ask(message), QString());
}

void TestPosition::refusesUnusableLayouts_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("error");

    const QJsonObject pair = arrayParameter("correlated_channels", {1, 0});
    QTest::newRow("y_positions 0") << QJsonArray{arrayParameter("positions", {0, 0}), pair, parameter("y_positions", 0)}
                                   << R"(key "y_positions": must be at least 1 (got 0))";
    QTest::newRow("y_positions not a number")
        << QJsonArray{arrayParameter("positions", {0, 0}), pair, parameter("y_positions", "tall")}
        << R"(key "y_positions": must be at least 1 (got 0))";
    QTest::newRow("one position") << QJsonArray{arrayParameter("positions", {0})}
                                  << R"(key "positions": needs at least two entries (got 1))";
    QTest::newRow("positions without the array type")
        << QJsonArray{parameter("positions", QJsonArray{0, 0}), pair}
        << R"(key "positions": needs at least two entries (got 0))";
    QTest::newRow("position beyond the columns")
        << QJsonArray{arrayParameter("positions", {0, 1}), pair}
        << R"(key "positions": channel 1 is at column 1, outside the heat map's columns 0..0)";
    QTest::newRow("negative position")
        << QJsonArray{arrayParameter("positions", {0, 0, -1, 1}), pair}
        << R"(key "positions": channel 2 is at column -1, outside the heat map's columns 0..1)";
    QTest::newRow("partner without a position")
        << QJsonArray{arrayParameter("positions", {0, 0}), arrayParameter("correlated_channels", {1, 0, 3})}
        << R"(key "correlated_channels": channel 2 has a partner but no "positions" entry)";
}

void TestPosition::refusesUnusableLayouts()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, error);

    PositionHarness position(blockEntry("pos", parameters));
    QCOMPARE(position.block().configurationError(), error);
    QCOMPARE(position.ask(command("data_get_status")), QString());
    QCOMPARE(position.block().inputPins().size(), 1);
}

QTEST_GUILESS_MAIN(TestPosition)
#include "tst_position.moc"
