// The position block as a client sees it: coincidence packets in, heat map
// and scatter replies out.
#include "accumulating_block_harness.h"
#include "blocks/position/position.h"

#include "log_capture.h"

#include <QtTest>

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

// A position block over the test's pin, counting ("freerun") unless told otherwise.
class PositionRig : public PositionHarness {
public:
    PositionRig(const QJsonArray& positions, const QJsonArray& partners, const QJsonArray& more = {},
                bool running = true)
        : PositionHarness(positionEntry(positions, partners, more))
    {
        if (running)
            ask(runControl("freerun"));
    }
    // Pushes one packet and waits until the block has handled it.
    void feed(const std::vector<Event>& events)
    {
        push(events);
        QVERIFY(waitUntilConsumed());
    }
    QStringList cells() { return countedCells(ask(getData("heatmap"))); }
    QString heatmap() { return ask(getData("heatmap")); }
    QString scatter() { return ask(getData("scatter")); }
    int scatterPoints()
    {
        const QJsonObject reply = QJsonDocument::fromJson(scatter().toUtf8()).object();
        return reply.value("data").toArray().at(0).toObject().value("x").toArray().size();
    }
};
}  // namespace

class TestPosition : public QObject {
    Q_OBJECT
private slots:
    void countsTheChargeDivisionRatioIn256RowsByDefault();
    void takesTheRatioFromTheLowerChannelInEitherOrder_data();
    void takesTheRatioFromTheLowerChannelInEitherOrder();
    void rowIsTheRatioBinRoundedHalfAwayFromZero_data();
    void rowIsTheRatioBinRoundedHalfAwayFromZero();
    void discardsPairsOutsideTheCuts_data();
    void discardsPairsOutsideTheCuts();
    void ignoresPacketsWithARepeatedChannel();
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

void TestPosition::countsTheChargeDivisionRatioIn256RowsByDefault()
{
    PositionRig position({0, 0}, {1, 0});
    position.feed({{0, 300}, {1, 100}});
    QCOMPARE(position.cells(), QStringList{"192,0"});
    // One frame per payload of the packet, each holding the point.
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})"));
    position.feed({{0, 500}, {1, 0}});   // ratio 1 falls in the last row
    QCOMPARE(position.cells(), (QStringList{"192,0", "255,0"}));
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[1,1]}]})"));
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
    PositionRig position({1, 0, 0, 0}, {1, 0});
    position.feed(lowerFirst ? std::vector<Event>{{0, 300}, {1, 100}} : std::vector<Event>{{1, 100}, {0, 300}});
    QCOMPARE(position.scatter(), scatter);
    QCOMPARE(position.cells(), cells);
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
    PositionRig position({0, 0}, {1, 0}, {parameter("y_positions", 4)});
    position.feed({{1, highEnergy}, {0, lowEnergy}});
    QCOMPARE(position.heatmap(), heatmap);
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
    PositionRig position({0, 0}, {1, 0}, cuts);
    position.feed({{0, lowEnergy}, {1, highEnergy}});
    QCOMPARE(log.count(QStringLiteral("Discrding energy")), counted ? 0 : 1);
    QCOMPARE(position.cells().size(), counted ? 1 : 0);
    QCOMPARE(position.scatterPoints(), counted ? 2 : 0);
}

void TestPosition::ignoresPacketsWithARepeatedChannel()
{
    PositionRig position({0, 0, 0, 0}, {1, 0});
    position.feed({{3, 5}, {0, 300}, {1, 100}, {3, 7}});
    QCOMPARE(position.cells(), QStringList());
    QCOMPARE(position.scatter(), kNoPoints);
    position.feed({{3, 5}, {0, 300}, {1, 100}});
    QCOMPARE(position.cells(), QStringList{"192,0"});
}

void TestPosition::scatterListsAPointOncePerFrameAddedAfterIt()
{
    PositionRig position({0, 0}, {1, 0});
    position.feed({{0, 300}, {1, 100}, {5, 1}});   // at the front: all three frames hold it
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0,0]},{"y":[0.75,0.75,0.75]}]})"));
    position.feed({{5, 1}, {0, 300}, {1, 100}});   // after another event: the first frame is empty
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})"));
}

