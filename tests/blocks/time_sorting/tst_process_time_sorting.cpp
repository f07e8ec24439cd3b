// The time sorting block: ordering, the 5 ms hold, 100-unit coincidence groups and the
// buffer cap, against a scripted clock (one value per message) so results do not depend
// on speed; and the release of everything once no data came for longer than the hold.
#include "blocks/time_sorting/data_distructor_time_sorting.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"

#include <QDateTime>
#include <QtTest>

#include <atomic>

using namespace block_test;

namespace {
class ScriptedClockSorter : public Time_Sorting_Thread {
public:
    ScriptedClockSorter(const QList<PinInput*>* inputs, const QList<PinOutput*>* outputs, std::vector<quint64> times)
        : Time_Sorting_Thread(QStringLiteral("sorter"), inputs, outputs, 0, 0.0, &m_deleter), m_times(std::move(times)) {}
    ~ScriptedClockSorter() override { stopAndWait(); }
    int clockReads() const { return m_reads.load(); }

protected:
    // Time passes only as the script says: no release for want of data.
    int64_t idleMicroseconds() const override { return -1; }
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
using Groups = QVector<QVector<quint64>>;

DataPacket* energyPacket(const QVector<quint64>& timestamps)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), timestamps.isEmpty() ? 0 : timestamps.last());
    for (quint64 ts : timestamps)
        packet->items.push_back(new TrackedEnergy(ts));
    return packet;
}

PinMessage sourceMessage(DataPacket* packet)
{
    return PinMessage{"energy", "endpoints\\events", 1, 2, packet, nullptr, 3};
}

QVector<quint64> timestampsOf(const DataPacket* packet)
{
    QVector<quint64> timestamps;
    for (const QuarixPayload* item : packet->items)
        timestamps.append(item->timestamp);
    return timestamps;
}

// The event timestamps of each released packet; destroys the packets.
Groups groupsOf(const QVector<PinMessage>& released)
{
    Groups groups;
    for (const PinMessage& m : released) {
        groups.append(timestampsOf(m.packet));
        delete m.packet;
    }
    return groups;
}

struct SortingRig {
    PinOutput upstream{nullptr, QStringLiteral("energy")}, output{nullptr, QStringLiteral("energy")};
    PinInput input{nullptr, QStringLiteral("energy")};
    QList<PinInput*> inputs{&input};
    QList<PinOutput*> outputs{&output};
    SortingRig() { input.Connect(&upstream); }

    // Lets a scripted-clock worker handle the messages and stop; returns what it released.
    QVector<PinMessage> run(const std::vector<PinMessage>& messages, const std::vector<quint64>& times)
    {
        for (const PinMessage& m : messages)
            upstream.Push(m);
        ScriptedClockSorter sorter(&inputs, &outputs, times);
        sorter.start();
        sorter.stopAndWait();
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
    size_t m_aliveBefore = 0;
private slots:
    void init() { m_aliveBefore = TrackedEnergy::aliveCount(); }
    void cleanup() { QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore); }

