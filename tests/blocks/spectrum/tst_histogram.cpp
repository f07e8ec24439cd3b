// The spectrum block as a client sees it: events in through its input pin,
// replies out of InterpretMessage. The spectrum and time-of-flight blocks share
// their run state, channel clamping, size checks and replies; those tests run
// over both. An event with value v counts in bin v of either: the spectrum
// bins energy_raw at gain 1, the time-of-flight block the timestamp at binning 1.
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

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");

QJsonArray sized(int bins, int channels, const QJsonArray& more = {})
{
    QJsonArray parameters{parameter("bin_number", bins), parameter("ch_number", channels)};
    for (const QJsonValue& p : more)
        parameters.append(p);
    return parameters;
}

QString getData(const QJsonArray& channels)
{
    return request(QJsonArray{QJsonObject{{"cmd", "get_data"}, {"channels", channels}}});
}

// Either block type, counting an event {channel, v} in bin v.
class EitherHistogram {
public:
    EitherHistogram(const QString& type, const QJsonArray& parameters)
    {
        if (type == "spectrum") {
            m_spectrum = std::make_unique<Spectrum>(blockEntry("h", parameters));
        } else {
            QJsonArray withBinning = parameters;
            withBinning.append(parameter("binning", 1));
            m_tof = std::make_unique<BlockHarness<time_distribution>>(blockEntry("h", withBinning));
        }
    }
    QuarixBlock& block() { return m_spectrum ? static_cast<QuarixBlock&>(m_spectrum->block()) : m_tof->block(); }
    QString ask(const QString& message) { return m_spectrum ? m_spectrum->ask(message) : m_tof->ask(message); }
    void push(const std::vector<std::pair<uint32_t, uint32_t>>& channelValues)
    {
        std::vector<Event> events;
        for (const auto& cv : channelValues)
            events.push_back({cv.first, cv.second, cv.second});
        m_spectrum ? m_spectrum->push(events) : m_tof->push(events);
    }
    void pushPacket(DataPacket* packet, int tracked)
    {
        m_spectrum ? m_spectrum->pushPacket(packet, tracked) : m_tof->pushPacket(packet, tracked);
    }
    std::atomic<int>* destroyedCounter() { return m_spectrum ? m_spectrum->destroyedCounter() : m_tof->destroyedCounter(); }
    bool waitUntilConsumed() { return m_spectrum ? m_spectrum->waitUntilConsumed() : m_tof->waitUntilConsumed(); }

private:
    std::unique_ptr<Spectrum> m_spectrum;
    std::unique_ptr<BlockHarness<time_distribution>> m_tof;
};

const char* const kBothTypes[] = {"spectrum", "tof_histogram"};

void addBothTypes()
{
    QTest::addColumn<QString>("type");
    for (const char* type : kBothTypes)
        QTest::newRow(type) << type;
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
}  // namespace

class TestHistogram : public QObject {
    Q_OBJECT
private slots:
    // Shared by the spectrum and time-of-flight blocks.
    void hasItsIdentity_data() { addBothTypes(); }
    void hasItsIdentity();
    void countsOnlyWhileFreerun_data() { addBothTypes(); }
    void countsOnlyWhileFreerun();
    void clampsTheChannelToTheHistograms_data();
    void clampsTheChannelToTheHistograms();
    void resetZeroesEveryHistogramAndKeepsTheRunState_data() { addBothTypes(); }
    void resetZeroesEveryHistogramAndKeepsTheRunState();
    void skipsPayloadsThatAreNotEnergyEvents_data() { addBothTypes(); }
    void skipsPayloadsThatAreNotEnergyEvents();
    void countsEveryEventWhileAClientReads_data() { addBothTypes(); }
    void countsEveryEventWhileAClientReads();
    void refusesUnusableSizes_data();
    void refusesUnusableSizes();
    void getDataListsRequestedChannelsInAscendingOrder_data();
    void getDataListsRequestedChannelsInAscendingOrder();
    void answersNothingToUnknownMessages_data();
    void answersNothingToUnknownMessages();

    // The spectrum's own binning.
    void countsTheBinOfRawEnergyTimesGain_data();
    void countsTheBinOfRawEnergyTimesGain();
    void cutsApplyToTheBinAfterGain_data();
    void cutsApplyToTheBinAfterGain();
    void printsEachCutToStandardOutput_data();
    void printsEachCutToStandardOutput();
};

void TestHistogram::hasItsIdentity()
{
    QFETCH(QString, type);
    EitherHistogram histogram(type, sized(4, 2));
    QCOMPARE(histogram.block().blockType(), type);
    QCOMPARE(histogram.block().Name(), QStringLiteral("h"));
    QCOMPARE(histogram.block().inputPins().size(), 1);
    QCOMPARE(histogram.block().inputPins().at(0)->name(), QStringLiteral("energy"));
    QVERIFY(histogram.block().outputPins().isEmpty());
    QVERIFY(histogram.block().configurationError().isEmpty());
}

