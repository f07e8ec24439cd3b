// Data delivered by the simulated board: record kinds and their invariants,
// run control, rate counters, determinism, the read and free hand-shake and
// concurrent use of one handle, through the entry points the server calls.
#include "sim_plugin.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const SimPlugin& plugin() { return SimPlugin::instance(); }

uint32_t startedBoard(const QByteArray& connection, const QByteArray& endpoint)
{
    const uint32_t board = plugin().openBoard(connection);
    if (board != 0)
        plugin().send(board, "endpoints\\" + endpoint + "\\start");
    return board;
}

template <typename T>
void appendBytes(QByteArray& out, const T& value)
{
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Everything a read delivered, as bytes: entry headers, records and samples.
QByteArray fingerprint(const BoardRead& read, const QString& kind)
{
    QByteArray out;
    for (int i = 0; i < read.count(); ++i) {
        appendBytes(out, read.entry(i).header0);
        appendBytes(out, read.entry(i).header1);
        if (kind == "energy") {
            appendBytes(out, read.record<readout::EnergyEvent>(i));
        } else if (kind == "energy_pair") {
            appendBytes(out, read.record<readout::EnergyPair>(i));
        } else if (kind == "waveform") {
            const auto& wave = read.record<readout::Waveform>(i);
            const int samples = wave.n_samples * wave.n_traces;
            appendBytes(out, wave.timestamp);
            appendBytes(out, wave.header64);
            appendBytes(out, wave.header32a);
            appendBytes(out, wave.header32b);
            out.append(reinterpret_cast<const char*>(wave.traces->analog), samples * 4);
            out.append(reinterpret_cast<const char*>(wave.traces->digital), samples * 4);
        }
    }
    return out;
}

struct Counters {
    std::vector<uint64_t> in, out;
};

Counters snapshot(uint32_t board, const QByteArray& path)
{
    Counters result;
    BoardRead read(board, path, 0);
    if (read.count() != 1)
        return result;
    const auto& record = read.record<readout::RateCounters>(0);
    result.in.assign(record.counters_in, record.counters_in + record.n_channels);
    result.out.assign(record.counters_out, record.counters_out + record.n_channels);
    return result;
}

}  // namespace

class TestSimBoardReadout : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void endpointNameSelectsRecordKind_data();
    void endpointNameSelectsRecordKind();
    void readOfAPathThatIsNoEndpointFails_data();
    void readOfAPathThatIsNoEndpointFails();

    void endpointsDeliverOnlyWhileStarted();
    void boardCommandsReachEveryEndpoint();
    void aStoppedReadReturnsSoonWithNothingOutstanding();
    void rateModeDeliversEventsAsTimePasses();
    void rateZeroDeliversFullBatches();
    void tunableChangesApplyFromTheNextRead();

    void energyEventsAreWellFormed();
    void pairRecordsAreWellFormed();
    void waveformGroupsAreWellFormed();
    void groupsWithoutSamplesOrTracesAreStillDelivered_data();
    void groupsWithoutSamplesOrTracesAreStillDelivered();

    void rateCountersMatchTheDeliveredEvents();
    void resetClearsTheRateCounters_data();
    void resetClearsTheRateCounters();
    void energyResetRestartsTimeAndSequenceButKeepsCounters();

    void sameSeedGivesIdenticalData_data();
    void sameSeedGivesIdenticalData();

    void deliveredDataStaysValidUntilFreed();
    void freeOfAnUnknownListFails_data();
    void freeOfAnUnknownListFails();

    void concurrentReadsAndCommandsOnOneHandle();
};

void TestSimBoardReadout::initTestCase()
{
    QVERIFY2(plugin().loaded(), qPrintable(plugin().errorText()));
}

void TestSimBoardReadout::endpointNameSelectsRecordKind_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("kind");
    QTest::newRow("plain name") << QByteArray("list") << "energy";
    QTest::newRow("pair") << QByteArray("Det_Pairs") << "energy_pair";
    QTest::newRow("wave") << QByteArray("scope_wave") << "waveform";
    QTest::newRow("rate") << QByteArray("RATES") << "rate_counters";
    QTest::newRow("counter") << QByteArray("board_counters") << "rate_counters";
    QTest::newRow("pair wins over wave") << QByteArray("pair_waves") << "energy_pair";
}

