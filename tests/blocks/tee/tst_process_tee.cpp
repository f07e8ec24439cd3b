// The tee block: every packet reaches every output as a copy of its own.
#include "blocks/tee/process_tee.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"

#include <QtTest>

#include <set>

using namespace block_test;

namespace {

// A tee named "fan" fed by a pin of the test; queued before connecting when connectNow is false.
struct TeeRig : UpstreamRig<Process_Tee> {
    explicit TeeRig(const QJsonValue& outputCount, bool connectNow = true)
        : UpstreamRig("processing/0/filter_chain/main/chain/fan", entry(outputCount), connectNow)
    {
    }
    static QJsonObject entry(const QJsonValue& outputCount)
    {
        QJsonObject entry = blockEntry("tee", "fan", "energy");
        if (!outputCount.isUndefined())
            entry.insert("output_count", outputCount);
        return entry;
    }
};

PinMessage message(DataPacket* packet, quint64 header0 = 0)
{
    PinMessage m = messageOf(packet);
    m.source = QStringLiteral("endpoints\\events");
    m.header0 = header0;
    m.header1 = 77;
    m.raw_data = reinterpret_cast<void*>(quintptr(0x1234));
    m.reserved = 5;
    return m;
}

DataPacket* energyPacket(quint64 packetTimestamp, std::initializer_list<uint64_t> timestamps)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), packetTimestamp);
    for (uint64_t ts : timestamps) {
        auto* event = new TrackedEnergy(ts);
        event->channel = 3;
        event->energy_raw = 1024 + uint32_t(ts);
        event->energy = 12.5;
        event->flag1 = 1;
        event->extra = 99;
        packet->items.push_back(event);
    }
    return packet;
}

// Drains every output, checks each got `count` messages, and destroys their packets.
void expectOnEveryOutput(Process_Tee& tee, int count)
{
    for (PinOutput* output : tee.outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), count);
        for (const PinMessage& m : received)
            delete m.packet;
    }
}
}  // namespace

class TestProcessTee : public QObject {
    Q_OBJECT
private slots:
    void init() { m_aliveBefore = TrackedEnergy::aliveCount(); }
    void cleanup() { QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore); }

    void outputCountCreatesThatManyOutputs_data();
    void outputCountCreatesThatManyOutputs();
    void everyOutputReceivesItsOwnCopyOfEachPacket();
    void theInputPacketIsDestroyedAfterTheLastPush();
    void withoutOutputsPacketsAreConsumedAndDestroyed();
    void emptyPacketsAndMissingPacketsArePassedOnAsTheyAre();
    void queuedMessagesAreAllForwardedInOneCallEachToEveryOutputFirst();
    void shutdownForwardsWhatIsStillQueued();

private:
    size_t m_aliveBefore = 0;
};

void TestProcessTee::outputCountCreatesThatManyOutputs_data()
{
    QTest::addColumn<QJsonValue>("outputCount");
    QTest::addColumn<int>("outputs");
    QTest::newRow("three") << QJsonValue(3) << 3;
    QTest::newRow("one") << QJsonValue(1) << 1;
    QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 0;
    QTest::newRow("zero") << QJsonValue(0) << 0;
    QTest::newRow("negative") << QJsonValue(-2) << 0;
    QTest::newRow("text is not a number") << QJsonValue("3") << 0;
}

void TestProcessTee::outputCountCreatesThatManyOutputs()
{
    QFETCH(QJsonValue, outputCount);
    QFETCH(int, outputs);
    TeeRig rig(outputCount);
    QCOMPARE(rig.block().blockType(), QStringLiteral("tee"));
    QCOMPARE(rig.block().inputPins().at(0)->name(), QStringLiteral("energy"));
    QCOMPARE(rig.block().outputPins().size(), outputs);
    for (PinOutput* output : rig.block().outputPins())
        QCOMPARE(output->name(), QStringLiteral("energy"));
}

