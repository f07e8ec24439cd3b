// The tee block: every packet reaches every output as a copy of its own.
#include "blocks/tee/process_tee.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <set>

namespace {
// Energy payloads that know which of them are alive, so a test can see when
// the tee destroys what it received.
class TrackedEnergy : public QuarixPayload_Energy {
public:
    explicit TrackedEnergy(uint64_t ts) { timestamp = ts; alive().insert(this); }
    TrackedEnergy(const TrackedEnergy& other) : QuarixPayload_Energy(other) { alive().insert(this); }
    ~TrackedEnergy() override { alive().erase(this); }
    QuarixPayload* Clone() const override { return new TrackedEnergy(*this); }
    static std::set<const QuarixPayload*>& alive()
    {
        static std::set<const QuarixPayload*> objects;
        return objects;
    }
};

QJsonObject teeEntry(const QJsonValue& outputCount)
{
    QJsonObject entry{{"block_type", "tee"}, {"name", "fan"}, {"data_type", "energy"}};
    if (!outputCount.isUndefined())
        entry.insert("output_count", outputCount);
    return entry;
}

std::unique_ptr<Process_Tee> makeTee(const QJsonValue& outputCount)
{
    BlockContext context;
    context.full_path = QStringLiteral("processing/0/filter_chain/main/chain/fan");
    return std::make_unique<Process_Tee>(nullptr, &context, QJsonValue(teeEntry(outputCount)));
}

PinMessage message(DataPacket* packet, quint64 header0 = 0)
{
    PinMessage m;
    m.data_type = QStringLiteral("energy");
    m.source = QStringLiteral("endpoints\\events");
    m.header0 = header0;
    m.header1 = 77;
    m.raw_data = reinterpret_cast<void*>(quintptr(0x1234));
    m.reserved = 5;
    m.packet = packet;
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

// Pops everything queued on an output pin.
QVector<PinMessage> drain(PinOutput* output)
{
    PinInput reader(nullptr, QStringLiteral("reader"));
    reader.Connect(output);
    QVector<PinMessage> messages;
    PinMessage m;
    while (reader.Pop(m) == PinInput::Taken)
        messages.append(m);
    return messages;
}
}  // namespace

class TestProcessTee : public QObject {
    Q_OBJECT
private slots:
    void init() { m_aliveBefore = TrackedEnergy::alive().size(); }
    void cleanup() { QCOMPARE(TrackedEnergy::alive().size(), m_aliveBefore); }

    void constructionNamesTheBlockAndItsPins();
    void outputCountCreatesThatManyOutputs_data();
    void outputCountCreatesThatManyOutputs();
    void everyOutputReceivesItsOwnCopyOfEachPacket();
    void theInputPacketIsDestroyedAfterTheLastPush();
    void withoutOutputsPacketsAreConsumedAndDestroyed();
    void anEmptyPacketIsPassedOnAsAnEmptyPacket();
    void aMessageWithoutPacketIsPassedOnWithoutPacket();
    void queuedMessagesAreAllForwardedInOneCallEachToEveryOutputFirst();
    void shutdownForwardsWhatIsStillQueued();

private:
    size_t m_aliveBefore = 0;
};

void TestProcessTee::constructionNamesTheBlockAndItsPins()
{
    auto tee = makeTee(2);
    QCOMPARE(tee->blockType(), QStringLiteral("tee"));
    QCOMPARE(tee->Name(), QStringLiteral("fan"));
    QCOMPARE(tee->FullPath(), QStringLiteral("processing/0/filter_chain/main/chain/fan"));
    QCOMPARE(tee->inputPins().size(), 1);
    QCOMPARE(tee->inputPins().at(0)->name(), QStringLiteral("energy"));
    for (PinOutput* output : tee->outputPins())
        QCOMPARE(output->name(), QStringLiteral("energy"));
}

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
    auto tee = makeTee(outputCount);
    QCOMPARE(tee->outputPins().size(), outputs);
}

