// The spectrum and time-of-flight blocks as a client sees them: events in through
// the input pin, replies out of InterpretMessage. Their shared behaviour (run state,
// channel clamping, size checks, replies) runs over both: an event with value v
// counts in bin v of either, the spectrum binning energy_raw at gain 1, the
// time-of-flight block the timestamp at binning 1.
#include "accumulating_block_harness.h"
#include "blocks/spectrum/histogram.h"
#include "blocks/tof_histogram/time_distribution.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_waves.h"

#include <QtTest>

#include <iostream>
#include <sstream>

using namespace analysis_test;
using Spectrum = BlockHarness<Histogram>;
using TimeOfFlight = BlockHarness<time_distribution>;

namespace {
QJsonArray sized(int bins, int channels, const QJsonArray& more = {})
{
    QJsonArray parameters{parameter("bin_number", bins), parameter("ch_number", channels)};
    for (const QJsonValue& p : more)
        parameters.append(p);
    return parameters;
}

// Either block type, running, counting an event {channel, v} in bin v.
struct EitherHistogram {
    EitherHistogram(const QString& type, const QJsonArray& parameters)
    {
        if (type == "spectrum")
            harness = std::make_unique<Spectrum>(blockEntry("h", parameters), kRunning);
        else
            harness = std::make_unique<TimeOfFlight>(blockEntry("h", QJsonArray(parameters) += parameter("binning", 1)), kRunning);
    }
    void feed(const std::vector<std::pair<uint32_t, uint32_t>>& channelValues)
    {
        std::vector<Event> events;
        for (const auto& cv : channelValues)
            events.push_back({cv.first, cv.second, cv.second});
        harness->feed(events);
    }
    QString ask(const QString& message) { return harness->ask(message); }
    std::unique_ptr<AccumulatingHarness> harness;
};

void addBothTypes()
{
    QTest::addColumn<QString>("type");
    QTest::newRow("spectrum") << "spectrum";
    QTest::newRow("tof_histogram") << "tof_histogram";
}

// Captures what the code under test writes to std::cout.
class StdoutCapture {
public:
    StdoutCapture() : m_previous(std::cout.rdbuf(m_text.rdbuf())) {}
    ~StdoutCapture() { std::cout.rdbuf(m_previous); }
    QString text() const { return QString::fromStdString(m_text.str()); }

private:
    std::ostringstream m_text;
    std::streambuf* m_previous;
};

// The bins holding a count in the first histogram of a get_data reply, once per count.
QList<int> countedBins(const QString& reply)
{
    QList<int> bins;
    const QJsonArray counts = QJsonDocument::fromJson(reply.toUtf8()).array().at(0).toObject().value("data").toArray();
    for (int bin = 0; bin < counts.size(); ++bin)
        for (int n = 0; n < counts.at(bin).toInt(); ++n)
            bins.append(bin);
    return bins;
}
}  // namespace

class TestHistogram : public QObject {
    Q_OBJECT
private slots:
    // Shared by the spectrum and time-of-flight blocks.
    void countsOnlyWhileFreerun_data() { addBothTypes(); }
    void countsOnlyWhileFreerun()
    {
        QFETCH(QString, type);
        EitherHistogram histogram(type, sized(4, 1));
        QCOMPARE(histogram.harness->block().blockType(), type);
        histogram.feed({{0, 1}});
        QCOMPARE(histogram.ask(runControl("stop")), kTrue);
        QCOMPARE(histogram.ask(command("data_get_status")), kIdle);
        histogram.feed({{0, 2}});
        QCOMPARE(histogram.ask(getChannels({0})), QStringLiteral(R"([{"data":[0,1,0,0]}])"));
    }