void TestSimBoardReadout::endpointNameSelectsRecordKind()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, kind);
    const uint32_t board = startedBoard("sim:channels=8;fixed_batch=4;samples=32;traces=3", name);
    BoardRead read(board, "endpoints\\" + name);
    QCOMPARE(read.status(), 0);
    QCOMPARE(read.count(), kind == "rate_counters" ? 1 : 4);
    for (int i = 0; i < read.count(); ++i) {
        bool fits = false;
        if (kind == "rate_counters") {
            const auto& r = read.record<readout::RateCounters>(i);
            fits = r.n_channels == 8 && r.rates_in && r.rates_out && r.counters_in && r.counters_out;
        } else if (kind == "energy") {
            const auto& e = read.record<readout::EnergyEvent>(i);
            fits = e.channel < 8 && e.timestamp == read.entry(i).header0 && e.energy > 0.0;
        } else if (kind == "energy_pair") {
            const auto& p = read.record<readout::EnergyPair>(i);
            fits = p.pair_index < 4 && p.timestamp == read.entry(i).header0;
        } else {
            const auto& w = read.record<readout::Waveform>(i);
            fits = w.n_samples == 32 && w.n_traces == 3 && w.traces;
        }
        QVERIFY2(fits, qPrintable(kind));
    }
}

void TestSimBoardReadout::readOfAPathThatIsNoEndpointFails_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("word only") << QByteArray("endpoints");
    QTest::newRow("empty name") << QByteArray("endpoints\\");
    QTest::newRow("command path") << QByteArray("commands\\start");
    QTest::newRow("endpoint command") << QByteArray("endpoints\\list\\start");
    QTest::newRow("forward slash") << QByteArray("endpoints/list");
    QTest::newRow("empty") << QByteArray("");
}

void TestSimBoardReadout::readOfAPathThatIsNoEndpointFails()
{
    QFETCH(QByteArray, path);
    const uint32_t board = plugin().openBoard("sim:fixed_batch=2;autostart=1");
    BoardRead read(board, path, 10);
    QVERIFY(read.status() != 0);
    QCOMPARE(read.count(), 0);
    QCOMPARE(plugin().outstanding(board), 0);
}

void TestSimBoardReadout::endpointsDeliverOnlyWhileStarted()
{
    const uint32_t board = plugin().openBoard("sim:fixed_batch=5");
    QCOMPARE(BoardRead(board, "endpoints\\list").count(), 0);
    plugin().send(board, "endpoints\\list\\start");
    uint64_t lastTimestamp = 0;
    {
        BoardRead read(board, "endpoints\\list");
        QCOMPARE(read.count(), 5);
        lastTimestamp = read.entry(4).header0;
    }
    plugin().send(board, "endpoints\\list\\stop");
    BoardRead stopped(board, "endpoints\\list");
    QCOMPARE(stopped.status(), 0);
    QCOMPARE(stopped.count(), 0);
    plugin().send(board, "endpoints\\list\\start");
    BoardRead resumed(board, "endpoints\\list");
    QCOMPARE(resumed.count(), 5);
    QVERIFY(resumed.entry(0).header0 >= lastTimestamp);
    QCOMPARE(resumed.entry(0).header1, uint64_t(5));
}

void TestSimBoardReadout::boardCommandsReachEveryEndpoint()
{
    const uint32_t board = plugin().openBoard("sim:fixed_batch=2");
    plugin().send(board, "endpoints\\one\\stop");  // makes the endpoint exist, stopped
    plugin().send(board, "endpoints\\other\\start");
    QCOMPARE(BoardRead(board, "endpoints\\one").count(), 0);
    QCOMPARE(BoardRead(board, "endpoints\\other").count(), 2);

    QCOMPARE(plugin().send(board, "commands\\start"), 0);
    QCOMPARE(BoardRead(board, "endpoints\\one").count(), 2);
    QCOMPARE(BoardRead(board, "endpoints\\first_used_now").count(), 2);

    QCOMPARE(plugin().send(board, "commands\\stop"), 0);
    QCOMPARE(BoardRead(board, "endpoints\\one").count(), 0);
    QCOMPARE(BoardRead(board, "endpoints\\other").count(), 0);
    QCOMPARE(BoardRead(board, "endpoints\\used_after_stop").count(), 0);
}

