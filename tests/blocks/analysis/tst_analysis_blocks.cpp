// The accumulating blocks (spectrum, time-of-flight, image, position) in-process:
// events in through the input pin, replies out of InterpretMessage. Expected
// replies are built here from the bins the rule gives, not by the blocks' code.
#include "blocks/image/image.h"
#include "blocks/position/position.h"
#include "blocks/spectrum/histogram.h"
#include "blocks/tof_histogram/time_distribution.h"
#include "block_test_rig.h"

#include <QtTest>

using namespace block_test;

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");

QString runControl(const QString& status) { return request({QJsonObject{{"cmd", "run_control"}, {"status", status}}}); }
QString getChannels(const QJsonArray& channels) { return request({QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}); }
QString getView(const QString& source) { return request({QJsonObject{{"cmd", "get_data"}, {"source", source}}}); }

// Any block kind behind one interface, so that a table can cover them all.
struct AnyRig {
    virtual ~AnyRig() = default;
    virtual QString ask(const QString& message) = 0;
    virtual void push(DataPacket* packet) = 0;
    virtual QString error() = 0;
    void feed(DataPacket* packet)
    {
        push(packet);
        QVERIFY(Rig<Histogram>::waitUntilConsumed());
    }
};
template <typename Block>
struct RigOf : AnyRig {
    explicit RigOf(const QJsonObject& e) : rig(e) {}
    QString ask(const QString& message) override { return rig.ask(message); }
    void push(DataPacket* packet) override { rig.push(packet); }
    QString error() override { return rig.block().configurationError(); }
    Rig<Block> rig;
};

std::unique_ptr<AnyRig> make(const QString& kind, const QJsonArray& parameters, bool running = true)
{
    std::unique_ptr<AnyRig> rig;
    if (kind == "spectrum")
        rig.reset(new RigOf<Histogram>(entry(kind, parameters)));
    else if (kind == "tof")
        rig.reset(new RigOf<time_distribution>(entry(kind, parameters)));
    else if (kind == "image")
        rig.reset(new RigOf<Image>(entry(kind, parameters)));
    else
        rig.reset(new RigOf<Position>(entry(kind, parameters)));
    if (running && rig->error().isEmpty())
        rig->ask(runControl("freerun"));
    return rig;
}

QJsonArray sized(int bins, int channels, QJsonArray more = {})
{
    more.prepend(parameter("ch_number", channels));
    more.prepend(parameter("bin_number", bins));
    return more;
}
QJsonArray labels(int count)
{
    QJsonArray list;
    for (int i = 0; i < count; ++i)
        list.append(QString::number(i));
    return list;
}
// Four channels, two elements: channel 0 at column 1 paired with 1 (at 0), channel 2 with 3.
QJsonArray positionLayout(int rows, QJsonArray more = {})
{
    more.prepend(parameter("y_positions", rows));
    more.prepend(parameter("correlated_channels", QJsonArray{1, 0, 3, 2}, "array"));
    more.prepend(parameter("positions", QJsonArray{1, 0, 0, 1}, "array"));
    return more;
}

// The histograms of `channels` channels of `bins` bins, zero but for one count at (channel, bin).
QString oneCount(int channels, int bins, int channel, int bin)
{
    QStringList rows;
    for (int c = 0; c < channels; ++c) {
        QStringList counts;
        for (int b = 0; b < bins; ++b)
            counts << (c == channel && b == bin ? "1" : "0");
        rows << "{\"data\":[" + counts.join(',') + "]}";
    }
    return '[' + rows.join(',') + ']';
}
// A matrix reply with one count at (row, column), or none when row is -1.
QString oneCell(int rows, int columns, int row, int column)
{
    QStringList lines;
    for (int r = 0; r < rows; ++r) {
        QStringList counts;
        for (int c = 0; c < columns; ++c)
            counts << (r == row && c == column ? "1" : "0");
        lines << '[' + counts.join(',') + ']';
    }
    return "{\"data\":[" + lines.join(',') + "]}";
}

int sumOf(const QJsonValue& value)
{
    int sum = value.isDouble() ? value.toInt() : 0;
    for (const QJsonValue& v : value.toArray())
        sum += sumOf(v);
    for (const QJsonValue& v : value.toObject())
        sum += sumOf(v);
    return sum;
}
int total(const QString& reply)
{
    const QJsonDocument doc = QJsonDocument::fromJson(reply.toUtf8());
    return sumOf(doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object()));
}
}  // namespace

