// The position block as a client sees it: coincidence packets in, heat map
// and scatter replies out.
#include "accumulating_block_harness.h"
#include "blocks/position/position.h"
#include "log_capture.h"

#include <QtTest>

using namespace analysis_test;

namespace {
const QString kNoPoints = QStringLiteral(R"({"data":[{"x":[]},{"y":[]}]})");

// A position block over the test's pin, counting unless told otherwise.
struct PositionRig : BlockHarness<Position> {
    PositionRig(const QJsonArray& positions, const QJsonArray& partners, const QJsonArray& more = {}, bool running = true)
        : BlockHarness(entry(positions, partners, more), running) {}
    static QJsonObject entry(const QJsonArray& positions, const QJsonArray& partners, const QJsonArray& more)
    {
        QJsonArray parameters{arrayParameter("positions", positions), arrayParameter("correlated_channels", partners)};
        for (const QJsonValue& p : more)
            parameters.append(p);
        return blockEntry("pos", parameters);
    }
    QString heatmap() { return ask(getView("heatmap")); }
    QString scatter() { return ask(getView("scatter")); }
    // Heat map cells holding a count, as "row,column" once per count.
    QStringList cells()
    {
        QStringList cells;
        const QJsonArray rows = QJsonDocument::fromJson(heatmap().toUtf8()).object().value("data").toArray();
        for (int row = 0; row < rows.size(); ++row)
            for (int column = 0; column < rows.at(row).toArray().size(); ++column)
                for (int n = 0; n < rows.at(row).toArray().at(column).toInt(); ++n)
                    cells.append(QStringLiteral("%1,%2").arg(row).arg(column));
        return cells;
    }
    int scatterPoints()
    {
        return QJsonDocument::fromJson(scatter().toUtf8()).object().value("data").toArray().at(0).toObject().value("x").toArray().size();
    }
};
}  // namespace

class TestPosition : public QObject {
    Q_OBJECT
private slots:
    void countsTheChargeDivisionRatioIn256RowsByDefault()
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

