// The tee block: every packet reaches every output as a copy of its own.
#include "blocks/tee/process_tee.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"

#include <QtTest>

#include <set>

using namespace block_test;

namespace {
using TeeRig = UpstreamRig<Process_Tee>;

std::unique_ptr<TeeRig> makeTee(const QJsonValue& outputCount, bool connectNow = true)
{
    QJsonObject entry = blockEntry("tee", "fan", "energy");
    if (!outputCount.isUndefined())
        entry.insert("output_count", outputCount);
    return std::make_unique<TeeRig>("processing/0/filter_chain/main/chain/fan", entry, connectNow);
}

void push(TeeRig& rig, DataPacket* packet, quint64 header0 = 0)
{
    rig.push(PinMessage{"energy", "endpoints\\events", header0, 77, packet, (void*)0x1234, 5});
}

DataPacket* energyPacket(quint64 packetTimestamp, std::initializer_list<uint64_t> timestamps)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), packetTimestamp);
    for (uint64_t ts : timestamps)
        packet->items.push_back(new TrackedEnergy(ts));
    return packet;
}

QVector<PinMessage> drainOutputs(TeeRig& rig)   // output after output
{
    QVector<PinMessage> all;
    for (PinOutput* output : rig.block().outputPins())
        all += drain(output);
    return all;
}
}  // namespace

class TestProcessTee : public QObject {
    Q_OBJECT
    size_t m_aliveBefore = 0;
private slots:
    void init() { m_aliveBefore = TrackedEnergy::aliveCount(); }
    void cleanup() { QCOMPARE(TrackedEnergy::aliveCount(), m_aliveBefore); }   // nothing leaks

    void outputCountCreatesThatManyOutputs_data()
    {
        QTest::addColumn<QJsonValue>("outputCount");
        QTest::addColumn<int>("outputs");
        QTest::newRow("three") << QJsonValue(3) << 3;
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << 0;
        QTest::newRow("negative") << QJsonValue(-2) << 0;
        QTest::newRow("text") << QJsonValue("3") << 0;
    }
    void outputCountCreatesThatManyOutputs()
    {
        QFETCH(QJsonValue, outputCount);
        QFETCH(int, outputs);
        auto rig = makeTee(outputCount);
        QCOMPARE(rig->block().outputPins().size(), outputs);
        push(*rig, energyPacket(1, {10, 20}));   // consumed even without outputs
        QCOMPARE(rig->upstream().size(), 0);
        for (const PinMessage& copy : drainOutputs(*rig))
            delete copy.packet;
    }

    void everyOutputGetsAPacketOfItsOwnSharingThePayloadsUntilTheLastIsGone()
    {
        auto rig = makeTee(3);
        DataPacket* original = energyPacket(4000, {1000, 2000});
        original->items.push_back(new QuarixPayload_RateCounters(2));
        const QuarixPayload* first = original->items.front();
        push(*rig, original, 11);   // forwarded at once, on this thread
        const QVector<PinMessage> copies = drainOutputs(*rig);
        QCOMPARE(copies.size(), 3);
        std::set<const void*> packets;
        for (const PinMessage& copy : copies) {
            QCOMPARE(QVariantList({copy.data_type, copy.source, copy.header0, copy.header1, copy.reserved, copy.packet->timestamp}),
                     QVariantList({"energy", "endpoints\\events", quint64(11), quint64(77), quint64(5), quint64(4000)}));
            QCOMPARE(copy.raw_data, (void*)0x1234);
            QVERIFY(packets.insert(copy.packet).second);
            QCOMPARE(copy.packet->items.size(), size_t(3));
            QCOMPARE(copy.packet->items.front(), first);
            QVERIFY(copy.packet->items[2]->isShared());
        }
        delete copies[0].packet;
        delete copies[2].packet;
        QVERIFY(TrackedEnergy::isAlive(first));   // the second packet still holds it
        QVERIFY(!copies[1].packet->items[2]->isShared());
        delete copies[1].packet;
        QVERIFY(!TrackedEnergy::isAlive(first));
    }

    // Queued before connecting, so only the orderly stop forwards them: all, in
    // order, as one batch per output, empty and missing packets as they are.
    void shutdownForwardsEverythingQueuedInOrder()
    {
        auto rig = makeTee(2, false);
        push(*rig, energyPacket(1, {100}), 1);
        push(*rig, new DataPacket(QStringLiteral("energy"), 555), 2);
        push(*rig, nullptr, 3);
        rig->connectUpstream();
        QVector<int> order;   // output, then its queue length
        for (int o = 0; o < 2; ++o) {
            PinOutput* output = rig->block().outputPins().at(o);
            connect(output, &PinOutput::NewDataPushedInPin, this, [&order, o, output] { order << o << output->size(); });
        }
        rig->block().shutdown();
        QCOMPARE(order, QVector<int>({0, 3, 1, 3}));
        QCOMPARE(rig->upstream().size(), 0);
        const QVector<PinMessage> received = drainOutputs(*rig);
        QCOMPARE(received.size(), 6);
        for (int i = 0; i < 6; ++i) {
            QCOMPARE(received[i].header0, quint64(i % 3 + 1));   // output 0's three, then output 1's
            QCOMPARE(received[i].packet ? int(received[i].packet->items.size()) : -1, QVector<int>({1, 0, -1})[i % 3]);
            delete received[i].packet;
        }
    }
};

QTEST_GUILESS_MAIN(TestProcessTee)
#include "tst_process_tee.moc"
