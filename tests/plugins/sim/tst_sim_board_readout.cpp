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
#include <numeric>
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

template <typename... T>
void appendBytes(QByteArray& out, const T&... values)
{
    (out.append(reinterpret_cast<const char*>(&values), sizeof values), ...);
}

// Everything a read delivered, as bytes: entry headers, records and samples.
QByteArray fingerprint(const BoardRead& read, const QString& kind)
{
    QByteArray out;
    for (int i = 0; i < read.count(); ++i) {
        appendBytes(out, read.entry(i).header0, read.entry(i).header1);
        if (kind == "energy") {
            appendBytes(out, read.record<readout::EnergyEvent>(i));
        } else if (kind == "energy_pair") {
            appendBytes(out, read.record<readout::EnergyPair>(i));
        } else if (kind == "waveform") {
            const auto& wave = read.record<readout::Waveform>(i);
            const int samples = wave.n_samples * wave.n_traces;
            appendBytes(out, wave.timestamp, wave.header64, wave.header32a, wave.header32b);
            out.append(reinterpret_cast<const char*>(wave.traces->analog), samples * 4);
            out.append(reinterpret_cast<const char*>(wave.traces->digital), samples * 4);
        }
    }
    return out;
}

struct Counters { std::vector<uint64_t> in, out; };

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
    void initTestCase() { QVERIFY2(plugin().loaded(), qPrintable(plugin().errorText())); }

    void endpointNameSelectsRecordKind_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("samples");   // and the traces: 3, or 0 for "samples" 64
        QTest::newRow("plain name") << QByteArray("list") << "energy" << 32;
        QTest::newRow("pair") << QByteArray("Det_Pairs") << "energy_pair" << 32;
        QTest::newRow("wave") << QByteArray("scope_wave") << "waveform" << 32;
        QTest::newRow("wave, no samples") << QByteArray("wave") << "waveform" << 0;
        QTest::newRow("wave, no traces") << QByteArray("wave") << "waveform" << 64;
        QTest::newRow("rate") << QByteArray("RATES") << "rate_counters" << 32;
        QTest::newRow("counter") << QByteArray("board_counters") << "rate_counters" << 32;
        QTest::newRow("pair wins over wave") << QByteArray("pair_waves") << "energy_pair" << 32;
    }

    void endpointNameSelectsRecordKind()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, kind);
        QFETCH(int, samples);
        const int traces = samples == 64 ? 0 : 3;
        const uint32_t board = startedBoard(
            QStringLiteral("sim:channels=8;fixed_batch=4;samples=%1;traces=%2").arg(samples).arg(traces).toLatin1(), name);
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
                fits = w.n_samples == samples && w.n_traces == traces && w.traces;
            }
            QVERIFY2(fits, qPrintable(kind));
        }
    }

    void readOfAPathThatIsNoEndpointFails_data()
    {
        QTest::addColumn<QByteArray>("path");
        for (const char* path : {"endpoints", "endpoints\\", "commands\\start", "endpoints\\list\\start", "endpoints/list", ""})
            QTest::newRow(*path ? path : "empty") << QByteArray(path);
    }

    void readOfAPathThatIsNoEndpointFails()
    {
        QFETCH(QByteArray, path);
        const uint32_t board = plugin().openBoard("sim:fixed_batch=2;autostart=1");
        BoardRead read(board, path, 10);
        QVERIFY(read.status() != 0);
        QCOMPARE(read.count(), 0);
        QCOMPARE(plugin().outstanding(board), 0);
    }

    void aStoppedReadReturnsSoonWithNothingOutstanding()
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

    void rateModeDeliversEventsAsTimePasses()
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

    void energyEventsAreWellFormed()
    {
        const uint32_t board = startedBoard("sim:seed=5;channels=6;fixed_batch=400;gain=4", "list");
        std::vector<int> perChannel(6, 0);
        uint64_t previous = 0, sequence = 0;
        int pileUps = 0;
        for (int r = 0; r < 5; ++r) {
            BoardRead read(board, "endpoints\\list");
            QCOMPARE(read.count(), 400);
            for (int i = 0; i < read.count(); ++i) {
                const auto& event = read.record<readout::EnergyEvent>(i);
                QVERIFY(event.channel < 6 && event.timestamp >= previous && event.energy >= 1.0);
                QVERIFY(event.flag1 <= 1 && event.extra < 1024);
                ++perChannel[event.channel];
                pileUps += event.flag1;
                previous = event.timestamp;
                QCOMPARE(read.entry(i).header0, event.timestamp);
                QCOMPARE(read.entry(i).header1, sequence++);
                // Saturated events carry the top raw value; the others the energy times the gain.
                QCOMPARE(event.energy_raw, event.flag2 ? 16383u : uint32_t(std::lround(event.energy * 4.0)));
            }
        }
        for (int count : perChannel)
            QVERIFY2(count > 200, "events spread over every channel");
        QVERIFY2(pileUps < 40, "pile-up stays rare");
    }

    void pairRecordsAreWellFormed()
    {
        const uint32_t board = startedBoard("sim:seed=9;channels=8;crystals=6;fixed_batch=4000", "pairs");
        BoardRead read(board, "endpoints\\pairs");
        QCOMPARE(read.count(), 4000);
        std::vector<int> ratioBins(50, 0), perPair(4, 0);
        uint64_t previous = 0;
        for (int i = 0; i < read.count(); ++i) {
            const auto& pair = read.record<readout::EnergyPair>(i);
            QVERIFY(pair.pair_index < 4 && pair.timestamp >= previous);
            ++perPair[pair.pair_index];
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

    void waveformGroupsAreWellFormed()
    {
        const uint32_t board = startedBoard("sim:seed=2;traces=3;samples=128;fixed_batch=4", "wave");
        const int trigger = 128 / 4;
        int visiblePulses = 0, groups = 0;
        uint64_t previous = 0;
        for (int r = 0; r < 3; ++r) {
            BoardRead read(board, "endpoints\\wave");
            QCOMPARE(read.count(), 4);
            for (int i = 0; i < read.count(); ++i, ++groups) {
                const auto& wave = read.record<readout::Waveform>(i);
                QVERIFY(wave.n_samples == 128 && wave.n_traces == 3 && wave.header32a == uint32_t(trigger));
                QVERIFY((wave.header32b & 1u) && wave.timestamp >= previous);
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
                    QVERIFY(!(digital[trigger - 1] & 1u) && (digital[trigger] & 3u) == 3u && !(digital[0] & 2u));
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

    void rateCountersMatchTheDeliveredEvents()
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
        uint64_t sumIn = 0, sumOut = 0;
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

    void resetsClearWhatTheyOwn_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<bool>("countersCleared");   // otherwise the energy time and sequence restart
        QTest::newRow("rate endpoint reset") << QByteArray("endpoints\\rates\\reset") << true;
        QTest::newRow("board reset") << QByteArray("commands\\reset") << true;
        QTest::newRow("energy reset") << QByteArray("endpoints\\list\\reset") << false;
    }
    void resetsClearWhatTheyOwn()
    {
        QFETCH(QByteArray, command);
        QFETCH(bool, countersCleared);
        const uint32_t board = plugin().openBoard("sim:channels=4;fixed_batch=100");
        plugin().send(board, "commands\\start");
        uint64_t latest = 0;
        for (int r = 0; r < 3; ++r) {
            BoardRead read(board, "endpoints\\list");
            latest = read.entry(read.count() - 1).header0;
        }
        const Counters before = snapshot(board, "endpoints\\rates");
        QCOMPARE(int(before.in.size()), 4);
        QVERIFY(std::any_of(before.in.begin(), before.in.end(), [](uint64_t n) { return n > 0; }));

        QCOMPARE(plugin().send(board, command), 0);
        const Counters after = snapshot(board, "endpoints\\rates");
        QCOMPARE(after.in, countersCleared ? std::vector<uint64_t>(4, 0) : before.in);
        QCOMPARE(after.out, countersCleared ? std::vector<uint64_t>(4, 0) : before.out);
        BoardRead read(board, "endpoints\\list");
        QCOMPARE(read.count(), 100);
        const std::vector<uint64_t> counting = snapshot(board, "endpoints\\rates").out;
        QCOMPARE(std::accumulate(counting.begin(), counting.end(), uint64_t(0)) - (countersCleared ? 0 : 300), uint64_t(100));
        if (!countersCleared) {
            QCOMPARE(read.entry(0).header1, uint64_t(0));
            QVERIFY(read.entry(read.count() - 1).header0 < latest);
        }
    }

    void sameSeedGivesIdenticalData_data()
    {
        QTest::addColumn<QByteArray>("endpoint");
        QTest::addColumn<QString>("kind");
        QTest::newRow("energy") << QByteArray("list") << "energy";
        QTest::newRow("pairs") << QByteArray("pairs") << "energy_pair";
        QTest::newRow("waveforms") << QByteArray("wave") << "waveform";
    }

    void sameSeedGivesIdenticalData()
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

    void freeOfAnUnknownListFails_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("list");   // the list handed to the free: "read", "fabricated" or "freed"
        QTest::newRow("fabricated entries") << QByteArray("endpoints\\list") << "fabricated";
        QTest::newRow("freed twice") << QByteArray("endpoints\\list") << "freed";
        QTest::newRow("other endpoint") << QByteArray("endpoints\\other") << "read";
        QTest::newRow("endpoint never used") << QByteArray("endpoints\\never") << "read";
        QTest::newRow("no endpoint path") << QByteArray("commands\\stop") << "read";
    }

    void freeOfAnUnknownListFails()
    {
        QFETCH(QByteArray, path);
        QFETCH(QString, list);
        const uint32_t board = startedBoard("sim:fixed_batch=3", "list");
        plugin().send(board, "endpoints\\other\\start");
        BoardRead read(board, "endpoints\\list");
        const QByteArray kept = fingerprint(read, "energy");
        BoardRead freed(board, "endpoints\\list");
        QCOMPARE(read.count(), 3);
        QCOMPARE(plugin().outstanding(board), 2);
        readout::DataList copyOfFreed = freed.list();
        QCOMPARE(freed.release(), 0);
        QCOMPARE(plugin().outstanding(board), 1);

        readout::Entry fake[1] = {};
        readout::DataList given = list == "freed" ? copyOfFreed : read.list(), nothing{};
        if (list == "fabricated")
            given = readout::DataList{fake, 0, 1};
        QVERIFY(plugin().freePointerFn(board, path.constData(), &given) != 0);
        QVERIFY(plugin().freePointerFn(board, "endpoints\\list", &nothing) != 0);
        QCOMPARE(plugin().outstanding(board), 1);
        QCOMPARE(fingerprint(read, "energy"), kept);   // a batch stays valid while others come and go
        QCOMPARE(read.release(), 0);
        QCOMPARE(plugin().outstanding(board), 0);
    }

    void concurrentReadsAndCommandsOnOneHandle()
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
};

QTEST_GUILESS_MAIN(TestSimBoardReadout)
#include "tst_sim_board_readout.moc"
