// The blocks that pass the event stream on: time sorting (order, 5 ms hold,
// 100-unit coincidence groups, the order buffer's cap) and the tee (every output
// gets every message; a full output counts its losses).
#include "blocks/tee/process_tee.h"
#include "blocks/time_sorting/data_distructor_time_sorting.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "block_test_rig.h"

#include <QtTest>

#include <atomic>

using namespace block_test;

namespace {
// A sorting worker whose clock reads one scripted value per message, so results do not depend on speed.
class ScriptedClockSorter : public Time_Sorting_Thread {
public:
    ScriptedClockSorter(const QList<PinInput*>* inputs, const QList<PinOutput*>* outputs, QVector<quint64> times, int limit)
        : Time_Sorting_Thread(QStringLiteral("sorter"), inputs, outputs, 0, 0.0, &m_deleter, limit), m_times(std::move(times)) {}
    ~ScriptedClockSorter() override { stopAndWait(); }

protected:
    int64_t idleMicroseconds() const override { return -1; }   // no release for want of data
    quint64 nowMicroseconds() const override { return m_times.value(m_reads++, m_times.last()); }

private:
    DataDistructorTimeSorting m_deleter;
    const QVector<quint64> m_times;
    mutable std::atomic<int> m_reads{0};
};

using Groups = QVector<QVector<quint64>>;

DataPacket* stamped(const QVector<quint64>& timestamps)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), 0);
    for (quint64 ts : timestamps)
        packet->items.push_back(new TrackedEnergy(ts));
    return packet;
}

// The event timestamps of each released packet, checking the packet and message fields; destroys them.
Groups groupsOf(const QVector<PinMessage>& released)
{
    Groups groups;
    for (const PinMessage& m : released) {
        groups.append(QVector<quint64>());
        for (const QuarixPayload* item : m.packet->items)
            groups.last().append(item->timestamp);
        const bool fields = m.data_type.isEmpty() && m.source.isEmpty() && m.header0 == 0 && m.header1 == 0
                            && m.packet->name == "energy" && m.packet->timestamp == groups.last().first();
        if (!fields)
            groups.last().prepend(999999);   // shows up as a mismatch
        delete m.packet;
    }
    return groups;
}
}  // namespace