void TestSimBoardReadout::aStoppedReadReturnsSoonWithNothingOutstanding()
{
    const uint32_t board = plugin().openBoard("sim:fixed_batch=5");
    QElapsedTimer timer;
    timer.start();
    readout::DataList list{};
    QCOMPARE(plugin().readDataFn(board, "endpoints\\list", 1000, &list), 0);
    QVERIFY2(timer.elapsed() < 500, "a read without data must not wait for the whole time-out");
    QCOMPARE(list.count, 0);
    QVERIFY(list.entries == nullptr);
    QCOMPARE(plugin().outstanding(board), 0);
}

void TestSimBoardReadout::rateModeDeliversEventsAsTimePasses()
{
    const uint32_t board = startedBoard("sim:channels=4;rate=5000;max_batch=64", "list");
    int total = 0, largest = 0;
    const auto readOnce = [&]() {
        BoardRead read(board, "endpoints\\list");
        largest = std::max(largest, read.count());
        return total += read.count();
    };
    QTRY_VERIFY_WITH_TIMEOUT(readOnce() >= 300, 10000);
    QVERIFY(largest <= 64);
}

void TestSimBoardReadout::rateZeroDeliversFullBatches()
{
    const uint32_t board = startedBoard("sim:rate=0;max_batch=500", "list");
    for (int i = 0; i < 3; ++i)
        QCOMPARE(BoardRead(board, "endpoints\\list").count(), 500);
}

void TestSimBoardReadout::tunableChangesApplyFromTheNextRead()
{
    const uint32_t board = startedBoard("sim:fixed_batch=5", "list");
    QCOMPARE(BoardRead(board, "endpoints\\list").count(), 5);
    QCOMPARE(plugin().setValue(board, "sim\\fixed_batch", "500"), 0);
    QCOMPARE(plugin().setValue(board, "sim\\lines", "1000"), 0);
    QCOMPARE(plugin().setValue(board, "sim\\background", "0"), 0);

    BoardRead read(board, "endpoints\\list");
    QCOMPARE(read.count(), 500);
    double highest = 0.0;
    for (int i = 0; i < read.count(); ++i)
        highest = std::max(highest, read.record<readout::EnergyEvent>(i).energy);
    // Only the 1000 keV line is left: nothing far above it.
    QVERIFY2(highest > 950.0 && highest < 1150.0, qPrintable(QString::number(highest)));
}

void TestSimBoardReadout::energyEventsAreWellFormed()
{
    const uint32_t board = startedBoard("sim:seed=5;channels=6;fixed_batch=400;gain=4", "list");
    std::vector<int> perChannel(6, 0);
    uint64_t previous = 0;
    uint64_t sequence = 0;
    int pileUps = 0;
    for (int r = 0; r < 5; ++r) {
        BoardRead read(board, "endpoints\\list");
        QCOMPARE(read.count(), 400);
        for (int i = 0; i < read.count(); ++i) {
            const auto& event = read.record<readout::EnergyEvent>(i);
            QVERIFY(event.channel < 6);
            ++perChannel[event.channel];
            QVERIFY(event.timestamp >= previous);
            previous = event.timestamp;
            QCOMPARE(read.entry(i).header0, event.timestamp);
            QCOMPARE(read.entry(i).header1, sequence++);
            QVERIFY(event.energy >= 1.0);
            if (event.flag2)
                QCOMPARE(event.energy_raw, 16383u);
            else
                QCOMPARE(event.energy_raw, uint32_t(std::lround(event.energy * 4.0)));
            QVERIFY(event.flag1 <= 1);
            pileUps += event.flag1;
            QVERIFY(event.extra < 1024);
        }
    }
    for (int count : perChannel)
        QVERIFY2(count > 200, "events spread over every channel");
    QVERIFY2(pileUps < 40, "pile-up stays rare");
}