class TestAnalysisBlocks : public QObject {
    Q_OBJECT
private slots:
    // The run state every accumulating block shares: counting only in freerun, reset keeps the state.
    void countsOnlyWhileFreerun_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("read");
        QTest::newRow("spectrum") << "spectrum" << sized(4, 1) << getChannels({0});
        QTest::newRow("tof") << "tof" << sized(4, 1, {parameter("binning", 1)}) << getChannels({0});
        QTest::newRow("image") << "image" << QJsonArray{parameter("x_positions", labels(2), "array"), parameter("y_positions", labels(1), "array")}
                               << getView("cumulative");
        QTest::newRow("position") << "position" << positionLayout(4) << getView("heatmap");
    }
    void countsOnlyWhileFreerun()
    {
        QFETCH(QString, kind);
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, read);
        auto rig = make(kind, parameters, false);
        auto event = [] { return energyPacket({{0, 300, 1}, {1, 100, 1}}); };   // a pair for the position block
        QCOMPARE(rig->ask(command("data_get_status")), kIdle);
        rig->feed(event());
        QCOMPARE(total(rig->ask(read)), 0);
        QCOMPARE(rig->ask(runControl("freerun")), kTrue);
        QCOMPARE(rig->ask(command("data_get_status")), kFreerun);
        rig->feed(event());
        QVERIFY(total(rig->ask(read)) > 0);
        QCOMPARE(rig->ask(command("reset")), kTrue);
        QCOMPARE(total(rig->ask(read)), 0);
        QCOMPARE(rig->ask(command("data_get_status")), kFreerun);
        QCOMPARE(rig->ask(runControl("Freerun")), kTrue);   // any other status stops
        QCOMPARE(rig->ask(command("data_get_status")), kIdle);
        rig->feed(event());
        QCOMPARE(total(rig->ask(read)), 0);
    }

    // Spectrum: bin = raw energy x gain truncated, clamped to the histogram, then the inclusive cuts;
    // the channel is clamped to the first and last histogram.
    void spectrumBinsRawEnergyTimesGain_data()
    {
        QTest::addColumn<QJsonArray>("more");
        QTest::addColumn<uint>("channel");
        QTest::addColumn<uint>("raw");
        QTest::addColumn<int>("expectedChannel");
        QTest::addColumn<int>("bin");   // -1: not counted
        const QJsonArray half{parameter("gain", 0.5)};
        QTest::newRow("gain 1") << QJsonArray() << 1u << 5u << 1 << 5;
        QTest::newRow("gain 0.5: 3.5 is bin 3") << half << 0u << 7u << 0 << 3;
        QTest::newRow("last bin") << QJsonArray() << 0u << 7u << 0 << 7;
        QTest::newRow("first beyond") << QJsonArray() << 0u << 8u << 0 << 7;
        QTest::newRow("negative is bin 0") << QJsonArray{parameter("gain", -1)} << 0u << 5u << 0 << 0;
        QTest::newRow("beyond 32 bits is bin 0") << QJsonArray{parameter("gain", 2)} << 0u << 4294967295u << 0 << 0;
        QTest::newRow("at cut_min") << QJsonArray{parameter("energy_cut_min", 2)} << 0u << 2u << 0 << 2;
        QTest::newRow("below cut_min") << QJsonArray{parameter("energy_cut_min", 2)} << 0u << 1u << 0 << -1;
        QTest::newRow("at cut_max") << QJsonArray{parameter("energy_cut_max", 5)} << 0u << 5u << 0 << 5;
        QTest::newRow("above cut_max") << QJsonArray{parameter("energy_cut_max", 5)} << 0u << 6u << 0 << -1;
        QTest::newRow("clamped, then cut") << QJsonArray{parameter("energy_cut_max", 7)} << 0u << 100u << 0 << 7;
        QTest::newRow("channel beyond is the last") << QJsonArray() << 9u << 1u << 1 << 1;
        QTest::newRow("channel -1 is the first") << QJsonArray() << 0xFFFFFFFFu << 1u << 0 << 1;
    }
    void spectrumBinsRawEnergyTimesGain()
    {
        QFETCH(QJsonArray, more);
        QFETCH(uint, channel);
        QFETCH(uint, raw);
        QFETCH(int, expectedChannel);
        QFETCH(int, bin);
        auto rig = make("spectrum", sized(8, 2, more));
        rig->feed(energyPacket({{channel, raw, 0}}));
        QCOMPARE(rig->ask(getChannels({0, 1})), oneCount(2, 8, bin < 0 ? -1 : expectedChannel, bin));
    }

    // Time of flight: bin = timestamp / binning rounded half away from zero, clamped to the last
    // bin; negative or not a number (binning 0) is dropped.
    void timeOfFlightBinsTimestampOverBinning_data()
    {
        QTest::addColumn<double>("binning");
        QTest::addColumn<quint64>("timestamp");
        QTest::addColumn<int>("bin");
        QTest::newRow("1.4 is 1") << 10.0 << quint64(14) << 1;
        QTest::newRow("1.5 is 2") << 10.0 << quint64(15) << 2;
        QTest::newRow("2.5 is 3") << 10.0 << quint64(25) << 3;
        QTest::newRow("last bin") << 10.0 << quint64(70) << 7;
        QTest::newRow("7.5 is the last") << 10.0 << quint64(75) << 7;
        QTest::newRow("just below 2^31 is the last") << 10.0 << quint64(21474836470) << 7;
        QTest::newRow("2^31 is dropped") << 10.0 << quint64(21474836480) << -1;
        QTest::newRow("binning 0.5") << 0.5 << quint64(3) << 6;
        QTest::newRow("binning 0") << 0.0 << quint64(14) << -1;
        QTest::newRow("binning 0, timestamp 0") << 0.0 << quint64(0) << -1;
        QTest::newRow("negative dropped") << -10.0 << quint64(14) << -1;
        QTest::newRow("negative zero is bin 0") << -10.0 << quint64(0) << 0;
    }
    void timeOfFlightBinsTimestampOverBinning()
    {
        QFETCH(double, binning);
        QFETCH(quint64, timestamp);
        QFETCH(int, bin);
        auto rig = make("tof", sized(8, 1, {parameter("binning", binning)}));
        rig->feed(energyPacket({{0, 0, timestamp}}));
        QCOMPARE(rig->ask(getChannels({0})), oneCount(1, 8, 0, bin));
    }

    // Channel 0 holds [4,0,1], channel 2 holds [0,7,0], the others are empty.
    void histogramRepliesListChannelsOnceInAscendingOrder_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::newRow("[2,0]") << getChannels({2, 0}) << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
        QTest::newRow("[5,5]") << getChannels({5, 5}) << R"([{"data":[0,0,0]}])";
        QTest::newRow("[-1,8,2]") << getChannels({-1, 8, 2}) << R"([{"data":[0,7,0]}])";
        QTest::newRow("channels add up") << request({QJsonObject{{"channels", QJsonArray{2}}}, QJsonObject{{"cmd", "get_data"}},
                                                     QJsonObject{{"channels", QJsonArray{0}}}}) << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
        QTest::newRow("none") << command("get_data") << "[]";
        QTest::newRow("not JSON") << "get_data" << "";
        QTest::newRow("unknown cmd") << command("stop_dump") << "";
        QTest::newRow("top-level cmd") << R"({"cmd":"data_get_status"})" << "";
    }
    void histogramRepliesListChannelsOnceInAscendingOrder()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        auto rig = make("spectrum", sized(3, 8));
        rig->feed(energyPacket({{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}}));
        QCOMPARE(rig->ask(message), reply);
    }

    // Image: channel = row x columns + column; channels outside the image are ignored.
    void imageMapsChannelsRowByRow_data()
    {
        QTest::addColumn<uint>("channel");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("column");
        QTest::newRow("0") << 0u << 0 << 0;
        QTest::newRow("3: end of row 0") << 3u << 0 << 3;
        QTest::newRow("4: start of row 1") << 4u << 1 << 0;
        QTest::newRow("7: last pixel") << 7u << 1 << 3;
        QTest::newRow("8: outside") << 8u << -1 << -1;
        QTest::newRow("-1: outside") << 0xFFFFFFFFu << -1 << -1;
    }
    void imageMapsChannelsRowByRow()
    {
        QFETCH(uint, channel);
        QFETCH(int, row);
        QFETCH(int, column);
        auto rig = make("image", {parameter("x_positions", labels(4), "array"), parameter("y_positions", labels(2), "array")});
        rig->feed(energyPacket({{channel}}));
        QCOMPARE(rig->ask(getView("cumulative")), oneCell(2, 4, row, column));
        QCOMPARE(rig->ask(getView("immediate")), oneCell(2, 4, row, column));
    }

    // The immediate image is cleared by reading it, the cumulative one by "reset" only;
    // reads while the worker counts lose no event.
    void imageViewsClearAsTheyShould()
    {
        auto rig = make("image", {parameter("x_positions", labels(4), "array"), parameter("y_positions", labels(4), "array")});
        int taken = 0;
        for (uint32_t packet = 0; packet < 200; ++packet) {
            auto* p = new DataPacket(QStringLiteral("energy"), 0);
            for (uint32_t i = 0; i < 20; ++i)
                p->items.push_back(new TrackedEnergy(0, (packet + i) % 16));
            rig->push(p);
            taken += total(rig->ask(getView("immediate")));
        }
        QVERIFY(Rig<Image>::waitUntilConsumed());
        QCOMPARE(taken + total(rig->ask(getView("immediate"))), 4000);
        QCOMPARE(total(rig->ask(getView("immediate"))), 0);
        QCOMPARE(total(rig->ask(getView("cumulative"))), 4000);
        rig->feed(energyPacket({{5}}));
        QCOMPARE(rig->ask(command("reset")), kTrue);
        QCOMPARE(total(rig->ask(getView("cumulative"))), 0);
        QCOMPARE(rig->ask(getView("immediate")), oneCell(4, 4, 1, 1));
        QCOMPARE(rig->ask(getView("heatmap")), QString());
    }

    // Position: ratio = E(lower channel) / sum, row = round(rows x ratio) clamped, column = the
    // position of the pair's earlier payload; one scatter frame per payload, newest first.
    void positionCountsChargeDivision_data()
    {
        QTest::addColumn<QJsonArray>("more");
        QTest::addColumn<QList<int>>("events");   // channel, energy, channel, energy ...
        QTest::addColumn<int>("row");             // -1: nothing counted
        QTest::addColumn<int>("column");
        QTest::addColumn<QString>("scatter");
        const QJsonArray none;
        QTest::newRow("0.75 is row 3") << none << QList<int>{0, 300, 1, 100} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})";
        QTest::newRow("higher channel first") << none << QList<int>{1, 100, 0, 300} << 3 << 0 << R"({"data":[{"x":[0,0]},{"y":[0.75,0.75]}]})";
        QTest::newRow("0.6 is row 2") << none << QList<int>{0, 150, 1, 100} << 2 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.6,0.6]}]})";
        QTest::newRow("0.625 rounds up to 3") << none << QList<int>{0, 250, 1, 150} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.625,0.625]}]})";
        QTest::newRow("0.125 rounds up to 1") << none << QList<int>{2, 50, 3, 350} << 1 << 0 << R"({"data":[{"x":[0,0]},{"y":[0.125,0.125]}]})";
        QTest::newRow("ratio 1 is the last row") << none << QList<int>{0, 100, 1, 0} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[1,1]}]})";
        QTest::newRow("ratio 0 is row 0") << none << QList<int>{0, 0, 1, 100} << 0 << 1 << R"({"data":[{"x":[1,1]},{"y":[0,0]}]})";
        const QJsonArray cuts{parameter("energy_cut_min", 400), parameter("energy_cut_max", 404)};
        QTest::newRow("at cut_min") << cuts << QList<int>{0, 300, 1, 100} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})";
        QTest::newRow("at cut_max") << cuts << QList<int>{0, 303, 1, 101} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})";
        QTest::newRow("below cut_min") << cuts << QList<int>{0, 299, 1, 100} << -1 << 0 << R"({"data":[{"x":[]},{"y":[]}]})";
        QTest::newRow("above cut_max") << cuts << QList<int>{0, 304, 1, 101} << -1 << 0 << R"({"data":[{"x":[]},{"y":[]}]})";
        QTest::newRow("two zeros") << none << QList<int>{0, 0, 1, 0} << -1 << 0 << R"({"data":[{"x":[]},{"y":[]}]})";
        QTest::newRow("not partners") << none << QList<int>{0, 300, 2, 100} << -1 << 0 << R"({"data":[{"x":[]},{"y":[]}]})";
        QTest::newRow("repeated channel") << none << QList<int>{0, 300, 1, 100, 0, 5} << -1 << 0 << R"({"data":[{"x":[]},{"y":[]}]})";
        QTest::newRow("unpaired channel first") << none << QList<int>{7, 5, 0, 300, 1, 100} << 3 << 1 << R"({"data":[{"x":[1,1]},{"y":[0.75,0.75]}]})";
        QTest::newRow("unpaired channel last") << none << QList<int>{0, 300, 1, 100, 7, 5} << 3 << 1 << R"({"data":[{"x":[1,1,1]},{"y":[0.75,0.75,0.75]}]})";
    }
    void positionCountsChargeDivision()
    {
        QFETCH(QJsonArray, more);
        QFETCH(QList<int>, events);
        QFETCH(int, row);
        QFETCH(int, column);
        QFETCH(QString, scatter);
        auto rig = make("position", positionLayout(4, more));
        auto* packet = new DataPacket(QStringLiteral("energy"), 0);
        for (int i = 0; i < events.size(); i += 2)
            packet->items.push_back(new TrackedEnergy(0, uint32_t(events[i]), uint32_t(events[i + 1])));
        rig->feed(packet);
        QCOMPARE(rig->ask(getView("heatmap")), oneCell(4, 2, row, column));
        QCOMPARE(rig->ask(getView("scatter")), scatter);
        QCOMPARE(rig->ask(getView("scatter")), QStringLiteral(R"({"data":[{"x":[]},{"y":[]}]})"));   // read and cleared
    }

    // At most 101 frames are kept; reset drops them and zeroes the heat map.
    void positionKeeps101FramesUntilReset()
    {
        auto rig = make("position", positionLayout(4));
        auto* packet = energyPacket({{0, 300}, {1, 100}});
        for (uint32_t channel = 4; channel < 150; ++channel)
            packet->items.push_back(new TrackedEnergy(0, channel, 1));
        rig->feed(packet);   // 148 frames holding the one point
        const QJsonArray data = QJsonDocument::fromJson(rig->ask(getView("scatter")).toUtf8()).object().value("data").toArray();
        QCOMPARE(data.at(0).toObject().value("x").toArray().size(), 101);
        rig->feed(energyPacket({{0, 300}, {1, 100}}));
        QCOMPARE(rig->ask(command("reset")), kTrue);
        QCOMPARE(rig->ask(getView("heatmap")), oneCell(4, 2, -1, -1));
        QCOMPARE(rig->ask(getView("scatter")), QStringLiteral(R"({"data":[{"x":[]},{"y":[]}]})"));
        QCOMPARE(rig->ask(getView("immediate")), QString());
    }

    void refusesUnusableEntries_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("error");
        QTest::newRow("spectrum bins 0") << "spectrum" << sized(0, 2) << R"(key "bin_number": must be at least 1 (got 0))";
        QTest::newRow("tof channels -3") << "tof" << sized(16, -3) << R"(key "ch_number": must be at least 1 (got -3))";
        QTest::newRow("spectrum 1x1 is usable") << "spectrum" << sized(1, 1) << "";
        QTest::newRow("image without columns") << "image" << QJsonArray{parameter("y_positions", labels(2), "array")}
                                               << R"(key "x_positions": must list at least one column)";
        QTest::newRow("position y 0") << "position" << positionLayout(0) << R"(key "y_positions": must be at least 1 (got 0))";
        QTest::newRow("one position") << "position" << QJsonArray{parameter("positions", QJsonArray{0}, "array")}
                                      << R"(key "positions": needs at least two entries (got 1))";
        QTest::newRow("position beyond the columns") << "position" << QJsonArray{parameter("positions", QJsonArray{0, 1}, "array")}
                                                     << R"(key "positions": channel 1 is at column 1, outside the heat map's columns 0..0)";
        QTest::newRow("partner without position") << "position" << QJsonArray{parameter("positions", QJsonArray{0, 0}, "array"),
                                                                             parameter("correlated_channels", QJsonArray{1, 0, 3}, "array")}
                                                  << R"(key "correlated_channels": channel 2 has a partner but no "positions" entry)";
    }
    void refusesUnusableEntries()
    {
        QFETCH(QString, kind);
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, error);
        auto rig = make(kind, parameters, false);
        QCOMPARE(rig->error(), error);
        QCOMPARE(rig->ask(command("data_get_status")), error.isEmpty() ? kIdle : QString());   // no worker, no reply
    }
};

QTEST_GUILESS_MAIN(TestAnalysisBlocks)
#include "tst_analysis_blocks.moc"
