// The spectrum block as a client sees it: events in through its input pin,
// replies out of InterpretMessage.
#include "accumulating_block_harness.h"
#include "blocks/spectrum/histogram.h"

#include <QtTest>

#include <iostream>
#include <sstream>

using namespace analysis_test;
using Spectrum = BlockHarness<Histogram>;

namespace {
const QString kTrue = QStringLiteral(R"([{"response": true}])");
const QString kIdle = QStringLiteral(R"([{"response": true, "status":"idle"}])");
const QString kFreerun = QStringLiteral(R"([{"response": true, "status":"freerun"}])");

QJsonObject spectrumEntry(int bins, int channels, const QJsonArray& more = {})
{
    QJsonArray parameters{parameter("bin_number", bins), parameter("ch_number", channels)};
    for (const QJsonValue& p : more)
        parameters.append(p);
    return blockEntry("spectrum", parameters);
}

QString getData(const QJsonArray& channels)
{
    return request(QJsonArray{QJsonObject{{"cmd", "get_data"}, {"channels", channels}}});
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
    void freshBlockIsIdleAndCountsNothing();
    void countsOnlyWhileFreerun();
    void countsTheBinOfRawEnergyTimesGain_data();
    void countsTheBinOfRawEnergyTimesGain();
    void cutsApplyToTheBinAfterGain_data();
    void cutsApplyToTheBinAfterGain();
    void clampsTheChannelToTheSpectra_data();
    void clampsTheChannelToTheSpectra();
    void getDataListsRequestedChannelsInAscendingOrder_data();
    void getDataListsRequestedChannelsInAscendingOrder();
    void resetZeroesEverySpectrumAndKeepsTheRunState();
    void countsEveryEventWhileAClientReads();
    void answersNothingToUnknownMessages_data();
    void answersNothingToUnknownMessages();
    void printsEachCutToStandardOutput_data();
    void printsEachCutToStandardOutput();
    void refusesUnusableSizes_data();
    void refusesUnusableSizes();
    void hasTheSpectrumIdentity();
};

void TestHistogram::freshBlockIsIdleAndCountsNothing()
{
    Spectrum spectrum(spectrumEntry(4, 1));
    QCOMPARE(spectrum.ask(command("data_get_status")), kIdle);

    spectrum.push({{0, 1}, {0, 2}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), QStringLiteral(R"([{"data":[0,0,0,0]}])"));
}

void TestHistogram::countsOnlyWhileFreerun()
{
    Spectrum spectrum(spectrumEntry(4, 1));
    QCOMPARE(spectrum.ask(runControl("freerun")), kTrue);
    QCOMPARE(spectrum.ask(command("data_get_status")), kFreerun);
    spectrum.push({{0, 1}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0,0]}])"));

    // Any other status, or none, returns the block to idle.
    QCOMPARE(spectrum.ask(runControl("stop")), kTrue);
    QCOMPARE(spectrum.ask(command("data_get_status")), kIdle);
    spectrum.push({{0, 2}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), QStringLiteral(R"([{"data":[0,1,0,0]}])"));

    QCOMPARE(spectrum.ask(runControl("freerun")), kTrue);
    QCOMPARE(spectrum.ask(command("run_control")), kTrue);
    QCOMPARE(spectrum.ask(command("data_get_status")), kIdle);
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

    Spectrum spectrum(spectrumEntry(8, 1, gain.isUndefined() ? QJsonArray{} : QJsonArray{parameter("gain", gain)}));
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
    QTest::newRow("raw 7 at gain 0.5 passes cut_max 3")
        << QJsonArray{parameter("gain", 0.5), parameter("energy_cut_max", 3)} << 7u
        << R"([{"data":[0,0,0,1,0,0,0,0]}])";
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
    Spectrum spectrum(spectrumEntry(8, 1, parameters));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, energyRaw}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0})), reply);
}