void TestSimBoardReadout::pairRecordsAreWellFormed()
{
    const uint32_t board = startedBoard("sim:seed=9;channels=8;crystals=6;fixed_batch=4000", "pairs");
    BoardRead read(board, "endpoints\\pairs");
    QCOMPARE(read.count(), 4000);
    std::vector<int> ratioBins(50, 0);
    std::vector<int> perPair(4, 0);
    uint64_t previous = 0;
    for (int i = 0; i < read.count(); ++i) {
        const auto& pair = read.record<readout::EnergyPair>(i);
        QVERIFY(pair.pair_index < 4);
        ++perPair[pair.pair_index];
        QVERIFY(pair.timestamp >= previous);
        previous = pair.timestamp;
        QCOMPARE(read.entry(i).header0, pair.timestamp);
        for (int end = 0; end < 2; ++end) {
            QVERIFY(pair.energy[end] >= 0.0);
            if (!pair.flag2)
                QCOMPARE(pair.energy_raw[end], uint32_t(std::lround(pair.energy[end] * 4.0)));
        }
        const double sum = double(pair.energy_raw[0]) + double(pair.energy_raw[1]);
        if (pair.pair_index == 0 && sum > 0.0) {
            const double ratio = pair.energy_raw[0] / sum;
            QVERIFY(ratio >= 0.0 && ratio <= 1.0);
            ++ratioBins[std::min(49, int(ratio * 50))];
        }
    }
    for (int count : perPair)
        QVERIFY(count > 600);
    // Interactions sit in crystals: the ratio map has sharp spots, far from flat.
    const double mean = double(perPair[0]) / ratioBins.size();
    const int fullest = *std::max_element(ratioBins.begin(), ratioBins.end());
    QVERIFY2(fullest > 3.0 * mean, qPrintable(QString("fullest %1, mean %2").arg(fullest).arg(mean)));
    const int emptyBins = int(std::count_if(ratioBins.begin(), ratioBins.end(), [&](int n) { return n < 0.2 * mean; }));
    QVERIFY2(emptyBins >= 10, "gaps between the crystals");
}

void TestSimBoardReadout::waveformGroupsAreWellFormed()
{
    const uint32_t board = startedBoard("sim:seed=2;traces=3;samples=128;fixed_batch=4", "wave");
    const int trigger = 128 / 4;
    int visiblePulses = 0;
    int groups = 0;
    uint64_t previous = 0;
    for (int r = 0; r < 3; ++r) {
        BoardRead read(board, "endpoints\\wave");
        QCOMPARE(read.count(), 4);
        for (int i = 0; i < read.count(); ++i, ++groups) {
            const auto& wave = read.record<readout::Waveform>(i);
            QCOMPARE(wave.n_samples, 128);
            QCOMPARE(wave.n_traces, 3);
            QCOMPARE(wave.header32a, uint32_t(trigger));
            QVERIFY(wave.header32b & 1u);
            QVERIFY(wave.timestamp >= previous);
            previous = wave.timestamp;
            QCOMPARE(read.entry(i).header0, wave.timestamp);
            const readout::TraceBlock* block = wave.traces;
            QVERIFY(block && block->analog && block->digital);
            QCOMPARE(block->header32a, uint32_t(trigger));

            for (int t = 0; t < 3; ++t) {
                const int32_t* analog = block->analog + t * 128;
                const uint32_t* digital = block->digital + t * 128;
                QVERIFY(analog[0] > 850 && analog[0] < 1150);
                if (!(wave.header32b & (1u << t))) {
                    QVERIFY(std::all_of(digital, digital + 128, [](uint32_t w) { return w == 0; }));
                    continue;
                }
                QVERIFY(!(digital[trigger - 1] & 1u));
                QVERIFY(digital[trigger] & 1u);
                QVERIFY(digital[trigger] & 2u);
                QVERIFY(!(digital[0] & 2u));
            }
            const int32_t* first = block->analog;
            const int32_t peak = *std::max_element(first + trigger, first + trigger + 30);
            const int32_t before = *std::max_element(first, first + trigger);
            if (peak > before + 40)
                ++visiblePulses;
        }
    }
    QVERIFY2(visiblePulses >= groups * 3 / 4, qPrintable(QString("%1 of %2").arg(visiblePulses).arg(groups)));
}

