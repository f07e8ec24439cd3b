// The block base, the worker hand-shake and block lookup.
#include "core/block_worker.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"
#include "core/quarix_payload_energy.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace {
class CountingWorker : public BlockWorker {
public:
    using BlockWorker::BlockWorker;
    std::atomic<int> payloads{0};
    std::atomic<int> finished{0};

protected:
    void process(PinMessage& message) override
    {
        if (message.packet)
            payloads += static_cast<int>(message.packet->items.size());
        delete message.packet;
    }
    void finish() override { ++finished; }
};

class CountingBlock : public QuarixBlock {
    Q_OBJECT
public:
    explicit CountingBlock(const QString& name, bool withWorker = true)
    {
        m_blockType = QStringLiteral("counting");
        setName(name);
        createPins(1, 1, QStringLiteral("energy"));
        if (withWorker) {
            m_worker = new CountingWorker(name, &m_inputPins);
            m_worker->start();
        }
    }
    CountingWorker* worker() const { return static_cast<CountingWorker*>(m_worker); }

public slots:
    void NewDataInTheInputPin(int) { wakeWorker(); }
    void InterpretMessage(QString data_in, QString* data_out) { *data_out = QStringLiteral("echo:") + data_in; }
};

PinMessage energyMessage(int events)
{
    PinMessage message;
    message.packet = new DataPacket(QStringLiteral("energy"), 0);
    for (int i = 0; i < events; ++i)
        message.packet->items.push_back(new QuarixPayload_Energy);
    return message;
}
}  // namespace

class TestBlockFramework : public QObject {
    Q_OBJECT
private slots:
    void lookupFindsTheFirstMatch()
    {
        CountingBlock first(QStringLiteral("ts"), false);
        CountingBlock second(QStringLiteral("ts"), false);
        CountingBlock unnamed(QString(), false);
        first.setFullPath(QStringLiteral("processing/0/filter_chain/a/chain/ts"));
        QVERIFY(second.setProperty("FullPath", QStringLiteral("processing/0/filter_chain/b/chain/ts")));
        const QList<QuarixBlock*> blocks{&first, &second, &unnamed};
        QCOMPARE(QuarixBlock::findByName(blocks, QStringLiteral("ts")), &first);
        QCOMPARE(QuarixBlock::findByFullPath(blocks, QStringLiteral("processing/0/filter_chain/b/chain/ts")), &second);
        QCOMPARE(QuarixBlock::findByName(blocks, QString()), &unnamed);
        QVERIFY(QuarixBlock::findByName(blocks, QStringLiteral("TS")) == nullptr);
        QVERIFY(QuarixBlock::findByFullPath(blocks, QStringLiteral("nowhere")) == nullptr);
    }

    void interpretReachesTheSlotByName()
    {
        CountingBlock block(QStringLiteral("b"), false);
        QString reply;
        QVERIFY(QuarixBlock::interpret(&block, QStringLiteral("{}"), &reply));
        QCOMPARE(reply, QStringLiteral("echo:{}"));
        QuarixBlock plain;
        QString untouched;
        QVERIFY(!QuarixBlock::interpret(&plain, QStringLiteral("{}"), &untouched));
        QVERIFY(untouched.isEmpty());
    }

    void theWorkerSeesEveryPushFromAProducerThread()
    {
        // Pushes race with the worker's drain; none may wait for a later push.
        PinOutput upstream(nullptr, QStringLiteral("energy"));
        CountingBlock block(QStringLiteral("sink"));
        block.inputPins().at(0)->Connect(&upstream);
        constexpr int kMessages = 3000;
        std::thread producer([&] {
            for (int i = 0; i < kMessages; ++i) {
                upstream.Push(energyMessage(2));
                if (i % 97 == 0)
                    std::this_thread::yield();
            }
        });
        producer.join();
        QTRY_COMPARE_WITH_TIMEOUT(block.worker()->payloads.load(), 2 * kMessages, 20000);
        QCOMPARE(upstream.size(), 0);
    }

    void aSinglePushIsDrainedWithoutAnyLaterPush()
    {
        PinOutput upstream(nullptr, QStringLiteral("energy"));
        CountingBlock block(QStringLiteral("sink"));
        block.inputPins().at(0)->Connect(&upstream);
        for (int round = 1; round <= 50; ++round) {
            upstream.Push(energyMessage(1));
            QTRY_COMPARE(block.worker()->payloads.load(), round);
        }
    }

    void anOrderlyStopDrainsTheQueueAndFinishes()
    {
        PinOutput upstream(nullptr, QStringLiteral("energy"));
        CountingBlock block(QStringLiteral("sink"));
        block.inputPins().at(0)->Connect(&upstream);
        // Queue without telling the block: only the stop can drain these.
        upstream.blockSignals(true);
        for (int i = 0; i < 10; ++i)
            upstream.Push(energyMessage(3));
        block.shutdown();
        QCOMPARE(block.worker()->payloads.load(), 30);
        QCOMPARE(block.worker()->finished.load(), 1);
        QVERIFY(block.worker()->isFinished());
    }
};

QTEST_GUILESS_MAIN(TestBlockFramework)
#include "tst_block_framework.moc"
