// The simulated board as a user of the demos sees it: connection strings,
// parameter and high-voltage values, records that are well formed and handed
// back cleanly, photopeaks where the lines are, rates near the configured ones
// and rate counters that match the delivered events.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"

#include <QElapsedTimer>
#include <QLibrary>
#include <QtTest>

#include <cmath>

namespace {
QLibrary& library()
{
    static QLibrary lib(QStringLiteral(QUARIX_SIM_PLUGIN_PATH));
    return lib;
}
template <typename F>
F fn(const char* name)
{
    return reinterpret_cast<F>(library().resolve(name));
}

uint32_t open(const char* connection, int32_t* status = nullptr)
{
    uint32_t handle = 0;
    const int32_t s = fn<VRAXDig2_Open_t>(vraxdig2::kOpen)(connection, &handle);
    return (status ? *status = s : s) == 0 ? handle : 0;
}
QByteArray value(uint32_t board, const char* path)
{
    char buffer[64] = {};
    return fn<VRAXDig2_GetValueByQuery_t>(vraxdig2::kGetValue)(board, path, buffer) == 0 ? QByteArray(buffer) : "<failed>";
}
int32_t set(uint32_t board, const char* path, const char* v)
{
    return fn<VRAXDig2_SetValueByQuery_t>(vraxdig2::kSetValue)(board, path, v);
}
int32_t send(uint32_t board, const char* path) { return fn<VRAXDig2_SendCommandByQuery_t>(vraxdig2::kSendCommand)(board, path); }

// One read; the batch goes back to the plugin with the object.
struct Read {
    uint32_t board;
    QByteArray path;
    readout::DataList list{};
    int32_t status;
    Read(uint32_t b, const QByteArray& p) : board(b), path(p)
    {
        status = fn<VRAXDig2_ReadDataByQuery_t>(vraxdig2::kReadData)(board, path.constData(), 1000, &list);
    }
    ~Read() { free(); }
    int32_t free() { return fn<VRAXDig2_FreePointerByQuery_t>(vraxdig2::kFreePointer)(board, path.constData(), &list); }
    const readout::Entry& entry(int i) const { return static_cast<const readout::Entry*>(list.entries)[i]; }
    template <typename R>
    const R& record(int i) const { return *static_cast<const R*>(entry(i).record); }
};
}  // namespace