void TestSimBoardReadout::groupsWithoutSamplesOrTracesAreStillDelivered_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("traces");
    QTest::newRow("no samples") << 0 << 3;
    QTest::newRow("no traces") << 64 << 0;
}

void TestSimBoardReadout::groupsWithoutSamplesOrTracesAreStillDelivered()
{
    QFETCH(int, samples);
    QFETCH(int, traces);
    const QByteArray connection = QString("sim:samples=%1;traces=%2;fixed_batch=2").arg(samples).arg(traces).toLatin1();
    const uint32_t board = startedBoard(connection, "wave");
    BoardRead read(board, "endpoints\\wave");
    QCOMPARE(read.count(), 2);
    for (int i = 0; i < read.count(); ++i) {
        const auto& wave = read.record<readout::Waveform>(i);
        QCOMPARE(wave.n_samples, samples);
        QCOMPARE(wave.n_traces, traces);
        QVERIFY(wave.traces != nullptr);
    }
}

void TestSimBoardReadout::rateCountersMatchTheDeliveredEvents()
{
    const uint32_t board = plugin().openBoard("sim:seed=4;channels=8;fixed_batch=1000");
    plugin().send(board, "commands\\start");
    std::vector<uint64_t> delivered(8, 0);
    for (int r = 0; r < 10; ++r) {
        BoardRead read(board, "endpoints\\list");
        for (int i = 0; i < read.count(); ++i)
            ++delivered[read.record<readout::EnergyEvent>(i).channel];
    }
    for (int r = 0; r < 3; ++r) {
        BoardRead read(board, "endpoints\\pairs");
        for (int i = 0; i < read.count(); ++i) {
            const uint32_t p = read.record<readout::EnergyPair>(i).pair_index;
            ++delivered[2 * p];
            ++delivered[2 * p + 1];
        }
    }

    BoardRead read(board, "endpoints\\rates");
    QCOMPARE(read.count(), 1);
    const auto& record = read.record<readout::RateCounters>(0);
    QCOMPARE(record.n_channels, 8u);
    uint64_t sumIn = 0;
    uint64_t sumOut = 0;
    for (int c = 0; c < 8; ++c) {
        QCOMPARE(record.counters_out[c], delivered[c]);
        QVERIFY(record.counters_in[c] >= record.counters_out[c]);
        sumIn += record.counters_in[c];
        sumOut += record.counters_out[c];
    }
    QVERIFY2(sumIn > sumOut, "dead time loses a few events");
    QVERIFY2(sumIn - sumOut < sumIn / 50, "but only a few");
    QVERIFY(read.entry(0).header0 > 0);
}

void TestSimBoardReadout::resetClearsTheRateCounters_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::newRow("rate endpoint reset") << QByteArray("endpoints\\rates\\reset");
    QTest::newRow("board reset") << QByteArray("commands\\reset");
}

void TestSimBoardReadout::resetClearsTheRateCounters()
{
    QFETCH(QByteArray, command);
    const uint32_t board = plugin().openBoard("sim:channels=4;fixed_batch=200");
    plugin().send(board, "commands\\start");
    BoardRead(board, "endpoints\\list");
    const Counters before = snapshot(board, "endpoints\\rates");
    QCOMPARE(int(before.in.size()), 4);
    QVERIFY(std::any_of(before.in.begin(), before.in.end(), [](uint64_t n) { return n > 0; }));

    QCOMPARE(plugin().send(board, command), 0);
    const Counters after = snapshot(board, "endpoints\\rates");
    QCOMPARE(after.in, std::vector<uint64_t>(4, 0));
    QCOMPARE(after.out, std::vector<uint64_t>(4, 0));

    BoardRead(board, "endpoints\\list");
    const Counters counting = snapshot(board, "endpoints\\rates");
    uint64_t total = 0;
    for (uint64_t n : counting.out)
        total += n;
    QCOMPARE(total, uint64_t(200));
}