class TestStreamBlocks : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QCOMPARE(TrackedEnergy::alive(), 0); }   // nothing leaks, nothing is lost undestroyed

    // Each arrival: the clock reading when it comes, then its event timestamps.
    void sortingReleasesOldEventsAsCoincidenceGroups_data()
    {
        QTest::addColumn<QVector<quint64>>("clock");
        QTest::addColumn<Groups>("arrivals");
        QTest::addColumn<int>("bufferLimit");
        QTest::addColumn<Groups>("released");
        QTest::addColumn<int>("dropped");
        const int limit = Time_Sorting_Thread::kBufferLimit;
        QTest::newRow("lone packet stays") << QVector<quint64>{0} << Groups{{1000, 1050}} << limit << Groups{} << 0;
        QTest::newRow("5000 us is not older") << QVector<quint64>{0, 5000} << Groups{{1000}, {9000}} << limit << Groups{} << 0;
        QTest::newRow("5001 us is older") << QVector<quint64>{0, 5001} << Groups{{1000}, {9000}} << limit << Groups{{1000}} << 0;
        QTest::newRow("group spans 100 units") << QVector<quint64>{0, 6000} << Groups{{1000, 1050, 1100, 1101}, {1202}} << limit
                                               << Groups{{1000, 1050, 1100}, {1101}} << 0;
        QTest::newRow("group takes young events") << QVector<quint64>{0, 6000} << Groups{{1000}, {1050, 1100, 1200}} << limit
                                                  << Groups{{1000, 1050, 1100}} << 0;
        QTest::newRow("equal timestamps") << QVector<quint64>{0, 1, 6000} << Groups{{500}, {500}, {9000}} << limit << Groups{{500, 500}} << 0;
        QTest::newRow("out of order across packets") << QVector<quint64>{0, 1, 10000} << Groups{{500, 300}, {100, 400, 200}, {100000}}
                                                     << limit << Groups{{100, 200}, {300, 400}, {500}} << 0;
        QTest::newRow("stops at a young event") << QVector<quint64>{0, 3000, 6000} << Groups{{1000}, {2000}, {5000}} << limit
                                                << Groups{{1000}} << 0;
        QTest::newRow("last event leaves too") << QVector<quint64>{0, 6000} << Groups{{1000, 1200}, {}} << limit << Groups{{1000}, {1200}} << 0;
        QTest::newRow("clock set back is old") << QVector<quint64>{10000, 5000} << Groups{{1000, 1100}, {2000}} << limit
                                               << Groups{{1000, 1100}} << 0;
        // The cap is tested before a packet is added: 2 < 3 takes the second packet whole, then 4 >= 3 refuses.
        QTest::newRow("full buffer drops and counts") << QVector<quint64>{0, 1, 2, 6000} << Groups{{10, 20}, {30, 40}, {50, 60, 70}, {}}
                                                      << 3 << Groups{{10, 20, 30, 40}} << 3;
        QTest::newRow("buffer at the cap refuses") << QVector<quint64>{0, 1, 2, 6000} << Groups{{10, 20}, {30, 40}, {50}, {}}
                                                   << 4 << Groups{{10, 20, 30, 40}} << 1;
    }
    void sortingReleasesOldEventsAsCoincidenceGroups()
    {
        QFETCH(QVector<quint64>, clock);
        QFETCH(Groups, arrivals);
        QFETCH(int, bufferLimit);
        QFETCH(Groups, released);
        QFETCH(int, dropped);
        PinOutput upstream(nullptr, "energy"), output(nullptr, "energy");
        PinInput input(nullptr, "energy");
        input.Connect(&upstream);
        const QList<PinInput*> inputs{&input};
        const QList<PinOutput*> outputs{&output};
        for (const QVector<quint64>& timestamps : arrivals)
            upstream.Push(PinMessage{"energy", "endpoints\\events", 1, 2, stamped(timestamps)});
        {
            ScriptedClockSorter sorter(&inputs, &outputs, clock, bufferLimit);
            sorter.start();
            sorter.stopAndWait();
            QCOMPARE(int(sorter.droppedEvents()), dropped);
        }
        QCOMPARE(groupsOf(drain(&output)), released);
    }

    // The block on the real clock: once no data came for longer than the hold, everything leaves,
    // and events refused by the cap are reported as losses.
    void sortingBlockReleasesWhenDataStopsAndReportsLosses()
    {
        Rig<Process_Time_Sorting> rig(entry("ts", {parameter("order_buffer_limit", 2)}));
        std::vector<PinMessage> batch{PinMessage{"energy", "", 0, 0, stamped({1100, 1000, 1200})},
                                      PinMessage{"energy", "", 0, 0, stamped({1050})}};
        QCOMPARE(rig.upstream().PushBatch(batch), 2);
        PinOutput* released = rig.block().outputPins().at(0);
        QTRY_COMPARE(released->size(), 2);
        QCOMPARE(groupsOf(drain(released)), Groups({{1000, 1100}, {1200}}));
        BlockLosses losses;
        rig.block().appendLosses(losses);
        QCOMPARE(losses.size(), size_t(1));
        QCOMPARE(QString(losses[0].cause), QStringLiteral("order_buffer_full"));
        QCOMPARE(losses[0].count, uint64_t(1));
        QVERIFY(losses[0].events);
    }

    void sortingBlockRefusesABadBufferLimit()
    {
        Rig<Process_Time_Sorting> rig(entry("ts", {parameter("order_buffer_limit", 0)}));
        QCOMPARE(rig.block().configurationError(), QStringLiteral(R"(key "order_buffer_limit": must be a whole number from 1 to 10000000)"));
    }

    // Every output gets every message with its fields, in order; payloads live until their last holder.
    void teeGivesEveryOutputEveryMessage()
    {
        QJsonObject tee = entry("fan");
        tee.insert("output_count", 3);
        Rig<Process_Tee> rig(tee);
        QCOMPARE(rig.block().outputPins().size(), 3);
        for (quint64 m = 1; m <= 3; ++m) {
            auto* packet = new DataPacket(QStringLiteral("energy"), 4000 + m);
            for (quint64 e = 0; e < m - 1; ++e)
                packet->items.push_back(new TrackedEnergy(m * 10 + e));
            rig.upstream().Push(PinMessage{"energy", "endpoints\\events", m, 77, packet, nullptr, 5});
        }
        QVector<QVector<PinMessage>> received;
        for (PinOutput* output : rig.block().outputPins())
            received.append(drain(output));
        for (const QVector<PinMessage>& messages : received) {
            QCOMPARE(messages.size(), 3);
            for (int i = 0; i < 3; ++i) {
                const quint64 m = quint64(i) + 1;
                const PinMessage& got = messages[i];
                QCOMPARE(QVariantList({got.data_type, got.source, got.header0, got.header1, got.reserved, got.packet->timestamp}),
                         QVariantList({"energy", "endpoints\\events", m, quint64(77), quint64(5), 4000 + m}));
                QCOMPARE(got.packet->items.size(), size_t(i));
                for (size_t e = 0; e < got.packet->items.size(); ++e)
                    QCOMPARE(got.packet->items[e]->timestamp, m * 10 + e);
            }
        }
        QVERIFY(received[0][2].packet != received[1][2].packet);
        for (int o = 0; o < 3; ++o) {
            QCOMPARE(TrackedEnergy::alive(), 3);   // shared, not copied, and kept while any output holds them
            for (const PinMessage& m : received[o])
                delete m.packet;
        }
    }

    // An output whose queue is full destroys and counts what it cannot take; the others are unaffected.
    void teeOutputsCountTheirLosses()
    {
        QJsonObject tee = entry("fan");
        tee.insert("output_count", 2);
        Rig<Process_Tee> rig(tee);
        PinInput reader(nullptr, "energy");   // output 1 is read as it goes
        reader.Connect(rig.block().outputPins().at(1));
        const int total = PinOutput::kQueueLimit + 3;
        int read = 0;
        for (int i = 0; i < total; ++i) {
            rig.push(energyPacket({{0, 0, quint64(i)}}));
            PinMessage m;
            while (reader.Pop(m) == PinInput::Taken) {
                read += m.packet->items.front()->timestamp == quint64(read) ? 1 : 1000000;
                delete m.packet;
            }
        }
        QCOMPARE(read, total);
        const PinStatistics full = rig.block().outputPins().at(0)->statistics();
        QCOMPARE(QList<quint64>({full.messages, full.droppedMessages, full.droppedEvents, quint64(full.queued)}),
                 QList<quint64>({quint64(PinOutput::kQueueLimit), 3, 3, quint64(PinOutput::kQueueLimit)}));
        QCOMPARE(rig.block().outputPins().at(1)->statistics().droppedMessages, quint64(0));
    }

    void teeWithoutOutputsDestroysWhatItGets()
    {
        Rig<Process_Tee> rig(entry("fan"));
        QCOMPARE(rig.block().outputPins().size(), 0);
        rig.push(energyPacket({{0}, {1}}));
        QCOMPARE(TrackedEnergy::alive(), 0);
        QCOMPARE(rig.upstream().size(), 0);
    }
};

QTEST_GUILESS_MAIN(TestStreamBlocks)
#include "tst_stream_blocks.moc"