void TestHistogram::countsOnlyWhileFreerun()
{
    QFETCH(QString, type);
    EitherHistogram histogram(type, sized(4, 1));
    QCOMPARE(histogram.ask(command("data_get_status")), kIdle);
    histogram.push({{0, 2}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0})), QStringLiteral(R"([{"data":[0,0,0,0]}])"));

    QCOMPARE(histogram.ask(runControl("freerun")), kTrue);
    QCOMPARE(histogram.ask(command("data_get_status")), kFreerun);
    histogram.push({{0, 1}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0,0]}])"));

    // Any other status, or none, returns the block to idle.
    QCOMPARE(histogram.ask(runControl("stop")), kTrue);
    QCOMPARE(histogram.ask(command("data_get_status")), kIdle);
    histogram.push({{0, 2}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0,0]}])"));
    QCOMPARE(histogram.ask(runControl("freerun")), kTrue);
    QCOMPARE(histogram.ask(command("run_control")), kTrue);
    QCOMPARE(histogram.ask(command("data_get_status")), kIdle);
}

void TestHistogram::clampsTheChannelToTheHistograms_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<uint>("channel");
    QTest::addColumn<QString>("reply");   // channels 0, 30, 31

    const QString first = R"([{"data":[0,1]},{"data":[0,0]},{"data":[0,0]}])";
    const QString last = R"([{"data":[0,0]},{"data":[0,0]},{"data":[0,1]}])";
    for (const char* type : kBothTypes) {
        auto row = [type](const char* name) -> QTestData& { return QTest::addRow("%s: %s", type, name) << QString(type); };
        row("channel 40 counts in the last histogram") << 40u << last;
        row("channel 31 is the last histogram") << 31u << last;
        row("channel 30 is itself") << 30u << R"([{"data":[0,0]},{"data":[0,1]},{"data":[0,0]}])";
        row("negative channel counts in histogram 0") << 0xFFFFFFFFu << first;
        row("channel 2^31 is negative") << 0x80000000u << first;
    }
}

void TestHistogram::clampsTheChannelToTheHistograms()
{
    QFETCH(QString, type);
    QFETCH(uint, channel);
    QFETCH(QString, reply);
    EitherHistogram histogram(type, sized(2, 32));
    histogram.ask(runControl("freerun"));
    histogram.push({{channel, 1}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({31, 0, 30})), reply);
}

void TestHistogram::resetZeroesEveryHistogramAndKeepsTheRunState()
{
    QFETCH(QString, type);
    EitherHistogram histogram(type, sized(3, 2));
    histogram.ask(runControl("freerun"));
    histogram.push({{0, 1}, {1, 2}, {1, 2}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,1,0]},{"data":[0,0,2]}])"));

    QCOMPARE(histogram.ask(command("reset")), kTrue);
    QCOMPARE(histogram.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[0,0,0]}])"));
    QCOMPARE(histogram.ask(command("data_get_status")), kFreerun);
    histogram.push({{1, 0}});
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[1,0,0]}])"));
}

void TestHistogram::skipsPayloadsThatAreNotEnergyEvents()
{
    QFETCH(QString, type);
    EitherHistogram histogram(type, sized(2, 1));
    histogram.ask(runControl("freerun"));
    auto* rates = new QuarixPayload_RateCounters(2);
    rates->timestamp = 1;
    auto* waves = new QuarixPayload_Waves();
    waves->timestamp = 1;
    auto* packet = new DataPacket(QStringLiteral("mixed"), 0);
    packet->items = {rates, new TrackedEnergy({0, 0, 0}, histogram.destroyedCounter()), waves};
    histogram.pushPacket(packet, 1);
    QVERIFY(histogram.waitUntilConsumed());
    QCOMPARE(histogram.ask(getData({0})), QStringLiteral(R"([{"data":[1,0]}])"));
}

void TestHistogram::countsEveryEventWhileAClientReads()
{
    QFETCH(QString, type);
    EitherHistogram histogram(type, sized(64, 4));
    histogram.ask(runControl("freerun"));
    for (uint32_t packet = 0; packet < 200; ++packet) {
        std::vector<std::pair<uint32_t, uint32_t>> events;
        for (uint32_t i = 0; i < 50; ++i)
            events.push_back({(packet + i) % 4, (packet * 7 + i) % 64});
        histogram.push(events);
        QVERIFY(histogram.ask(getData({0, 1, 2, 3})).startsWith(QStringLiteral(R"([{"data":[)")));
    }
    QVERIFY(histogram.waitUntilConsumed());
    int total = 0;
    for (const QJsonValue& entry : QJsonDocument::fromJson(histogram.ask(getData({0, 1, 2, 3})).toUtf8()).array()) {
        for (const QJsonValue& count : entry.toObject().value("data").toArray())
            total += count.toInt();
    }
    QCOMPARE(total, 200 * 50);
}

