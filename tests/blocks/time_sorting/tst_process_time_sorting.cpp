// The time sorting block: ordering, the 5 ms hold, 100-unit coincidence groups
// and the buffer cap. The ordering rules run against a scripted clock (one
// value per message), so their results do not depend on the machine's speed.
#include "blocks/time_sorting/data_distructor_time_sorting.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

using namespace block_test;

namespace {
// The sorting worker with a scripted wall clock: the n-th message it handles
// sees the n-th time of the script.
class ScriptedClockSorter : public Time_Sorting_Thread {
public:
    ScriptedClockSorter(const QList<PinInput*>* inputs, const QList<PinOutput*>* outputs, std::vector<quint64> times)
        : Time_Sorting_Thread(QStringLiteral("sorter"), inputs, outputs, 0, 0.0, &m_deleter), m_times(std::move(times))
    {
    }
    ~ScriptedClockSorter() override { stopAndJoin(); }
    int clockReads() const { return m_reads.load(); }

protected:
    quint64 nowMicroseconds() const override
    {
        const int n = m_reads.fetch_add(1);
        return n < int(m_times.size()) ? m_times[size_t(n)] : m_times.back();
    }

private:
    DataDistructorTimeSorting m_deleter;
    const std::vector<quint64> m_times;
    mutable std::atomic<int> m_reads{0};
};

struct Arrival {
    quint64 now = 0;
    bool hasPacket = true;
    QVector<quint64> timestamps;
};

DataPacket* energyPacket(const QVector<quint64>& timestamps)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), timestamps.isEmpty() ? 0 : timestamps.last());
    for (quint64 ts : timestamps)
        packet->items.push_back(new TrackedEnergy(ts));
    return packet;
}

PinMessage sourceMessage(DataPacket* packet)
{
    PinMessage m = messageOf(packet);
    m.source = QStringLiteral("endpoints\\events");
    m.header0 = 1;
    m.header1 = 2;
    m.reserved = 3;
    return m;
}

QVector<quint64> timestampsOf(const DataPacket* packet)
{
    QVector<quint64> timestamps;
    for (const QuarixPayload* item : packet->items)
        timestamps.append(item->timestamp);
    return timestamps;
}

// A sorting worker between two pins, fed by the test.
struct SortingRig {
    PinOutput upstream{nullptr, QStringLiteral("energy")};
    PinInput input{nullptr, QStringLiteral("energy")};
    PinOutput output{nullptr, QStringLiteral("energy")};
    QList<PinInput*> inputs{&input};
    QList<PinOutput*> outputs{&output};

    SortingRig() { input.Connect(&upstream); }

    // Queues the messages, lets a scripted-clock worker handle all of them and
    // stop, and returns what it released.
    QVector<PinMessage> run(const std::vector<PinMessage>& messages, const std::vector<quint64>& times)
    {
        for (const PinMessage& m : messages)
            upstream.Push(m);
        ScriptedClockSorter sorter(&inputs, &outputs, times);
        sorter.start();
        sorter.stopAndJoin();
        clockReads = sorter.clockReads();
        return drain(&output);
    }
    int clockReads = 0;
};
}  // namespace

Q_DECLARE_METATYPE(Arrival)
Q_DECLARE_METATYPE(QVector<Arrival>)

class TestProcessTimeSorting : public QObject {
    Q_OBJECT
private slots:
    void init() { m_aliveBefore = TrackedEnergy::aliveCount(); }
    void cleanup() { QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore); }

    // Block construction and parameters.
    void parametersAreReadWithLaterOnesWinning_data();
    void parametersAreReadWithLaterOnesWinning();

    // Ordering and release, scripted clock.
    void releasesOldestEventsAsCoincidenceGroups_data();
    void releasesOldestEventsAsCoincidenceGroups();
    void releasedPacketsCarryTheFirstEventsTypeAndTimestampAndEmptyMessageFields();
    void everyEventIsStampedWithTheClockOfItsMessage();
    void aFullBufferDestroysIncomingPacketsButStillReleases();

    // Production clock, in the block.
    void blockHoldsALonePacketUntilALaterMessageReleasesIt();

    void theDeleterFreesAListOfPayloads();