    void releasesOldestEventsAsCoincidenceGroups_data()
    {
        QTest::addColumn<QVector<Arrival>>("arrivals");
        QTest::addColumn<Groups>("released");
        QTest::newRow("lone packet stays") << QVector<Arrival>{{0, true, {1000, 1050, 1100}}} << Groups{};
        QTest::newRow("5000 us too young") << QVector<Arrival>{{0, true, {1000}}, {5000, true, {9000}}} << Groups{};
        QTest::newRow("5001 us old enough") << QVector<Arrival>{{0, true, {1000}}, {5001, true, {9000}}} << Groups{{1000}};
        QTest::newRow("100 units from first") << QVector<Arrival>{{0, true, {1000, 1050, 1100, 1101}}, {6000, true, {1202, 1300}}}
            << Groups{{1000, 1050, 1100}, {1101}};
        QTest::newRow("group takes new events") << QVector<Arrival>{{0, true, {1000}}, {6000, true, {1050, 1100, 1200}}}
            << Groups{{1000, 1050, 1100}};
        QTest::newRow("equal timestamps") << QVector<Arrival>{{0, true, {500}}, {1, true, {500}}, {6000, true, {9000}}} << Groups{{500, 500}};
        QTest::newRow("across packets") << QVector<Arrival>{{0, true, {500, 300}}, {1, true, {100, 400, 200}}, {10000, true, {100000}}}
            << Groups{{100, 200}, {300, 400}, {500}};
        QTest::newRow("stops at young event") << QVector<Arrival>{{0, true, {1000}}, {3000, true, {2000}}, {6000, true, {5000}}} << Groups{{1000}};
        QTest::newRow("empty packet, lone event") << QVector<Arrival>{{0, true, {1000}}, {10000, true, {}}} << Groups{};
        QTest::newRow("last event leaves") << QVector<Arrival>{{0, true, {1000, 1200}}, {6000, true, {}}} << Groups{{1000}, {1200}};
        QTest::newRow("no packet releases") << QVector<Arrival>{{0, true, {1000, 1200}}, {6000, false, {}}} << Groups{{1000}, {1200}};
        QTest::newRow("clock set back is old") << QVector<Arrival>{{10000, true, {1000, 1100}}, {5000, true, {2000}}} << Groups{{1000, 1100}};
        QTest::newRow("young joins old group") << QVector<Arrival>{{0, true, {10, 300}}, {3000, true, {320}}, {6000, true, {}}}
            << Groups{{10}, {300, 320}};
    }
    void releasesOldestEventsAsCoincidenceGroups()
    {
        QFETCH(QVector<Arrival>, arrivals);
        QFETCH(Groups, released);
        std::vector<PinMessage> messages;
        std::vector<quint64> times;
        for (const Arrival& arrival : arrivals) {
            messages.push_back(sourceMessage(arrival.hasPacket ? energyPacket(arrival.timestamps) : nullptr));
            times.push_back(arrival.now);
        }
        SortingRig rig;
        QCOMPARE(groupsOf(rig.run(messages, times)), released);
        QCOMPARE(rig.clockReads, arrivals.size());   // one clock reading per message
    }

    // A packet is named and stamped after its first event; message fields start empty;
    // every event carries the clock reading of the message it came with.
    void releasedPacketsDescribeTheirFirstEventAndEventsTheirArrival()
    {
        auto* mixed = new DataPacket(QStringLiteral("energy"), 0);
        auto* snapshot = new QuarixPayload_RateCounters(1);
        snapshot->timestamp = 700;
        mixed->items = {new TrackedEnergy(750), snapshot, new TrackedEnergy(900)};
        SortingRig rig;
        const QVector<PinMessage> out = rig.run({sourceMessage(mixed), sourceMessage(energyPacket({800})),
                sourceMessage(energyPacket({5000}))}, {100, 123, 6000});
        QCOMPARE(out.size(), 2);
        QCOMPARE(QVariantList({out[0].packet->name, out[0].packet->timestamp, out[1].packet->name, out[1].packet->timestamp}),
                 QVariantList({"rate_counters", quint64(700), "energy", quint64(900)}));
        QVector<quint64> arrivalTimes;
        for (const PinMessage& m : out) {
            QCOMPARE(QVariantList({m.data_type, m.source, m.header0, m.header1, m.reserved}), QVariantList({"", "",
                    quint64(0), quint64(0), quint64(0)}));
            QVERIFY(!m.raw_data);
            for (const QuarixPayload* item : m.packet->items)
                arrivalTimes.append(item->arrival_time);
        }
        QCOMPARE(groupsOf(out), Groups({{700, 750, 800}, {900}}));
        QCOMPARE(arrivalTimes, QVector<quint64>({100, 100, 123, 100}));
    }