    void clampsTheChannelToTheHistograms_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<uint>("channel");
        QTest::addColumn<QString>("reply");   // channels 0, 30, 31
        const QString first = R"([{"data":[0,1]},{"data":[0,0]},{"data":[0,0]}])";
        for (const char* type : {"spectrum", "tof_histogram"}) {
            QTest::addRow("%s: 40 is the last", type) << QString(type) << 40u << R"([{"data":[0,0]},{"data":[0,0]},{"data":[0,1]}])";
            QTest::addRow("%s: 30 is itself", type) << QString(type) << 30u << R"([{"data":[0,0]},{"data":[0,1]},{"data":[0,0]}])";
            QTest::addRow("%s: -1 is 0", type) << QString(type) << 0xFFFFFFFFu << first;
            QTest::addRow("%s: 2^31 is negative", type) << QString(type) << 0x80000000u << first;
        }
    }
    void clampsTheChannelToTheHistograms()
    {
        QFETCH(QString, type);
        QFETCH(uint, channel);
        QFETCH(QString, reply);
        EitherHistogram histogram(type, sized(2, 32));
        histogram.feed({{channel, 1}});
        QCOMPARE(histogram.ask(getChannels({31, 0, 30})), reply);
    }

    void resetZeroesEveryHistogramAndKeepsCounting_data() { addBothTypes(); }
    void resetZeroesEveryHistogramAndKeepsCounting()
    {
        QFETCH(QString, type);
        EitherHistogram histogram(type, sized(3, 2));
        histogram.feed({{0, 1}, {1, 2}, {1, 2}});
        QCOMPARE(histogram.ask(getChannels({0, 1})), QStringLiteral(R"([{"data":[0,1,0]},{"data":[0,0,2]}])"));
        QCOMPARE(histogram.ask(command("reset")), kTrue);
        QCOMPARE(histogram.ask(getChannels({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[0,0,0]}])"));
        QCOMPARE(histogram.ask(command("data_get_status")), kFreerun);
        histogram.feed({{1, 0}});
        QCOMPARE(histogram.ask(getChannels({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[1,0,0]}])"));
    }

    void skipsPayloadsThatAreNotEnergyEvents_data() { addBothTypes(); }
    void skipsPayloadsThatAreNotEnergyEvents()
    {
        QFETCH(QString, type);
        EitherHistogram histogram(type, sized(2, 1));
        auto* packet = new DataPacket(QStringLiteral("mixed"), 0);
        packet->items = {new QuarixPayload_RateCounters(2), new TrackedEnergy(0), new QuarixPayload_Waves()};
        histogram.harness->pushPacket(packet);
        QVERIFY(histogram.harness->waitUntilConsumed());
        QCOMPARE(histogram.ask(getChannels({0})), QStringLiteral(R"([{"data":[1,0]}])"));
    }

    void countsEveryEventWhileAClientReads_data() { addBothTypes(); }
    void countsEveryEventWhileAClientReads()
    {
        QFETCH(QString, type);
        EitherHistogram histogram(type, sized(64, 4));
        for (uint32_t packet = 0; packet < 200; ++packet) {
            std::vector<Event> events;
            for (uint32_t i = 0; i < 50; ++i)
                events.push_back({(packet + i) % 4, (packet * 7 + i) % 64, (packet * 7 + i) % 64});
            histogram.harness->push(events);
            QVERIFY(histogram.ask(getChannels({0, 1, 2, 3})).startsWith(QStringLiteral(R"([{"data":[)")));
        }
        QVERIFY(histogram.harness->waitUntilConsumed());
        int total = 0;
        for (const QJsonValue& entry : QJsonDocument::fromJson(histogram.ask(getChannels({0, 1, 2, 3})).toUtf8()).array())
            for (const QJsonValue& count : entry.toObject().value("data").toArray())
                total += count.toInt();
        QCOMPARE(total, 200 * 50);
    }

    void refusesUnusableSizes_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("error");
        for (const char* type : {"spectrum", "tof_histogram"}) {
            QTest::addRow("%s: bins 0", type) << QString(type) << sized(0, 2) << R"(key "bin_number": must be at least 1 (got 0))";
            QTest::addRow("%s: bins text", type) << QString(type) << sized(0, 2, {parameter("bin_number", "many")})
                << R"(key "bin_number": must be at least 1 (got 0))";
            QTest::addRow("%s: channels -3", type) << QString(type) << sized(16, -3) << R"(key "ch_number": must be at least 1 (got -3))";
            QTest::addRow("%s: later wins", type) << QString(type) << sized(16, 2, {parameter("ch_number", 0)})
                << R"(key "ch_number": must be at least 1 (got 0))";
        }
    }
    void refusesUnusableSizes()
    {
        QFETCH(QString, type);
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, error);
        std::unique_ptr<AccumulatingHarness> harness;
        if (type == "spectrum")
            harness = std::make_unique<Spectrum>(blockEntry("h", parameters));
        else
            harness = std::make_unique<TimeOfFlight>(blockEntry("h", parameters));
        QCOMPARE(harness->block().configurationError(), error);
        QCOMPARE(harness->ask(command("data_get_status")), QString());   // no worker, no histograms
    }

    // Channel 0 holds [4,0,1], channel 2 holds [0,7,0], channel 5 is empty.
    void repliesToGetDataInAscendingChannelOrder_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::newRow("[2,0]") << R"({"path":"p","args":[{"cmd":"get_data","channels":[2,0]}]})" << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
        QTest::newRow("none") << R"({"args":[{"cmd":"get_data"}]})" << "[]";
        QTest::newRow("[5,5]") << R"({"args":[{"cmd":"get_data","channels":[5,5]}]})" << R"([{"data":[0,0,0]}])";
        QTest::newRow("[-1,8,2]") << R"({"args":[{"cmd":"get_data","channels":[-1,8,2]}]})" << R"([{"data":[0,7,0]}])";
        QTest::newRow("not JSON") << "get_data" << "";
        QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"stop_dump"}]})" << "";
        QTest::newRow("single-command shape") << R"({"cmd":"data_get_status"})" << "";
    }
    void repliesToGetDataInAscendingChannelOrder()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        Spectrum spectrum(blockEntry("spectrum", sized(3, 8)), kRunning);
        spectrum.feed({{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}});
        QCOMPARE(spectrum.ask(message), reply);
    }

    // The spectrum's own binning: raw energy times gain, truncated and clamped, then the cuts.
    void spectrumCountsTheBinOfRawEnergyTimesGain_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<uint>("energyRaw");
        QTest::addColumn<QList<int>>("bins");   // of an 8-bin histogram
        auto p = [](const char* name, const QJsonValue& value) { return QJsonArray{parameter(name, value)}; };
        const QJsonArray halfGain = p("gain", 0.5);
        QTest::newRow("gain 0.5: 3.5 is bin 3") << halfGain << 7u << QList<int>{3};
        QTest::newRow("absent gain is 1") << QJsonArray{} << 5u << QList<int>{5};
        QTest::newRow("beyond the last bin") << QJsonArray{} << 100u << QList<int>{7};
        QTest::newRow("negative is bin 0") << p("gain", -1.0) << 5u << QList<int>{0};
        QTest::newRow("beyond 32 bits is bin 0") << p("gain", 2.0) << 4294967295u << QList<int>{0};
        QTest::newRow("just below 2^31 is the last") << halfGain << 4294967295u << QList<int>{7};
        QTest::newRow("gain text is 0") << p("gain", "twice") << 7u << QList<int>{0};
        QTest::newRow("overflow, cut_max 5") << p("energy_cut_max", 5) << 100u << QList<int>{};
        QTest::newRow("overflow, cut_max 7") << p("energy_cut_max", 7) << 100u << QList<int>{7};
        QTest::newRow("bin 3, cut_max 3") << (QJsonArray(halfGain) += parameter("energy_cut_max", 3)) << 7u << QList<int>{3};
        QTest::newRow("bin 3, cut_max 2.9") << (QJsonArray(halfGain) += parameter("energy_cut_max", 2.9)) << 7u << QList<int>{};
        QTest::newRow("cut_min inclusive") << p("energy_cut_min", 2) << 2u << QList<int>{2};
        QTest::newRow("below cut_min") << p("energy_cut_min", 2) << 1u << QList<int>{};
        QTest::newRow("negative, then cut_min 1") << QJsonArray{parameter("gain", -1), parameter("energy_cut_min", 1)} << 5u << QList<int>{};
    }
    void spectrumCountsTheBinOfRawEnergyTimesGain()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(uint, energyRaw);
        QFETCH(QList<int>, bins);
        StdoutCapture quiet;
        Spectrum spectrum(blockEntry("spectrum", sized(8, 1, parameters)), kRunning);
        spectrum.feed({{0, energyRaw}});
        QCOMPARE(countedBins(spectrum.ask(getChannels({0}))), bins);
    }

    void spectrumPrintsEachCutToStandardOutput_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("printed");
        QTest::newRow("no cuts") << QJsonArray{parameter("gain", 2)} << "";
        QTest::newRow("6 digits") << QJsonArray{parameter("energy_cut_max", 1234567)} << "Spectrum energy_cut_max: 1.23457e+06\n";
        QTest::newRow("entry order") << QJsonArray{parameter("energy_cut_max", 100), parameter("energy_cut_min", 0.125)}
                                     << "Spectrum energy_cut_max: 100\nSpectrum energy_cut_min: 0.125\n";
        QTest::newRow("repeated") << QJsonArray{parameter("energy_cut_min", 1), parameter("energy_cut_min", 2.5)}
                                  << "Spectrum energy_cut_min: 1\nSpectrum energy_cut_min: 2.5\n";
    }
    void spectrumPrintsEachCutToStandardOutput()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, printed);
        StdoutCapture capture;
        Spectrum spectrum(blockEntry("spectrum", sized(4, 1, parameters)));
        QCOMPARE(capture.text(), printed);
    }

    // The time-of-flight block's own binning: timestamp / binning, rounded half away from zero
    // (ordinary rounding and clamping are checked on the running server; here the limits).
    void timeOfFlightBinsTheTimestampOverTheBinning_data()
    {
        QTest::addColumn<QJsonValue>("binning");
        QTest::addColumn<quint64>("timestamp");
        QTest::addColumn<QList<int>>("bins");   // of a 100-bin histogram
        const QList<int> none;
        QTest::newRow("just below 2^31 is the last") << QJsonValue(10) << quint64(21474836470) << QList<int>{99};
        QTest::newRow("2^31 is dropped") << QJsonValue(10) << quint64(21474836480) << none;
        QTest::newRow("rounding to 2^31 is dropped") << QJsonValue(10) << quint64(21474836475) << none;
        QTest::newRow("largest timestamp is dropped") << QJsonValue(1) << quint64(0xFFFFFFFFFFFFFFFFull) << none;
        QTest::newRow("binning 0.5") << QJsonValue(0.5) << quint64(3) << QList<int>{6};
        QTest::newRow("binning 0") << QJsonValue(0) << quint64(14) << none;
        QTest::newRow("binning 0, timestamp 0") << QJsonValue(0) << quint64(0) << none;
        QTest::newRow("binning absent") << QJsonValue(QJsonValue::Undefined) << quint64(14) << none;
        QTest::newRow("binning text") << QJsonValue("wide") << quint64(14) << none;
        QTest::newRow("binning -10") << QJsonValue(-10) << quint64(14) << none;
        QTest::newRow("binning -10, timestamp 0") << QJsonValue(-10) << quint64(0) << QList<int>{0};
    }
    void timeOfFlightBinsTheTimestampOverTheBinning()
    {
        QFETCH(QJsonValue, binning);
        QFETCH(quint64, timestamp);
        QFETCH(QList<int>, bins);
        TimeOfFlight tof(blockEntry("tof", sized(100, 1,
                binning.isUndefined() ? QJsonArray{} : QJsonArray{parameter("binning", binning)})), kRunning);
        tof.feed({{0, 0, timestamp}});
        QCOMPARE(countedBins(tof.ask(getChannels({0}))), bins);
    }

    void timeOfFlightRereadsItsBinWidth()
    {
        TimeOfFlight tof(blockEntry("tof", sized(10, 1, {parameter("binning", 10)})), kRunning);
        QVERIFY(tof.block().ReadParameters(QJsonObject{{"parameters", QJsonArray{parameter("binning", 2)}}}));
        tof.feed({{0, 0, 10}});
        QCOMPARE(countedBins(tof.ask(getChannels({0}))), QList<int>{5});
    }
};

QTEST_GUILESS_MAIN(TestHistogram)
#include "tst_histogram.moc"