void TestSimBoardReadout::energyResetRestartsTimeAndSequenceButKeepsCounters()
{
    const uint32_t board = plugin().openBoard("sim:channels=4;fixed_batch=100");
    plugin().send(board, "commands\\start");
    uint64_t latest = 0;
    for (int r = 0; r < 3; ++r) {
        BoardRead read(board, "endpoints\\list");
        latest = read.entry(read.count() - 1).header0;
    }
    const Counters before = snapshot(board, "endpoints\\rates");

    plugin().send(board, "endpoints\\list\\reset");
    QCOMPARE(snapshot(board, "endpoints\\rates").out, before.out);
    BoardRead read(board, "endpoints\\list");
    QCOMPARE(read.count(), 100);
    QCOMPARE(read.entry(0).header1, uint64_t(0));
    QVERIFY(read.entry(read.count() - 1).header0 < latest);
}

void TestSimBoardReadout::sameSeedGivesIdenticalData_data()
{
    QTest::addColumn<QByteArray>("endpoint");
    QTest::addColumn<QString>("kind");
    QTest::newRow("energy") << QByteArray("list") << "energy";
    QTest::newRow("pairs") << QByteArray("pairs") << "energy_pair";
    QTest::newRow("waveforms") << QByteArray("wave") << "waveform";
}

void TestSimBoardReadout::sameSeedGivesIdenticalData()
{
    QFETCH(QByteArray, endpoint);
    QFETCH(QString, kind);
    const QByteArray connection = "sim:seed=77;channels=8;fixed_batch=50;samples=64";
    const uint32_t first = startedBoard(connection, endpoint);
    const uint32_t second = startedBoard(connection, endpoint);
    const uint32_t otherSeed = startedBoard("sim:seed=78;channels=8;fixed_batch=50;samples=64", endpoint);
    // Another endpoint read on one board only must not disturb the sequence.
    plugin().send(second, "endpoints\\elsewhere\\start");
    BoardRead(second, "endpoints\\elsewhere");

    for (int r = 0; r < 3; ++r) {
        BoardRead a(first, "endpoints\\" + endpoint);
        BoardRead b(second, "endpoints\\" + endpoint);
        QCOMPARE(a.count(), 50);
        const QByteArray bytes = fingerprint(a, kind);
        QVERIFY(!bytes.isEmpty());
        QCOMPARE(fingerprint(b, kind), bytes);
        QVERIFY(fingerprint(BoardRead(otherSeed, "endpoints\\" + endpoint), kind) != bytes);
    }
}

void TestSimBoardReadout::deliveredDataStaysValidUntilFreed()
{
    const uint32_t board = startedBoard("sim:fixed_batch=50", "list");
    BoardRead first(board, "endpoints\\list");
    QCOMPARE(first.count(), 50);
    QByteArray kept = fingerprint(first, "energy");
    {
        BoardRead second(board, "endpoints\\list");
        BoardRead third(board, "endpoints\\list");
        QCOMPARE(plugin().outstanding(board), 3);
    }
    QCOMPARE(fingerprint(first, "energy"), kept);
    QCOMPARE(first.release(), 0);
    QCOMPARE(plugin().outstanding(board), 0);
}

void TestSimBoardReadout::freeOfAnUnknownListFails_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("list");   // the list handed to the free: "read", "fabricated" or "freed"
    QTest::newRow("fabricated entries") << QByteArray("endpoints\\list") << "fabricated";
    QTest::newRow("freed twice") << QByteArray("endpoints\\list") << "freed";
    QTest::newRow("other endpoint") << QByteArray("endpoints\\other") << "read";
    QTest::newRow("endpoint never used") << QByteArray("endpoints\\never") << "read";
    QTest::newRow("no endpoint path") << QByteArray("commands\\stop") << "read";
}