private:
    size_t m_aliveBefore = 0;
};

void TestProcessTimeSorting::parametersAreReadWithLaterOnesWinning_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<int>("nWindows");
    QTest::addColumn<double>("timestampDelta");
    QTest::addColumn<double>("workerDelta");

    auto p = [](const char* name, const QJsonValue& value) {
        return QJsonObject{{"param_name", name}, {"param_value", value}};
    };
    QTest::newRow("absent") << QJsonArray() << 0 << 0.0 << 0.0;
    QTest::newRow("numbers, delta truncated for the worker")
        << QJsonArray{p("n_windows", 4), p("timestamp_delta", 250.75)} << 4 << 250.75 << 250.0;
    QTest::newRow("negative delta truncates toward zero") << QJsonArray{p("timestamp_delta", -2.7)} << 0 << -2.7 << -2.0;
    QTest::newRow("later element wins")
        << QJsonArray{p("n_windows", 2), p("timestamp_delta", 9), p("n_windows", 7), p("timestamp_delta", 3.5)} << 7
        << 3.5 << 3.0;
    QTest::newRow("text values read as zero") << QJsonArray{p("n_windows", "4"), p("timestamp_delta", "3.5")} << 0
                                              << 0.0 << 0.0;
    QTest::newRow("unknown names ignored") << QJsonArray{p("windows", 4), p("delta", 1.0)} << 0 << 0.0 << 0.0;
}

void TestProcessTimeSorting::parametersAreReadWithLaterOnesWinning()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(int, nWindows);
    QFETCH(double, timestampDelta);
    QFETCH(double, workerDelta);
    BlockContext context;
    const QJsonObject entry{{"name", "ts"}, {"data_type", "energy"}, {"parameters", parameters}};
    Process_Time_Sorting block(nullptr, &context, entry);
    QCOMPARE(block.nWindows(), nWindows);
    QCOMPARE(block.timestampDelta(), timestampDelta);
    QVERIFY(block.worker());
    QCOMPARE(block.worker()->nWindows(), nWindows);
    QCOMPARE(block.worker()->timestampDelta(), workerDelta);
}

void TestProcessTimeSorting::releasesOldestEventsAsCoincidenceGroups_data()
{
    QTest::addColumn<QVector<Arrival>>("arrivals");
    QTest::addColumn<QVector<QVector<quint64>>>("released");
    using Groups = QVector<QVector<quint64>>;
    const bool none = false;

    QTest::newRow("a lone packet stays buffered") << QVector<Arrival>{{0, true, {1000, 1050, 1100}}} << Groups{};
    QTest::newRow("a later message over 5 ms on releases it")
        << QVector<Arrival>{{0, true, {1000, 1010, 1020}}, {5001, true, {9000}}} << Groups{{1000, 1010, 1020}};
    QTest::newRow("groups span 100 units from their first event")
        << QVector<Arrival>{{0, true, {1000, 1050, 1100, 1101}}, {6000, true, {1202, 1300}}}
        << Groups{{1000, 1050, 1100}, {1101}};
    QTest::newRow("exactly 5000 us is not old enough")
        << QVector<Arrival>{{0, true, {1000}}, {5000, true, {9000}}} << Groups{};
    QTest::newRow("5001 us is old enough") << QVector<Arrival>{{0, true, {1000}}, {5001, true, {9000}}}
                                           << Groups{{1000}};
    QTest::newRow("a group takes in events that arrived with the current message")
        << QVector<Arrival>{{0, true, {1000}}, {6000, true, {1050, 1100, 1200}}} << Groups{{1000, 1050, 1100}};
    QTest::newRow("equal timestamps share a packet")
        << QVector<Arrival>{{0, true, {500}}, {1, true, {500}}, {6000, true, {9000}}} << Groups{{500, 500}};
    QTest::newRow("out of order across packets leaves in ascending order")
        << QVector<Arrival>{{0, true, {500, 300}}, {1, true, {100, 400, 200}}, {10000, true, {100000}}}
        << Groups{{100, 200}, {300, 400}, {500}};
    QTest::newRow("release stops at the first event that is too young")
        << QVector<Arrival>{{0, true, {1000}}, {3000, true, {2000}}, {6000, true, {5000}}} << Groups{{1000}};
    QTest::newRow("an empty packet does not release a lone event")
        << QVector<Arrival>{{0, true, {1000}}, {10000, true, {}}} << Groups{};
    QTest::newRow("the last remaining event leaves when old enough")
        << QVector<Arrival>{{0, true, {1000, 1200}}, {6000, true, {}}} << Groups{{1000}, {1200}};
    QTest::newRow("a message without packet also releases")
        << QVector<Arrival>{{0, true, {1000, 1200}}, {6000, none, {}}} << Groups{{1000}, {1200}};
    QTest::newRow("a clock set back counts as old")
        << QVector<Arrival>{{10000, true, {1000, 1100}}, {5000, true, {2000}}} << Groups{{1000, 1100}};
    QTest::newRow("a young event joins an old event's group")
        << QVector<Arrival>{{0, true, {10, 300}}, {3000, true, {320}}, {6000, true, {}}} << Groups{{10}, {300, 320}};
}

