// The time-of-flight block's own binning: timestamp / binning, rounded to
// nearest. What it shares with the spectrum block is tested with that block.
#include "accumulating_block_harness.h"
#include "blocks/tof_histogram/time_distribution.h"

#include <QtTest>

using namespace analysis_test;
using TimeOfFlight = BlockHarness<time_distribution>;

namespace {
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
    void rereadingParametersChangesTheBinWidth();
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

void TestTimeDistribution::rereadingParametersChangesTheBinWidth()
{
    TimeOfFlight tof(tofEntry(10, 1, 10));
    tof.ask(runControl("freerun"));
    QVERIFY(tof.block().ReadParameters(QJsonObject{{"parameters", QJsonArray{parameter("binning", 2)}}}));
    tof.push({{0, 0, 10}});
    QVERIFY(tof.waitUntilConsumed());
    QCOMPARE(countedBins(tof.ask(getData({0}))), QList<int>{5});
}

QTEST_GUILESS_MAIN(TestTimeDistribution)
#include "tst_time_distribution.moc"