void TestPosition::scatterListsNewestFrameFirst()
{
    PositionRig position({0, 0, 1, 1}, {1, 0, 3, 2});
    position.push({{0, 300}, {1, 100}});
    position.feed({{2, 50}, {3, 50}});
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[1,1,0,0]},{"y":[0.5,0.5,0.75,0.75]}]})"));
}

void TestPosition::scatterReadConsumesTheFrames()
{
    PositionRig position({0, 0}, {1, 0});
    position.feed({{0, 1}, {1, 2}});
    QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.333333,0.333333]}]})"));
    QCOMPARE(position.scatter(), kNoPoints);
    // The heat map is not consumed by reading.
    QCOMPARE(position.cells(), QStringList{"85,0"});
    QCOMPARE(position.cells(), QStringList{"85,0"});
}

void TestPosition::keepsAtMost101Frames()
{
    PositionRig position({0, 0}, {1, 0});
    std::vector<Event> events{{0, 300}, {1, 100}};
    for (uint32_t channel = 2; channel < 150; ++channel)
        events.push_back({channel, 1});
    position.feed(events);   // 150 frames, each holding the one point
    const QJsonArray data = QJsonDocument::fromJson(position.scatter().toUtf8()).object().value("data").toArray();
    QCOMPARE(data.at(0).toObject().value("x").toArray().size(), 101);
    QCOMPARE(data.at(1).toObject().value("y").toArray().size(), 101);
}

void TestPosition::heatmapCountsEveryPairWhileAClientReads()
{
    PositionRig position({0, 0, 1, 1}, {1, 0, 3, 2});
    int points = 0;
    for (uint32_t packet = 0; packet < 200; ++packet) {
        position.push({{packet % 2 ? 0u : 2u, 100 + packet}, {packet % 2 ? 1u : 3u, 300}});
        if (packet % 3 == 0)
            QVERIFY(position.heatmap().startsWith(QStringLiteral(R"({"data":[[)")));
        else
            points += position.scatterPoints();
    }
    QVERIFY(position.waitUntilConsumed());
    QCOMPARE(position.cells().size(), 200);
    points += position.scatterPoints();
    // Two frames per packet, each read once; frames left unread beyond the cap are dropped.
    QVERIFY(points > 0 && points <= 2 * 200);
}

void TestPosition::freshBlockIsIdleAndIgnoresPackets()
{
    PositionRig position({0, 0}, {1, 0}, {}, false);
    QCOMPARE(position.ask(command("data_get_status")), kIdle);
    position.feed({{0, 300}, {1, 100}});
    QCOMPARE(position.cells(), QStringList());
    QCOMPARE(position.scatter(), kNoPoints);

    QCOMPARE(position.ask(runControl("freerun")), kTrue);
    QCOMPARE(position.ask(command("data_get_status")), kFreerun);
    position.feed({{0, 300}, {1, 100}});
    QCOMPARE(position.cells(), QStringList{"192,0"});
    QCOMPARE(position.ask(runControl("pause")), kTrue);
    QCOMPARE(position.ask(command("data_get_status")), kIdle);
}

void TestPosition::resetZeroesTheHeatmapAndDropsTheFrames()
{
    PositionRig position({0, 0}, {1, 0}, {parameter("y_positions", 2)});
    position.feed({{0, 300}, {1, 100}});
    QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0],[1]]})"));
    QCOMPARE(position.ask(command("reset")), kTrue);
    QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0],[0]]})"));
    QCOMPARE(position.scatter(), kNoPoints);
    QCOMPARE(position.ask(command("data_get_status")), kFreerun);
}

void TestPosition::writesTheHeatmapRowByRow()
{
    PositionRig position({0, 0, 1, 1, 2, 2}, {1, 0, 3, 2, 5, 4}, {parameter("y_positions", 2)});
    QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0,0,0],[0,0,0]]})"));
    position.push({{4, 10}, {5, 300}});
    position.push({{2, 300}, {3, 100}});
    position.feed({{3, 100}, {2, 300}});
    QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0,0,1],[0,2,0]]})"));
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