class TestSimBoard : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY2(library().load(), qPrintable(library().errorString())); }

    void valuesAndHighVoltage()
    {
        int32_t status = 0;
        QVERIFY(!open("sim:channels=16;pairs=9", &status) && status == -23);   // more pairs than channels / 2
        const uint32_t board = open(" sim : channels = 12 ; ;");
        const uint32_t other = open("sim");
        QVERIFY(board && other && other != board);
        const QByteArray vset = "\\Channel3\\hv\\Channel3\\VSet", vmon = "\\Channel3\\hv\\Channel3\\VMon",
                         imon = "\\Channel3\\hv\\Channel3\\IMon";
        QCOMPARE(value(board, "\\x\\ISet") + value(board, "\\VMax") + value(board, "\\VSet"), QByteArray("1015000"));
        QCOMPARE(set(board, vset, "1000"), 0);
        QCOMPARE(value(board, vmon) + "|" + value(board, imon), QByteArray("0|0"));
        QCOMPARE(send(board, "commands\\global_on"), 0);
        QCOMPARE(value(board, vmon) + "|" + value(board, imon), QByteArray("1000|2.550"));
        QCOMPARE(value(other, vmon), QByteArray("0"));   // values and voltage belong to their board
        QCOMPARE(send(board, "commands\\global_off"), 0);
        QCOMPARE(value(board, vmon), QByteArray("0"));
        QCOMPARE(set(board, "\\long", QByteArray(80, 'v').constData()), 0);
        QCOMPARE(value(board, "\\long"), QByteArray(63, 'v'));
        QCOMPARE(value(board, "sim\\channels"), QByteArray("12"));
        QCOMPARE(set(board, "sim\\channels", "4"), -7);
        QCOMPARE(set(board, "sim\\rate", "-1"), -6);
        QCOMPARE(set(board, "sim\\rate", "250"), 0);
        QCOMPARE(value(board, "sim\\rate"), QByteArray("250"));
        QCOMPARE(value(0xFFFFFF, "\\VSet"), QByteArray("<failed>"));
    }

    // Endpoint names choose the record kind; every entry's header0 is its
    // record's time, header1 counts from 0; a batch is freed once, not twice.
    void recordsAreWellFormedAndFreedOnce_data()
    {
        QTest::addColumn<QByteArray>("endpoint");
        QTest::newRow("energy") << QByteArray("endpoints\\list");
        QTest::newRow("pairs") << QByteArray("endpoints\\Det_Pairs");
        QTest::newRow("waves") << QByteArray("endpoints\\scope_wave");
        QTest::newRow("rate counters") << QByteArray("endpoints\\board_counters");
    }
    void recordsAreWellFormedAndFreedOnce()
    {
        QFETCH(QByteArray, endpoint);
        const uint32_t board = open("sim:seed=3;channels=8;fixed_batch=50;samples=64;traces=2;autostart=1");
        const int kind = endpoint.contains("Pair") ? 1 : endpoint.contains("wave") ? 2 : endpoint.contains("counter") ? 3 : 0;
        uint64_t previous = 0, sequence = 0;
        for (int r = 0; r < 3; ++r) {
            Read read(board, endpoint);
            QCOMPARE(read.status, 0);
            QCOMPARE(read.list.count, kind == 3 ? 1 : 50);
            for (int i = 0; i < read.list.count; ++i) {
                const uint64_t time = kind == 0   ? read.record<readout::EnergyEvent>(i).timestamp
                                      : kind == 1 ? read.record<readout::EnergyPair>(i).timestamp
                                      : kind == 2 ? read.record<readout::Waveform>(i).timestamp
                                                  : read.entry(i).header0;
                QVERIFY(kind != 0 || read.record<readout::EnergyEvent>(i).channel < 8);
                QVERIFY(kind != 1 || read.record<readout::EnergyPair>(i).pair_index < 4);
                QVERIFY(kind != 2 || (read.record<readout::Waveform>(i).n_samples == 64 &&
                                      read.record<readout::Waveform>(i).n_traces == 2 &&
                                      read.record<readout::Waveform>(i).traces->analog));
                QVERIFY(kind != 3 || (read.record<readout::RateCounters>(i).n_channels == 8 &&
                                      read.record<readout::RateCounters>(i).counters_out));
                QCOMPARE(read.entry(i).header0, time);
                QCOMPARE(read.entry(i).header1, sequence++);
                QVERIFY(time >= previous);
                previous = time;
            }
            QCOMPARE(read.free(), 0);
            QVERIFY(read.free() != 0);
            QCOMPARE(fn<int32_t (*)(uint32_t)>("VRAXDig2Sim_OutstandingBatches")(board), 0);
        }
    }

    // Raw energy = round(keV x gain) unless saturated; the photopeak of the
    // one line is where the line is (pairs: in the sum of both ends).
    void photopeaksSitAtTheirLines_data()
    {
        QTest::addColumn<QByteArray>("endpoint");
        QTest::addColumn<double>("line");
        QTest::newRow("energy 662") << QByteArray("endpoints\\list") << 662.0;
        QTest::newRow("energy 1332.5") << QByteArray("endpoints\\list") << 1332.5;
        QTest::newRow("pairs 662") << QByteArray("endpoints\\pairs") << 662.0;
    }
    void photopeaksSitAtTheirLines()
    {
        QFETCH(QByteArray, endpoint);
        QFETCH(double, line);
        const QByteArray connection = "sim:seed=5;channels=4;fixed_batch=8000;autostart=1;gain=2;background=0;"
                                      "resolution=2;lines=" + QByteArray::number(line);
        Read read(open(connection.constData()), endpoint);
        QCOMPARE(read.list.count, 8000);
        std::vector<int> bins(400, 0);   // 10 keV wide
        for (int i = 0; i < read.list.count; ++i) {
            double kev = 0;
            if (endpoint.endsWith("pairs")) {
                const auto& p = read.record<readout::EnergyPair>(i);
                kev = (p.energy_raw[0] + p.energy_raw[1]) / 2.0;
            } else {
                const auto& e = read.record<readout::EnergyEvent>(i);
                QCOMPARE(e.energy_raw, e.flag2 ? 16383u : uint32_t(std::lround(e.energy * 2.0)));
                kev = e.energy;
            }
            ++bins[std::min<size_t>(399, size_t(kev / 10.0))];
        }
        const int peak = int(std::max_element(bins.begin(), bins.end()) - bins.begin());
        QVERIFY2(std::abs(peak * 10 + 5 - line) <= 15, qPrintable(QStringLiteral("peak bin at %1 keV").arg(peak * 10)));
    }

    void rateModeDeliversAboutTheConfiguredRate()
    {
        const uint32_t board = open("sim:seed=8;channels=4;rate=2000;max_batch=100000;autostart=1");
        { Read first(board, "endpoints\\list"); }
        QElapsedTimer timer;
        timer.start();
        qint64 total = 0;
        while (timer.elapsed() < 400) {
            Read read(board, "endpoints\\list");
            total += read.list.count;
        }
        const double expected = 4 * 2000 * timer.elapsed() / 1000.0;   // channel factors average near 1
        QVERIFY2(total > 0.6 * expected && total < 1.4 * expected, qPrintable(QStringLiteral("%1 of %2").arg(total).arg(expected)));
    }

    // Output counters equal the events delivered per channel (pairs count on
    // both channels); input counters exceed them by the few dead-time losses.
    void rateCountersMatchTheDeliveredEvents()
    {
        const uint32_t board = open("sim:seed=4;channels=8;fixed_batch=1000");
        send(board, "commands\\start");
        std::vector<uint64_t> delivered(8, 0);
        for (int r = 0; r < 10; ++r) {
            Read read(board, r < 7 ? "endpoints\\list" : "endpoints\\pairs");
            for (int i = 0; i < read.list.count; ++i) {
                if (r < 7) {
                    ++delivered[read.record<readout::EnergyEvent>(i).channel];
                } else {
                    ++delivered[2 * read.record<readout::EnergyPair>(i).pair_index];
                    ++delivered[2 * read.record<readout::EnergyPair>(i).pair_index + 1];
                }
            }
        }
        Read read(board, "endpoints\\rates");
        QCOMPARE(read.list.count, 1);
        const auto& record = read.record<readout::RateCounters>(0);
        QCOMPARE(record.n_channels, 8u);
        uint64_t in = 0, out = 0;
        for (int c = 0; c < 8; ++c) {
            QCOMPARE(record.counters_out[c], delivered[c]);
            in += record.counters_in[c];
            out += record.counters_out[c];
        }
        QVERIFY2(in > out && in - out < in / 50, qPrintable(QStringLiteral("in %1, out %2").arg(in).arg(out)));
        QVERIFY(read.free() == 0);
        QCOMPARE(send(board, "endpoints\\rates\\reset"), 0);
        Read cleared(board, "endpoints\\rates");
        QCOMPARE(cleared.record<readout::RateCounters>(0).counters_in[0], 0u);
    }
};

QTEST_GUILESS_MAIN(TestSimBoard)
#include "tst_sim_board.moc"