void TestProcessTee::everyOutputReceivesItsOwnCopyOfEachPacket()
{
    TeeRig rig(3);
    DataPacket* original = energyPacket(4000, {1000, 2000});
    auto* counters = new QuarixPayload_RateCounters(2);
    counters->timestamp = 3000;
    (*counters->counters_in)[1] = 42;
    counters->elapsed_time = 1.5;
    original->items.push_back(counters);
    std::set<const void*> seen(original->items.begin(), original->items.end());

    rig.push(message(original, 11));   // delivered to the tee at once, on this thread
    QCOMPARE(rig.upstream().size(), 0);
    for (PinOutput* output : rig.block().outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 1);
        const PinMessage& copy = received.first();
        QCOMPARE(copy.data_type, QStringLiteral("energy"));
        QCOMPARE(copy.source, QStringLiteral("endpoints\\events"));
        QCOMPARE(copy.header0, quint64(11));
        QCOMPARE(copy.header1, quint64(77));
        QCOMPARE(copy.raw_data, reinterpret_cast<void*>(quintptr(0x1234)));
        QCOMPARE(copy.reserved, quint64(5));
        QCOMPARE(copy.packet->name, QStringLiteral("energy"));
        QCOMPARE(copy.packet->timestamp, quint64(4000));
        QCOMPARE(copy.packet->items.size(), size_t(3));
        for (int i = 0; i < 2; ++i) {
            auto* event = dynamic_cast<QuarixPayload_Energy*>(copy.packet->items[i]);
            QVERIFY(event);
            QVERIFY(seen.insert(event).second);   // a distinct object, never shared
            QCOMPARE(event->timestamp, uint64_t(1000 * (i + 1)));
            QCOMPARE(event->channel, 3u);
            QCOMPARE(event->energy_raw, 1024u + 1000u * (i + 1));
            QCOMPARE(event->energy, 12.5);
            QCOMPARE(event->flag1, uint8_t(1));
            QCOMPARE(event->extra, 99u);
        }
        auto* snapshot = dynamic_cast<QuarixPayload_RateCounters*>(copy.packet->items[2]);
        QVERIFY(snapshot);
        QVERIFY(seen.insert(snapshot).second);
        QCOMPARE(snapshot->timestamp, uint64_t(3000));
        QCOMPARE(snapshot->elapsed_time, 1.5);
        QCOMPARE((*snapshot->counters_in)[1], uint64_t(42));
        delete copy.packet;
    }
}

void TestProcessTee::theInputPacketIsDestroyedAfterTheLastPush()
{
    TeeRig rig(3);
    DataPacket* original = energyPacket(1, {10, 20});
    const QuarixPayload* firstOriginal = original->items.front();
    // Whether the incoming payload still exists at each push, seen from the push itself.
    QVector<bool> originalAliveAtPush;
    for (PinOutput* output : rig.block().outputPins()) {
        connect(output, &PinOutput::NewDataPushedInPin, this, [&originalAliveAtPush, firstOriginal] {
            originalAliveAtPush.append(TrackedEnergy::isAlive(firstOriginal));
        });
    }
    rig.push(message(original));

    QCOMPARE(originalAliveAtPush, QVector<bool>({true, true, true}));
    QVERIFY(!TrackedEnergy::isAlive(firstOriginal));
    QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore + 6);   // two copies for each of three outputs
    expectOnEveryOutput(rig.block(), 1);
}

void TestProcessTee::withoutOutputsPacketsAreConsumedAndDestroyed()
{
    TeeRig rig(QJsonValue(QJsonValue::Undefined));
    rig.push(message(energyPacket(1, {10, 20, 30})));
    rig.push(message(energyPacket(2, {40})));
    QCOMPARE(rig.upstream().size(), 0);
    QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore);
}

void TestProcessTee::emptyPacketsAndMissingPacketsArePassedOnAsTheyAre()
{
    TeeRig rig(2);
    rig.push(message(new DataPacket(QStringLiteral("energy"), 555)));
    rig.push(message(nullptr, 8));
    for (PinOutput* output : rig.block().outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 2);
        QCOMPARE(received[0].packet->name, QStringLiteral("energy"));
        QCOMPARE(received[0].packet->timestamp, quint64(555));
        QVERIFY(received[0].packet->items.empty());
        delete received[0].packet;
        QCOMPARE(received[1].header0, quint64(8));
        QVERIFY(!received[1].packet);
    }
}

void TestProcessTee::queuedMessagesAreAllForwardedInOneCallEachToEveryOutputFirst()
{
    // Queued before the tee is connected, so that no push reaches it.
    TeeRig rig(2, false);
    for (quint64 i = 1; i <= 3; ++i)
        rig.push(message(energyPacket(i, {i * 100}), i));
    rig.connectUpstream();

    QStringList order;
    for (int o = 0; o < rig.block().outputPins().size(); ++o) {
        PinOutput* output = rig.block().outputPins().at(o);
        connect(output, &PinOutput::NewDataPushedInPin, this,
                [&order, o, output] { order << QStringLiteral("out%1:%2").arg(o).arg(output->size()); });
    }
    rig.block().NewDataInTheInputPin(1);

    QCOMPARE(order, QStringList({"out0:1", "out1:1", "out0:2", "out1:2", "out0:3", "out1:3"}));
    QCOMPARE(rig.upstream().size(), 0);
    for (PinOutput* output : rig.block().outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 3);
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(received[i].header0, quint64(i + 1));
            QCOMPARE(received[i].packet->items.front()->timestamp, uint64_t(100 * (i + 1)));
            delete received[i].packet;
        }
    }
}

void TestProcessTee::shutdownForwardsWhatIsStillQueued()
{
    TeeRig rig(1, false);
    rig.push(message(energyPacket(1, {5})));
    rig.connectUpstream();
    QCOMPARE(rig.block().outputPins().at(0)->size(), 0);
    rig.block().shutdown();
    QCOMPARE(rig.upstream().size(), 0);
    expectOnEveryOutput(rig.block(), 1);
}

QTEST_GUILESS_MAIN(TestProcessTee)
#include "tst_process_tee.moc"