void TestProcessTimeSorting::releasesOldestEventsAsCoincidenceGroups()
{
    QFETCH(QVector<Arrival>, arrivals);
    QFETCH(QVector<QVector<quint64>>, released);

    std::vector<PinMessage> messages;
    std::vector<quint64> times;
    for (const Arrival& arrival : arrivals) {
        messages.push_back(sourceMessage(arrival.hasPacket ? energyPacket(arrival.timestamps) : nullptr));
        times.push_back(arrival.now);
    }
    SortingRig rig;
    const QVector<PinMessage> out = rig.run(messages, times);
    QCOMPARE(rig.clockReads, arrivals.size());   // one clock reading per message

    QVector<QVector<quint64>> groups;
    for (const PinMessage& m : out) {
        groups.append(timestampsOf(m.packet));
        delete m.packet;
    }
    QCOMPARE(groups, released);
}

void TestProcessTimeSorting::releasedPacketsCarryTheFirstEventsTypeAndTimestampAndEmptyMessageFields()
{
    auto* mixed = new DataPacket(QStringLiteral("energy"), 0);
    auto* snapshot = new QuarixPayload_RateCounters(1);
    snapshot->timestamp = 700;
    mixed->items.push_back(new TrackedEnergy(750));
    mixed->items.push_back(snapshot);
    mixed->items.push_back(new TrackedEnergy(900));

    SortingRig rig;
    const QVector<PinMessage> out =
        rig.run({sourceMessage(mixed), sourceMessage(energyPacket({5000}))}, {100, 6000});

    QCOMPARE(out.size(), 2);
    QCOMPARE(out[0].packet->name, QStringLiteral("rate_counters"));
    QCOMPARE(out[0].packet->timestamp, quint64(700));
    QCOMPARE(timestampsOf(out[0].packet), QVector<quint64>({700, 750}));
    QCOMPARE(out[1].packet->name, QStringLiteral("energy"));
    QCOMPARE(out[1].packet->timestamp, quint64(900));
    for (const PinMessage& m : out) {
        QCOMPARE(m.data_type, QString());
        QCOMPARE(m.source, QString());
        QCOMPARE(m.header0, quint64(0));
        QCOMPARE(m.header1, quint64(0));
        QCOMPARE(m.reserved, quint64(0));
        QVERIFY(!m.raw_data);
        delete m.packet;
    }
}

void TestProcessTimeSorting::everyEventIsStampedWithTheClockOfItsMessage()
{
    SortingRig rig;
    const QVector<PinMessage> out = rig.run(
        {sourceMessage(energyPacket({100, 300})), sourceMessage(energyPacket({200})), sourceMessage(energyPacket({9000}))},
        {1000000, 1000123, 1020000});
    QCOMPARE(out.size(), 2);
    QVector<quint64> arrivals;
    for (const PinMessage& m : out) {
        for (const QuarixPayload* item : m.packet->items)
            arrivals.append(item->arrival_time);
        delete m.packet;
    }
    // Released as [100, 200] and [300]: 100 and 300 came with the first message.
    QCOMPARE(arrivals, QVector<quint64>({1000000, 1000123, 1000000}));
}