void TestHistogram::clampsTheChannelToTheSpectra_data()
{
    QTest::addColumn<uint>("channel");
    QTest::addColumn<QString>("reply");   // channels 0, 30, 31

    const QString first = R"([{"data":[0,1]},{"data":[0,0]},{"data":[0,0]}])";
    const QString last = R"([{"data":[0,0]},{"data":[0,0]},{"data":[0,1]}])";
    QTest::newRow("channel 40 counts in the last spectrum") << 40u << last;
    QTest::newRow("channel 31 is the last spectrum") << 31u << last;
    QTest::newRow("channel 30 is itself") << 30u << R"([{"data":[0,0]},{"data":[0,1]},{"data":[0,0]}])";
    QTest::newRow("negative channel counts in spectrum 0") << 0xFFFFFFFFu << first;
    QTest::newRow("channel 2^31 is negative") << 0x80000000u << first;
}

void TestHistogram::clampsTheChannelToTheSpectra()
{
    QFETCH(uint, channel);
    QFETCH(QString, reply);

    Spectrum spectrum(spectrumEntry(2, 32));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{channel, 1}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({31, 0, 30})), reply);
}

void TestHistogram::getDataListsRequestedChannelsInAscendingOrder_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reply");

    // Channel 0 holds [4,0,1], channel 2 holds [0,7,0], channel 5 is empty.
    QTest::newRow("channels [2, 0]: channel 0 first") << R"({"path":"p","args":[{"cmd":"get_data","channels":[2,0]}]})"
                                                      << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
    QTest::newRow("no channels") << R"({"args":[{"cmd":"get_data"}]})" << "[]";
    QTest::newRow("empty channels") << R"({"args":[{"cmd":"get_data","channels":[]}]})" << "[]";
    QTest::newRow("channel requested twice is listed once") << R"({"args":[{"cmd":"get_data","channels":[5,5]}]})"
                                                            << R"([{"data":[0,0,0]}])";
    QTest::newRow("numbers outside the channels are ignored")
        << R"({"args":[{"cmd":"get_data","channels":[-1,8,2]}]})" << R"([{"data":[0,7,0]}])";
    QTest::newRow("channels accumulate over elements")
        << R"({"args":[{"cmd":"get_data"},{"channels":[2]},{"channels":[0]}]})"
        << R"([{"data":[4,0,1]},{"data":[0,7,0]}])";
    QTest::newRow("a channel that is not a number is 0") << R"({"args":[{"cmd":"get_data","channels":["two"]}]})"
                                                         << R"([{"data":[4,0,1]}])";
    QTest::newRow("the last cmd wins") << R"({"args":[{"cmd":"reset"},{"cmd":"get_data","channels":[0]}]})"
                                       << R"([{"data":[4,0,1]}])";
}

void TestHistogram::getDataListsRequestedChannelsInAscendingOrder()
{
    QFETCH(QString, message);
    QFETCH(QString, reply);

    Spectrum spectrum(spectrumEntry(3, 8));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 2}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(message), reply);
}

void TestHistogram::resetZeroesEverySpectrumAndKeepsTheRunState()
{
    Spectrum spectrum(spectrumEntry(3, 2));
    spectrum.ask(runControl("freerun"));
    spectrum.push({{0, 1}, {1, 2}, {1, 2}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,1,0]},{"data":[0,0,2]}])"));

    QCOMPARE(spectrum.ask(command("reset")), kTrue);
    QCOMPARE(spectrum.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[0,0,0]}])"));
    QCOMPARE(spectrum.ask(command("data_get_status")), kFreerun);

    spectrum.push({{1, 0}});
    QVERIFY(spectrum.waitUntilConsumed());
    QCOMPARE(spectrum.ask(getData({0, 1})), QStringLiteral(R"([{"data":[0,0,0]},{"data":[1,0,0]}])"));
}

void TestHistogram::countsEveryEventWhileAClientReads()
{
    Spectrum spectrum(spectrumEntry(64, 4));
    spectrum.ask(runControl("freerun"));
    for (uint32_t packet = 0; packet < 200; ++packet) {
        std::vector<Event> events;
        for (uint32_t i = 0; i < 50; ++i)
            events.push_back({(packet + i) % 4, (packet * 7 + i) % 64});
        spectrum.push(events);
        QVERIFY(spectrum.ask(getData({0, 1, 2, 3})).startsWith(QStringLiteral(R"([{"data":[)")));
    }
    QVERIFY(spectrum.waitUntilConsumed());
    const QJsonArray spectra = QJsonDocument::fromJson(spectrum.ask(getData({0, 1, 2, 3})).toUtf8()).array();
    int total = 0;
    for (const QJsonValue& entry : spectra) {
        for (const QJsonValue& count : entry.toObject().value("data").toArray())
            total += count.toInt();
    }
    QCOMPARE(total, 200 * 50);
}