void TestSimBoardReadout::freeOfAnUnknownListFails()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, list);
    const uint32_t board = startedBoard("sim:fixed_batch=3", "list");
    plugin().send(board, "endpoints\\other\\start");
    BoardRead read(board, "endpoints\\list");
    BoardRead freed(board, "endpoints\\list");
    QCOMPARE(read.count(), 3);
    QCOMPARE(plugin().outstanding(board), 2);
    readout::DataList copyOfFreed = freed.list();
    QCOMPARE(freed.release(), 0);
    QCOMPARE(plugin().outstanding(board), 1);

    readout::Entry fake[1] = {};
    readout::DataList given = list == "freed" ? copyOfFreed : read.list();
    if (list == "fabricated") {
        given.entries = fake;
        given.count = 1;
    }
    QVERIFY(plugin().freePointerFn(board, path.constData(), &given) != 0);
    readout::DataList nothing{};
    QVERIFY(plugin().freePointerFn(board, "endpoints\\list", &nothing) != 0);
    QCOMPARE(plugin().outstanding(board), 1);
    QCOMPARE(read.release(), 0);
    QCOMPARE(plugin().outstanding(board), 0);
}

void TestSimBoardReadout::concurrentReadsAndCommandsOnOneHandle()
{
    const uint32_t board = plugin().openBoard("sim:channels=8;rate=200000;max_batch=256;wave_rate=200");
    plugin().send(board, "commands\\start");
    std::atomic<bool> done{false};
    std::atomic<int> faults{0};
    std::atomic<int> reads{0};

    const auto reader = [&](QByteArray path, QString kind) {
        uint64_t count = 0;
        while (!done.load()) {
            readout::DataList list{};
            if (plugin().readDataFn(board, path.constData(), 5, &list) != 0) {
                ++faults;
                continue;
            }
            ++reads;
            uint64_t previous = 0;
            for (int i = 0; i < list.count; ++i) {
                const auto& entry = static_cast<const readout::Entry*>(list.entries)[i];
                if (entry.header0 < previous)
                    ++faults;
                previous = entry.header0;
                if (kind == "energy" && static_cast<const readout::EnergyEvent*>(entry.record)->channel >= 8)
                    ++faults;
                if (kind == "rate_counters" && static_cast<const readout::RateCounters*>(entry.record)->n_channels != 8)
                    ++faults;
                ++count;
            }
            if (list.count != 0 && plugin().freePointerFn(board, path.constData(), &list) != 0)
                ++faults;
        }
        return count;
    };
    std::vector<std::thread> threads;
    threads.emplace_back(reader, QByteArray("endpoints\\list"), QString("energy"));
    threads.emplace_back(reader, QByteArray("endpoints\\list"), QString("energy"));
    threads.emplace_back(reader, QByteArray("endpoints\\pairs"), QString("energy_pair"));
    threads.emplace_back(reader, QByteArray("endpoints\\wave"), QString("waveform"));
    threads.emplace_back(reader, QByteArray("endpoints\\rates"), QString("rate_counters"));

    const char* commands[] = {"endpoints\\list\\stop", "endpoints\\list\\start", "endpoints\\pairs\\reset",
                              "commands\\global_on", "endpoints\\rates\\reset", "commands\\stop",
                              "commands\\start", "commands\\reset", "commands\\global_off"};
    // Keep commanding until the readers have been busy for a while, so both really overlap.
    for (int round = 0; (round < 400 || reads.load() < 300) && round < 1000000; ++round) {
        plugin().send(board, commands[round % 9]);
        plugin().setValue(board, "sim\\rate", QByteArray::number(100000 + round * 100));
        plugin().setValue(board, "\\hv\\VSet", QByteArray::number(round));
        plugin().value(board, "\\hv\\VMon");
        plugin().outstanding(board);
    }
    done = true;
    for (std::thread& thread : threads)
        thread.join();

    QVERIFY(reads.load() >= 300);
    QCOMPARE(faults.load(), 0);
    QCOMPARE(plugin().outstanding(board), 0);
}

QTEST_GUILESS_MAIN(TestSimBoardReadout)
#include "tst_sim_board_readout.moc"
