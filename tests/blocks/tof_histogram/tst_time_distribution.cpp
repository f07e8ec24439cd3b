// The time-of-flight block as a client sees it: it bins timestamp / binning,
// rounded to nearest, and shares the spectrum block's messages and replies.
#include "accumulating_block_harness.h"
#include "blocks/tof_histogram/time_distribution.h"

#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_waves.h"

#include <QtTest>

using namespace analysis_test;
using TimeOfFlight = BlockHarness<time_distribution>;

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");

QJsonObject tofEntry(int bins, int channels, const QJsonValue& binning)
{
    QJsonArray parameters{parameter("bin_number", bins), parameter("ch_number", channels)};
    if (!binning.isUndefined())
        parameters.append(parameter("binning", binning));
    return blockEntry("tof", parameters);
}

QString getData(const QJsonArray& channels)
{
    return request(QJsonArray{QJsonObject{{"cmd", "get_data"}, {"channels", channels}}});
}

// The bins holding a count in the first histogram of a get_data reply, each
// listed once per count.
QList<int> countedBins(const QString& reply)
{
    QList<int> bins;
    const QJsonArray counts =
        QJsonDocument::fromJson(reply.toUtf8()).array().at(0).toObject().value("data").toArray();
    for (int bin = 0; bin < counts.size(); ++bin) {
        for (int n = 0; n < counts.at(bin).toInt(); ++n)
            bins.append(bin);
    }
    return bins;
}
}  // namespace

class TestTimeDistribution : public QObject {
    Q_OBJECT
private slots:
    void binsTheTimestampOverTheBinning_data();
    void binsTheTimestampOverTheBinning();
    void clampsTheChannelToTheHistograms_data();
    void clampsTheChannelToTheHistograms();
    void countsOnlyWhileFreerun();
    void repliesLikeTheSpectrumBlock();
    void resetZeroesEveryHistogram();
    void skipsPayloadsThatAreNotEnergyEvents();
    void rereadingParametersChangesTheBinWidth();
    void refusesUnusableSizes_data();
    void refusesUnusableSizes();
};

void TestTimeDistribution::binsTheTimestampOverTheBinning_data()
{
    QTest::addColumn<QJsonValue>("binning");
    QTest::addColumn<quint64>("timestamp");
    QTest::addColumn<QList<int>>("bins");   // of a 100-bin histogram

    const QList<int> none;
    QTest::newRow("14 rounds down to bin 1") << QJsonValue(10) << quint64(14) << QList<int>{1};
    QTest::newRow("15 ties away from zero to bin 2") << QJsonValue(10) << quint64(15) << QList<int>{2};
    QTest::newRow("timestamp 0 is bin 0") << QJsonValue(10) << quint64(0) << QList<int>{0};
    QTest::newRow("5000 piles up in bin 99") << QJsonValue(10) << quint64(5000) << QList<int>{99};
    QTest::newRow("quotient just below 2^31 piles up in bin 99") << QJsonValue(10) << quint64(21474836470)
                                                                 << QList<int>{99};
    QTest::newRow("quotient 2^31 is not counted") << QJsonValue(10) << quint64(21474836480) << none;
    QTest::newRow("quotient rounding up to 2^31 is not counted") << QJsonValue(10) << quint64(21474836475) << none;
    QTest::newRow("largest timestamp is not counted") << QJsonValue(1) << quint64(0xFFFFFFFFFFFFFFFFull) << none;
    QTest::newRow("fractional binning") << QJsonValue(0.5) << quint64(3) << QList<int>{6};
    QTest::newRow("binning 0 counts nothing") << QJsonValue(0) << quint64(14) << none;
    QTest::newRow("binning 0 counts nothing at timestamp 0") << QJsonValue(0) << quint64(0) << none;
    QTest::newRow("absent binning counts nothing") << QJsonValue(QJsonValue::Undefined) << quint64(14) << none;
    QTest::newRow("binning that is not a number counts nothing") << QJsonValue("wide") << quint64(14) << none;
    QTest::newRow("negative binning drops positive timestamps") << QJsonValue(-10) << quint64(14) << none;
    QTest::newRow("negative binning counts timestamp 0 in bin 0") << QJsonValue(-10) << quint64(0) << QList<int>{0};
}