void TestHistogram::refusesUnusableSizes_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("error");

    const QString noBins = R"(key "bin_number": must be at least 1 (got 0))";
    for (const char* type : kBothTypes) {
        auto row = [type](const char* name) -> QTestData& { return QTest::addRow("%s: %s", type, name) << QString(type); };
        row("bin_number 0") << sized(0, 2) << noBins;
        row("bin_number absent") << QJsonArray{parameter("ch_number", 2)} << noBins;
        row("bin_number not a number") << QJsonArray{parameter("bin_number", "many"), parameter("ch_number", 2)}
                                       << noBins;
        row("ch_number absent") << QJsonArray{parameter("bin_number", 8)}
                                << R"(key "ch_number": must be at least 1 (got 0))";
        row("ch_number negative") << sized(16, -3) << R"(key "ch_number": must be at least 1 (got -3))";
        row("later element overrides a good one") << sized(16, 2, {parameter("ch_number", 0)})
                                                  << R"(key "ch_number": must be at least 1 (got 0))";
    }
}

void TestHistogram::refusesUnusableSizes()
{
    QFETCH(QString, type);
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, error);
    EitherHistogram histogram(type, parameters);
    QCOMPARE(histogram.block().configurationError(), error);
    // Without a worker the block has no histograms to answer from.
    QCOMPARE(histogram.ask(command("data_get_status")), QString());
    QCOMPARE(histogram.block().inputPins().size(), 1);
}

void TestHistogram::getDataListsRequestedChannelsInAscendingOrder_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reply");

    // Channel 0 holds [4,0,1], channel 2 holds [0,7,0], channel 5 is empty. How the argument
    // list is read is tested with the shared control code.
    QTest::newRow("channels [2, 0]: channel 0 first") << R"({"path":"p","args":[{"cmd":"get_data","channels":[2,0]}]})"
                                                      << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
    QTest::newRow("no channels") << R"({"args":[{"cmd":"get_data"}]})" << "[]";
    QTest::newRow("empty channels") << R"({"args":[{"cmd":"get_data","channels":[]}]})" << "[]";
    QTest::newRow("channel requested twice is listed once") << R"({"args":[{"cmd":"get_data","channels":[5,5]}]})"
                                                            << R"([{"data":[0,0,0]}])";
    QTest::newRow("numbers outside the channels are ignored")
        << R"({"args":[{"cmd":"get_data","channels":[-1,8,2]}]})" << R"([{"data":[0,7,0]}])";
    QTest::newRow("the last cmd wins") << R"({"args":[{"cmd":"reset"},{"cmd":"get_data","channels":[0]}]})"
                                       << R"([{"data":[4,0,1]}])";
}

void TestHistogram::getDataListsRequestedChannelsInAscendingOrder()
{
    QFETCH(QString, message);
    QFETCH(QString, reply);
    Spectrum spectrum(blockEntry("spectrum", sized(3, 8)));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(message), reply);
}

void TestHistogram::answersNothingToUnknownMessages_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << "get_data";
    QTest::newRow("no cmd") << R"({"args":[{"channels":[0]}]})";
    QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"get_everything"}]})";
    QTest::newRow("a file writer's cmd") << R"({"args":[{"cmd":"stop_dump"}]})";
    QTest::newRow("single-command shape") << R"({"cmd":"data_get_status"})";
}

void TestHistogram::answersNothingToUnknownMessages()
{
    QFETCH(QString, message);
    Spectrum spectrum(blockEntry("spectrum", sized(3, 2)));
    QCOMPARE(spectrum.ask(message), QString());
}

void TestHistogram::countsTheBinOfRawEnergyTimesGain_data()
{
    QTest::addColumn<QJsonValue>("gain");
    QTest::addColumn<uint>("energyRaw");
    QTest::addColumn<QString>("reply");

    QTest::newRow("gain 0.5 truncates 3.5 to bin 3") << QJsonValue(0.5) << 7u << R"([{"data":[0,0,0,1,0,0,0,0]}])";
    QTest::newRow("absent gain is 1") << QJsonValue(QJsonValue::Undefined) << 5u << R"([{"data":[0,0,0,0,0,1,0,0]}])";
    QTest::newRow("gain 2.5 truncates 2.5 to bin 2") << QJsonValue(2.5) << 1u << R"([{"data":[0,0,1,0,0,0,0,0]}])";
    QTest::newRow("beyond the last bin piles up in it") << QJsonValue(1.0) << 100u << R"([{"data":[0,0,0,0,0,0,0,1]}])";
    QTest::newRow("negative product goes to bin 0") << QJsonValue(-1.0) << 5u << R"([{"data":[1,0,0,0,0,0,0,0]}])";
    QTest::newRow("product beyond 32 bits goes to bin 0") << QJsonValue(2.0) << 4294967295u
                                                          << R"([{"data":[1,0,0,0,0,0,0,0]}])";
    QTest::newRow("product just below 2^31 goes to the last bin") << QJsonValue(0.5) << 4294967295u
                                                                  << R"([{"data":[0,0,0,0,0,0,0,1]}])";
    QTest::newRow("gain that is not a number is 0") << QJsonValue("twice") << 7u << R"([{"data":[1,0,0,0,0,0,0,0]}])";
}