    // Channel 0 sits at column 1, channel 1 at column 0: x comes from the earlier payload.
    void takesTheRatioFromTheLowerChannelInEitherOrder_data()
    {
        QTest::addColumn<bool>("lowerFirst");
        QTest::addColumn<QString>("scatter");
        QTest::addColumn<QStringList>("cells");
        QTest::newRow("lower first") << true << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})" << QStringList{"192,1"};
        QTest::newRow("higher first") << false << R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})" << QStringList{"192,0"};
    }
    void takesTheRatioFromTheLowerChannelInEitherOrder()
    {
        QFETCH(bool, lowerFirst);
        QFETCH(QString, scatter);
        QFETCH(QStringList, cells);
        PositionRig position({1, 0, 0, 0}, {1, 0});
        position.feed(lowerFirst ? std::vector<Event>{{0, 300}, {1, 100}} : std::vector<Event>{{1, 100}, {0, 300}});
        QCOMPARE(position.scatter(), scatter);
        QCOMPARE(position.cells(), cells);
    }

    // The cuts themselves are checked on the running server; here their bounds and defaults.
    void discardsPairsOutsideTheCuts_data()
    {
        QTest::addColumn<QJsonArray>("cuts");
        QTest::addColumn<uint>("lowEnergy");
        QTest::addColumn<uint>("highEnergy");
        QTest::addColumn<bool>("counted");
        const QJsonArray cuts{parameter("energy_cut_min", 100), parameter("energy_cut_max", 500)};
        QTest::newRow("at cut_max") << cuts << 200u << 300u << true;
        QTest::newRow("at cut_min") << cuts << 25u << 75u << true;
        QTest::newRow("two zeros, no ratio") << QJsonArray{} << 0u << 0u << false;
        QTest::newRow("default cuts take any sum") << QJsonArray{} << 4000000000u << 294967295u << true;
    }
    void discardsPairsOutsideTheCuts()
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

    void ignoresPacketsWithARepeatedChannel()
    {
        PositionRig position({0, 0, 0, 0}, {1, 0});
        position.feed({{3, 5}, {0, 300}, {1, 100}, {3, 7}});
        QCOMPARE(position.cells(), QStringList());
        QCOMPARE(position.scatter(), kNoPoints);
        position.feed({{3, 5}, {0, 300}, {1, 100}});
        QCOMPARE(position.cells(), QStringList{"192,0"});
    }

    void scatterListsAPointOncePerFrameAddedAfterIt()
    {
        PositionRig position({0, 0}, {1, 0});
        position.feed({{0, 300}, {1, 100}, {5, 1}});   // at the front: all three frames hold it
        QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0,0]},{"y":[0.75,0.75,0.75]}]})"));
        position.feed({{5, 1}, {0, 300}, {1, 100}});   // after another event: the first frame is empty
        QCOMPARE(position.scatter(), QStringLiteral(R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})"));
    }

    void keepsAtMost101Frames()
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

    void heatmapCountsEveryPairWhileAClientReads()
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

    void countsOnlyWhileFreerun()
    {
        PositionRig position({0, 0}, {1, 0}, {}, false);
        position.feed({{0, 300}, {1, 100}});
        QCOMPARE(position.cells(), QStringList());
        QCOMPARE(position.scatter(), kNoPoints);
        QCOMPARE(position.ask(runControl("freerun")), kTrue);
        position.feed({{0, 300}, {1, 100}});
        QCOMPARE(position.cells(), QStringList{"192,0"});
    }

    void resetZeroesTheHeatmapAndDropsTheFrames()
    {
        PositionRig position({0, 0}, {1, 0}, {parameter("y_positions", 2)});
        position.feed({{0, 300}, {1, 100}});
        QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0],[1]]})"));
        QCOMPARE(position.ask(command("reset")), kTrue);
        QCOMPARE(position.heatmap(), QStringLiteral(R"({"data":[[0],[0]]})"));
        QCOMPARE(position.scatter(), kNoPoints);
        QCOMPARE(position.ask(command("data_get_status")), kFreerun);
    }

    void answersNothingToUnknownViews_data()
    {
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown source") << R"({"args":[{"cmd":"get_data","source":"immediate"}]})";
        QTest::newRow("no source") << R"({"args":[{"cmd":"get_data"}]})";
        QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"set_dump_type","source":"heatmap"}]})";
    }
    void answersNothingToUnknownViews()
    {
        QFETCH(QString, message);
        PositionRig position({0, 0}, {1, 0});
        QCOMPARE(position.ask(message), QString());
    }

    void refusesUnusableLayouts_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("error");
        const QJsonObject two = arrayParameter("positions", {0, 0}), pair = arrayParameter("correlated_channels", {1, 0});
        QTest::newRow("y 0") << QJsonArray{two, pair, parameter("y_positions", 0)} << R"(key "y_positions": must be at least 1 (got 0))";
        QTest::newRow("y text") << QJsonArray{two, pair, parameter("y_positions", "tall")} << R"(key "y_positions": must be at least 1 (got 0))";
        QTest::newRow("one position") << QJsonArray{arrayParameter("positions", {0})} << R"(key "positions": needs at least two entries (got 1))";
        QTest::newRow("no array type") << QJsonArray{parameter("positions", QJsonArray{0, 0}), pair}
            << R"(key "positions": needs at least two entries (got 0))";
        QTest::newRow("beyond the columns") << QJsonArray{arrayParameter("positions", {0, 1}), pair}
                                            << R"(key "positions": channel 1 is at column 1, outside the heat map's columns 0..0)";
        QTest::newRow("negative") << QJsonArray{arrayParameter("positions", {0, 0, -1, 1}), pair}
                                  << R"(key "positions": channel 2 is at column -1, outside the heat map's columns 0..1)";
        QTest::newRow("partner, no position") << QJsonArray{two, arrayParameter("correlated_channels", {1, 0, 3})}
                                              << R"(key "correlated_channels": channel 2 has a partner but no "positions" entry)";
    }
    void refusesUnusableLayouts()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, error);
        BlockHarness<Position> position(blockEntry("pos", parameters));
        QCOMPARE(position.block().configurationError(), error);
        QCOMPARE(position.ask(command("data_get_status")), QString());
    }
};

QTEST_GUILESS_MAIN(TestPosition)
#include "tst_position.moc"