void TestProcessTimeSorting::aFullBufferDestroysIncomingPacketsButStillReleases()
{
    QVector<quint64> nearlyFull;
    for (quint64 ts = 0; ts < 9999; ++ts)
        nearlyFull.append(ts);
    DataPacket* rejected = energyPacket({30000, 30001});
    const QuarixPayload* rejectedEvent = rejected->items.front();

    // 9999 buffered, so the next packet of 5 is still taken in (10004), and
    // the two packets after it are destroyed whole.
    QTest::ignoreMessage(QtInfoMsg, "Order buffer full!");
    QTest::ignoreMessage(QtInfoMsg, "Order buffer full!");
    SortingRig rig;
    const QVector<PinMessage> out =
        rig.run({sourceMessage(energyPacket(nearlyFull)), sourceMessage(energyPacket({20000, 20001, 20002, 20003, 20004})),
                 sourceMessage(rejected), sourceMessage(energyPacket({50000}))},
                {0, 1, 2, 10000});
    QVERIFY(!TrackedEnergy::isAlive(rejectedEvent));

    QVector<quint64> all;
    for (const PinMessage& m : out) {
        const QVector<quint64> group = timestampsOf(m.packet);
        QVERIFY(group.last() - group.first() <= 100);
        all += group;
        delete m.packet;
    }
    QVector<quint64> expected = nearlyFull;
    expected += QVector<quint64>({20000, 20001, 20002, 20003, 20004});
    QCOMPARE(all, expected);
    QCOMPARE(out.size(), 99 + 1);   // 0..9998 in 99 groups of 101, then the five
}

void TestProcessTimeSorting::blockHoldsALonePacketUntilALaterMessageReleasesIt()
{
    UpstreamRig<Process_Time_Sorting> rig("processing/1/filter_chain/c/chain/ts", blockEntry("time_sorting", "ts", "energy"));
    Process_Time_Sorting& block = rig.block();
    QCOMPARE(block.blockType(), QStringLiteral("time_sorting"));
    QCOMPARE(block.inputPins().at(0)->name(), QStringLiteral("energy"));
    QCOMPARE(block.outputPins().size(), 1);
    QCOMPARE(block.outputPins().at(0)->name(), QStringLiteral("energy"));
    PinOutput* released = block.outputPins().at(0);

    const quint64 before = quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;
    rig.push(sourceMessage(energyPacket({1100, 1000, 1050})));
    QTRY_COMPARE(rig.upstream().size(), 0);
    // Real time passes well beyond the hold time: without a later message
    // nothing is released, because there is no timer.
    QTest::qWait(30);
    QCOMPARE(released->size(), 0);

    rig.push(sourceMessage(energyPacket({900000})));
    QTRY_COMPARE(released->size(), 1);
    const quint64 after = quint64(QDateTime::currentMSecsSinceEpoch() + 1) * 1000;

    const QVector<PinMessage> out = drain(released);
    QCOMPARE(timestampsOf(out[0].packet), QVector<quint64>({1000, 1050, 1100}));
    // The wall clock is in microseconds since 1970.
    for (const QuarixPayload* item : out[0].packet->items)
        QVERIFY(item->arrival_time >= before && item->arrival_time <= after);
    delete out[0].packet;
    block.shutdown();   // the last event stays buffered and is destroyed with the worker
}

void TestProcessTimeSorting::theDeleterFreesAListOfPayloads()
{
    DataDistructorTimeSorting deleter;
    PinMessage message;
    deleter.Release(&message);   // nothing behind the message
    message.raw_data = new std::vector<QuarixPayload*>{new TrackedEnergy(1), new TrackedEnergy(2)};
    QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore + 2);
    deleter.Release(&message);
    QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore);
    QVERIFY(!message.raw_data);
}

QTEST_GUILESS_MAIN(TestProcessTimeSorting)
#include "tst_process_time_sorting.moc"