void TestTimeDistribution::binsTheTimestampOverTheBinning()
{
    QFETCH(QJsonValue, binning);
    QFETCH(quint64, timestamp);
    QFETCH(QList<int>, bins);

    TimeOfFlight tof(tofEntry(100, 1, binning));
    tof.ask(runControl("freerun"));
    tof.push({{0, 0, timestamp}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(countedBins(tof.ask(getData({0}))), bins);
}

void TestTimeDistribution::clampsTheChannelToTheHistograms_data()
{
    QTest::addColumn<uint>("channel");
    QTest::addColumn<QString>("reply");   // channels 0 and 31

    QTest::newRow("channel 40 counts in histogram 31") << 40u << R"([{"data":[0,0]},{"data":[0,1]}])";
    QTest::newRow("negative channel counts in histogram 0") << 0xFFFFFFF0u << R"([{"data":[0,1]},{"data":[0,0]}])";
}

void TestTimeDistribution::clampsTheChannelToTheHistograms()
{
    QFETCH(uint, channel);
    QFETCH(QString, reply);

    TimeOfFlight tof(tofEntry(2, 32, 10));
    tof.ask(runControl("freerun"));
    tof.push({{channel, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0, 31})), reply);
}

void TestTimeDistribution::countsOnlyWhileFreerun()
{
    TimeOfFlight tof(tofEntry(3, 1, 10));
    QCOMPARE(tof.ask(command("data_get_status")), kIdle);
    tof.push({{0, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0})), QStringLiteral(R"([{"data":[0,0,0]}])"));

    QCOMPARE(tof.ask(runControl("freerun")), kTrue);
    QCOMPARE(tof.ask(command("data_get_status")), kFreerun);
    tof.push({{0, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0]}])"));

    QCOMPARE(tof.ask(runControl("idle")), kTrue);
    tof.push({{0, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0]}])"));
}

void TestTimeDistribution::repliesLikeTheSpectrumBlock()
{
    TimeOfFlight tof(tofEntry(3, 4, 1));
    tof.ask(runControl("freerun"));
    tof.push({{0, 0, 0}, {0, 0, 0}, {0, 0, 2}, {2, 0, 1}, {2, 0, 1}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({2, 0, 2, 9})), QStringLiteral(R"([{"data":[2,0,1]},{"data":[0,2,0]}])"));
    QCOMPARE(tof.ask(command("get_data")), QStringLiteral("[]"));
    QCOMPARE(tof.ask(command("stop_dump")), QString());
    QCOMPARE(tof.ask("not json"), QString());
}

void TestTimeDistribution::resetZeroesEveryHistogram()
{
    TimeOfFlight tof(tofEntry(2, 2, 1));
    tof.ask(runControl("freerun"));
    tof.push({{0, 0, 1}, {1, 0, 0}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,1]},{"data":[1,0]}])"));
    QCOMPARE(tof.ask(command("reset")), kTrue);
    QCOMPARE(tof.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,0]},{"data":[0,0]}])"));
    QCOMPARE(tof.ask(command("data_get_status")), kFreerun);
}

void TestTimeDistribution::skipsPayloadsThatAreNotEnergyEvents()
{
    TimeOfFlight tof(tofEntry(2, 1, 1));
    tof.ask(runControl("freerun"));
    auto* rates = new QuarixPayload_RateCounters(2);
    rates->timestamp = 1;
    auto* waves = new QuarixPayload_Waves();
    waves->timestamp = 1;
    auto* packet = new DataPacket(QStringLiteral("mixed"), 0);
    packet->items = {rates, new TrackedEnergy({0, 0, 0}, tof.destroyedCounter()), waves};
    tof.pushPacket(packet, 1);
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(tof.ask(getData({0})), QStringLiteral(R"([{"data":[1,0]}])"));
}

void TestTimeDistribution::rereadingParametersChangesTheBinWidth()
{
    TimeOfFlight tof(tofEntry(10, 1, 10));
    tof.ask(runControl("freerun"));
    QVERIFY(tof.block().ReadParameters(QJsonObject{{"parameters", QJsonArray{parameter("binning", 2)}}}));
    tof.push({{0, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(countedBins(tof.ask(getData({0}))), QList<int>{5});
}

void TestTimeDistribution::refusesUnusableSizes_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("error");

    QTest::newRow("bin_number 0") << QJsonArray{parameter("bin_number", 0), parameter("ch_number", 2)}
                                  << R"(key "bin_number": must be at least 1 (got 0))";
    QTest::newRow("ch_number absent") << QJsonArray{parameter("bin_number", 8), parameter("binning", 10)}
                                      << R"(key "ch_number": must be at least 1 (got 0))";
}

void TestTimeDistribution::refusesUnusableSizes()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, error);

    TimeOfFlight tof(blockEntry("tof", parameters));
    QCOMPARE(tof.block().configurationError(), error);
    QCOMPARE(tof.ask(command("data_get_status")), QString());
    QCOMPARE(tof.block().blockType(), QStringLiteral("tof_histogram"));
}

QTEST_GUILESS_MAIN(TestTimeDistribution)
#include "tst_time_distribution.moc"