    // A payload that a tee shares with another branch is never stamped: the sorter stamps a copy.
    void stampsItsOwnCopyOfASharedPayload()
    {
        DataPacket* shared = energyPacket({1000});
        DataPacket* otherBranch = new DataPacket(QStringLiteral("energy"), 0);
        otherBranch->items.push_back(shared->items.front()->share());
        SortingRig rig;
        const QVector<PinMessage> out = rig.run({sourceMessage(shared), sourceMessage(energyPacket({9000}))}, {100, 6000});
        QCOMPARE(out.size(), 1);
        QVERIFY(out[0].packet->items.front() != otherBranch->items.front());
        QCOMPARE(out[0].packet->items.front()->arrival_time, quint64(100));
        QCOMPARE(otherBranch->items.front()->arrival_time, quint64(0));
        QVERIFY(!otherBranch->items.front()->isShared());
        delete otherBranch;
        QCOMPARE(groupsOf(out), Groups({{1000}}));
    }

    void aFullBufferDestroysIncomingPacketsButStillReleases()
    {
        QVector<quint64> expected;
        for (quint64 ts = 0; ts < 9999; ++ts)
            expected.append(ts);
        DataPacket* rejected = energyPacket({30000, 30001});
        const QuarixPayload* rejectedEvent = rejected->items.front();
        // 9999 buffered, so the next packet of 5 is still taken in (10004); the two after it are destroyed whole.
        QTest::ignoreMessage(QtInfoMsg, "Order buffer full!");
        QTest::ignoreMessage(QtInfoMsg, "Order buffer full!");
        SortingRig rig;
        const QVector<PinMessage> out = rig.run({sourceMessage(energyPacket(expected)),
                sourceMessage(energyPacket({20000, 20001, 20002, 20003, 20004})),
                                                 sourceMessage(rejected), sourceMessage(energyPacket({50000}))}, {0, 1, 2, 10000});
        QVERIFY(!TrackedEnergy::isAlive(rejectedEvent));
        QCOMPARE(out.size(), 99 + 1);   // 0..9998 in 99 groups of 101, then the five
        QVector<quint64> all;
        for (const QVector<quint64>& group : groupsOf(out))
            all += group;
        expected += QVector<quint64>({20000, 20001, 20002, 20003, 20004});
        QCOMPARE(all, expected);
    }

    void blockReleasesALonePacketOnceNoDataCameForLongerThanTheHold()
    {
        auto p = [](const char* name, const QJsonValue& value) { return QJsonObject{{"param_name", name}, {"param_value", value}}; };
        const QJsonArray parameters{p("n_windows", 2), p("timestamp_delta", 9), p("n_windows", 7), p("timestamp_delta", -2.7)};
        UpstreamRig<Process_Time_Sorting> rig("processing/1/filter_chain/c/chain/ts", blockEntry("time_sorting", "ts", "energy", parameters));
        // Kept, later ones winning, the worker's delta truncated toward zero; the ordering does not use them.
        QCOMPARE(QVariantList({rig.block().nWindows(), rig.block().timestampDelta(),
                rig.block().worker()->nWindows(), rig.block().worker()->timestampDelta()}),
                 QVariantList({7, -2.7, 7, -2.0}));
        QCOMPARE(rig.block().outputPins().size(), 1);
        PinOutput* released = rig.block().outputPins().at(0);
        const quint64 before = quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;
        rig.push(sourceMessage(energyPacket({1100, 1000, 1050, 1200})));
        QTRY_COMPARE(released->size(), 2);   // the last event too, alone in its group
        const quint64 after = quint64(QDateTime::currentMSecsSinceEpoch() + 1) * 1000;
        const QVector<PinMessage> out = drain(released);
        for (const QuarixPayload* item : out[0].packet->items)   // microseconds since 1970
            QVERIFY(item->arrival_time >= before && item->arrival_time <= after);
        QCOMPARE(groupsOf(out), Groups({{1000, 1050, 1100}, {1200}}));
        rig.block().shutdown();
    }

    void theDeleterFreesAListOfPayloads()
    {
        DataDistructorTimeSorting deleter;
        PinMessage message;
        deleter.Release(&message);   // nothing behind the message
        message.raw_data = new std::vector<QuarixPayload*>{new TrackedEnergy(1), new TrackedEnergy(2)};
        deleter.Release(&message);
        QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore);
        QVERIFY(!message.raw_data);
    }
};

QTEST_GUILESS_MAIN(TestProcessTimeSorting)
#include "tst_process_time_sorting.moc"