void TestHistogram::answersNothingToUnknownMessages_data()
{
    QTest::addColumn<QString>("message");
    QTest::newRow("not JSON") << "get_data";
    QTest::newRow("no args") << R"({"path":"p"})";
    QTest::newRow("no cmd") << R"({"args":[{"channels":[0]}]})";
    QTest::newRow("unknown cmd") << R"({"args":[{"cmd":"get_everything"}]})";
    QTest::newRow("single-command shape") << R"({"cmd":"data_get_status"})";
    QTest::newRow("args not an array") << R"({"args":{"cmd":"data_get_status"}})";
    QTest::newRow("cmd not a string") << R"({"args":[{"cmd":7}]})";
}

void TestHistogram::answersNothingToUnknownMessages()
{
    QFETCH(QString, message);
    Spectrum spectrum(spectrumEntry(3, 2));
    QCOMPARE(spectrum.ask(message), QString());
}

void TestHistogram::printsEachCutToStandardOutput_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("printed");

    QTest::newRow("no cuts, nothing printed") << QJsonArray{parameter("gain", 2)} << "";
    QTest::newRow("cut_min") << QJsonArray{parameter("energy_cut_min", 2.5)} << "Spectrum energy_cut_min: 2.5\n";
    QTest::newRow("six significant digits")
        << QJsonArray{parameter("energy_cut_max", 1234567)} << "Spectrum energy_cut_max: 1.23457e+06\n";
    QTest::newRow("both, in entry order")
        << QJsonArray{parameter("energy_cut_max", 100), parameter("energy_cut_min", 0.125)}
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
    Spectrum spectrum(spectrumEntry(4, 1, parameters));
    QCOMPARE(capture.text(), printed);
}

void TestHistogram::refusesUnusableSizes_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<QString>("error");

    QTest::newRow("bin_number 0") << QJsonArray{parameter("bin_number", 0), parameter("ch_number", 2)}
                                  << R"(key "bin_number": must be at least 1 (got 0))";
    QTest::newRow("bin_number absent") << QJsonArray{parameter("ch_number", 2)}
                                       << R"(key "bin_number": must be at least 1 (got 0))";
    QTest::newRow("bin_number not a number") << QJsonArray{parameter("bin_number", "many"), parameter("ch_number", 2)}
                                             << R"(key "bin_number": must be at least 1 (got 0))";
    QTest::newRow("ch_number negative") << QJsonArray{parameter("bin_number", 16), parameter("ch_number", -3)}
                                        << R"(key "ch_number": must be at least 1 (got -3))";
    QTest::newRow("later element overrides a good one")
        << QJsonArray{parameter("bin_number", 16), parameter("ch_number", 2), parameter("ch_number", 0)}
        << R"(key "ch_number": must be at least 1 (got 0))";
}

void TestHistogram::refusesUnusableSizes()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(QString, error);

    Spectrum spectrum(blockEntry("spectrum", parameters));
    QCOMPARE(spectrum.block().configurationError(), error);
    // Without a worker the block has no spectra to answer from.
    QCOMPARE(spectrum.ask(command("data_get_status")), QString());
    QCOMPARE(spectrum.block().inputPins().size(), 1);
}

void TestHistogram::hasTheSpectrumIdentity()
{
    Spectrum spectrum(blockEntry("energy_view", {parameter("bin_number", 4), parameter("ch_number", 2)}));
    QCOMPARE(spectrum.block().blockType(), QStringLiteral("spectrum"));
    QCOMPARE(spectrum.block().Name(), QStringLiteral("energy_view"));
    QCOMPARE(spectrum.block().FullPath(), QStringLiteral("processing/0/filter_chain/main/chain/block"));
    QCOMPARE(spectrum.block().inputPins().size(), 1);
    QCOMPARE(spectrum.block().inputPins().at(0)->name(), QStringLiteral("energy"));
    QVERIFY(spectrum.block().outputPins().isEmpty());
    QVERIFY(spectrum.block().configurationError().isEmpty());
}

QTEST_GUILESS_MAIN(TestHistogram)
#include "tst_histogram.moc"