void TestProcessTee::everyOutputReceivesItsOwnCopyOfEachPacket()
{
    auto tee = makeTee(3);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    tee->inputPins().at(0)->Connect(&upstream);

    DataPacket* original = energyPacket(4000, {1000, 2000});
    auto* counters = new QuarixPayload_RateCounters(2);
    counters->timestamp = 3000;
    (*counters->counters_in)[1] = 42;
    counters->elapsed_time = 1.5;
    original->items.push_back(counters);
    const std::vector<QuarixPayload*> originals = original->items;

    QVERIFY(upstream.Push(message(original, 11)));   // delivered to the tee at once, on this thread

    QCOMPARE(upstream.size(), 0);
    std::set<const void*> seen(originals.begin(), originals.end());
    for (PinOutput* output : tee->outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 1);
        const PinMessage& copy = received.first();
        QCOMPARE(copy.data_type, QStringLiteral("energy"));
        QCOMPARE(copy.source, QStringLiteral("endpoints\\events"));
        QCOMPARE(copy.header0, quint64(11));
        QCOMPARE(copy.header1, quint64(77));
        QCOMPARE(copy.raw_data, reinterpret_cast<void*>(quintptr(0x1234)));
        QCOMPARE(copy.reserved, quint64(5));
        QVERIFY(copy.packet);
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
    auto tee = makeTee(3);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    tee->inputPins().at(0)->Connect(&upstream);
    DataPacket* original = energyPacket(1, {10, 20});
    const QuarixPayload* firstOriginal = original->items.front();

    // Whether the incoming payload still exists at each push, seen from the push itself.
    QVector<bool> originalAliveAtPush;
    for (PinOutput* output : tee->outputPins()) {
        connect(output, &PinOutput::NewDataPushedInPin, this, [&originalAliveAtPush, firstOriginal] {
            originalAliveAtPush.append(TrackedEnergy::alive().count(firstOriginal) == 1);
        });
    }
    QVERIFY(upstream.Push(message(original)));

    QCOMPARE(originalAliveAtPush, QVector<bool>({true, true, true}));
    QCOMPARE(TrackedEnergy::alive().count(firstOriginal), size_t(0));
    QCOMPARE(TrackedEnergy::alive().size(), size_t(6));   // two copies for each of three outputs
    for (PinOutput* output : tee->outputPins()) {
        for (const PinMessage& m : drain(output))
            delete m.packet;
    }
}

void TestProcessTee::withoutOutputsPacketsAreConsumedAndDestroyed()
{
    auto tee = makeTee(QJsonValue(QJsonValue::Undefined));
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    tee->inputPins().at(0)->Connect(&upstream);
    QVERIFY(upstream.Push(message(energyPacket(1, {10, 20, 30}))));
    QVERIFY(upstream.Push(message(energyPacket(2, {40}))));
    QCOMPARE(upstream.size(), 0);
    QCOMPARE(TrackedEnergy::alive().size(), m_aliveBefore);
}

void TestProcessTee::anEmptyPacketIsPassedOnAsAnEmptyPacket()
{
    auto tee = makeTee(2);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    tee->inputPins().at(0)->Connect(&upstream);
    QVERIFY(upstream.Push(message(new DataPacket(QStringLiteral("energy"), 555))));
    for (PinOutput* output : tee->outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 1);
        QVERIFY(received.first().packet);
        QCOMPARE(received.first().packet->name, QStringLiteral("energy"));
        QCOMPARE(received.first().packet->timestamp, quint64(555));
        QVERIFY(received.first().packet->items.empty());
        delete received.first().packet;
    }
}

void TestProcessTee::aMessageWithoutPacketIsPassedOnWithoutPacket()
{
    auto tee = makeTee(2);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    tee->inputPins().at(0)->Connect(&upstream);
    QVERIFY(upstream.Push(message(nullptr, 8)));
    for (PinOutput* output : tee->outputPins()) {
        const QVector<PinMessage> received = drain(output);
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().header0, quint64(8));
        QVERIFY(!received.first().packet);
    }
}

void TestProcessTee::queuedMessagesAreAllForwardedInOneCallEachToEveryOutputFirst()
{
    auto tee = makeTee(2);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    // Queue three messages before the tee is connected, so that no push reaches it.
    for (quint64 i = 1; i <= 3; ++i)
        QVERIFY(upstream.Push(message(energyPacket(i, {i * 100}), i)));
    tee->inputPins().at(0)->Connect(&upstream);

    QStringList order;
    for (int o = 0; o < tee->outputPins().size(); ++o) {
        PinOutput* output = tee->outputPins().at(o);
        connect(output, &PinOutput::NewDataPushedInPin, this,
                [&order, o, output] { order << QStringLiteral("out%1:%2").arg(o).arg(output->size()); });
    }
    tee->NewDataInTheInputPin(1);

    QCOMPARE(order, QStringList({"out0:1", "out1:1", "out0:2", "out1:2", "out0:3", "out1:3"}));
    QCOMPARE(upstream.size(), 0);
    for (PinOutput* output : tee->outputPins()) {
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
    auto tee = makeTee(1);
    PinOutput upstream(nullptr, QStringLiteral("energy"));
    QVERIFY(upstream.Push(message(energyPacket(1, {5}))));
    tee->inputPins().at(0)->Connect(&upstream);
    QCOMPARE(tee->outputPins().at(0)->size(), 0);

    tee->shutdown();

    QCOMPARE(upstream.size(), 0);
    const QVector<PinMessage> received = drain(tee->outputPins().at(0));
    QCOMPARE(received.size(), 1);
    delete received.first().packet;
}

QTEST_GUILESS_MAIN(TestProcessTee)
#include "tst_process_tee.moc"