void TestHistogram::countsTheBinOfRawEnergyTimesGain()
{
    QFETCH(QJsonValue, gain);
    QFETCH(uint, energyRaw);
    QFETCH(QString, reply);
    Spectrum spectrum(blockEntry("spectrum", sized(8, 1, gain.isUndefined() ? QJsonArray{} : QJsonArray{parameter("gain", gain)})));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, energyRaw}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), reply);
}

void TestHistogram::cutsApplyToTheBinAfterGain_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<uint>("energyRaw");
    QTest::addColumn<QString>("reply");

    const QString none = R"([{"data":[0,0,0,0,0,0,0,0]}])";
    QTest::newRow("overflow with cut_max below the last bin is dropped")
        << QJsonArray{parameter("energy_cut_max", 5)} << 100u << none;
    QTest::newRow("overflow with cut_max at the last bin is counted")
        << QJsonArray{parameter("energy_cut_max", 7)} << 100u << R"([{"data":[0,0,0,0,0,0,0,1]}])";
    QTest::newRow("raw 7 at gain 0.5 passes cut_max 3") << QJsonArray{parameter("gain", 0.5), parameter("energy_cut_max", 3)}
                                                        << 7u << R"([{"data":[0,0,0,1,0,0,0,0]}])";
    QTest::newRow("raw 7 at gain 0.5 fails cut_max 2.9")
        << QJsonArray{parameter("gain", 0.5), parameter("energy_cut_max", 2.9)} << 7u << none;
    QTest::newRow("cut_min is inclusive") << QJsonArray{parameter("energy_cut_min", 2)} << 2u
                                          << R"([{"data":[0,0,1,0,0,0,0,0]}])";
    QTest::newRow("below cut_min is dropped") << QJsonArray{parameter("energy_cut_min", 2)} << 1u << none;
    QTest::newRow("negative product lands in bin 0 before the cut")
        << QJsonArray{parameter("gain", -1), parameter("energy_cut_min", 1)} << 5u << none;
    QTest::newRow("later element overrides earlier")
        << QJsonArray{parameter("energy_cut_max", 1), parameter("energy_cut_max", 7)} << 6u
        << R"([{"data":[0,0,0,0,0,0,1,0]}])";
}

void TestHistogram::cutsApplyToTheBinAfterGain()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(uint, energyRaw);
    QFETCH(QString, reply);
    StdoutCapture quiet;
    Spectrum spectrum(blockEntry("spectrum", sized(8, 1, parameters)));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, energyRaw}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), reply);
}

void TestHistogram::printsEachCutToStandardOutput_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("printed");

    QTest::newRow("no cuts, nothing printed") << QJsonArray{parameter("gain", 2)} << "";
    QTest::newRow("cut_min") << QJsonArray{parameter("energy_cut_min", 2.5)} << "Spectrum energy_cut_min: 2.5\n";
    QTest::newRow("six significant digits")
        << QJsonArray{parameter("energy_cut_max", 1234567)} << "Spectrum energy_cut_max: 1.23457e+06\n";
    QTest::newRow("both, in entry order") << QJsonArray{parameter("energy_cut_max", 100), parameter("energy_cut_min", 0.125)}
                                          << "Spectrum energy_cut_max: 100\nSpectrum energy_cut_min: 0.125\n";
    QTest::newRow("not a number reads as 0") << QJsonArray{parameter("energy_cut_min", "low")}
                                             << "Spectrum energy_cut_min: 0\n";
    QTest::newRow("repeated cut printed each time")
        << QJsonArray{parameter("energy_cut_min", 1), parameter("energy_cut_min", 3)}
        << "Spectrum energy_cut_min: 1\nSpectrum energy_cut_min: 3\n";
}

void TestHistogram::printsEachCutToStandardOutput()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, printed);
    StdoutCapture capture;
    Spectrum spectrum(blockEntry("spectrum", sized(4, 1, parameters)));
    QCOMPARE(capture.text(), printed);
}

QTEST_GUILESS_MAIN(TestHistogram)
#include "tst_histogram.moc"
