// Pins and block workers: the bounded queue and its loss counts under
// concurrent producers, pop results and order, and the worker hand-shake
// (no lost wake-up, an orderly stop drains the queue).
#include "core/block_worker.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QtTest>

#include <atomic>
#include <thread>

namespace {
std::atomic<int> g_alive{0};

class CountedPayload : public QuarixPayload_Energy {
public:
    CountedPayload() { ++g_alive; }
    ~CountedPayload() override { --g_alive; }
};

PinMessage message(quint64 header, int payloads)
{
    PinMessage m{QStringLiteral("energy"), QStringLiteral("endpoints\\list"), header, header + 1,
                 new DataPacket(QStringLiteral("energy"), header), nullptr, 7};
    for (int i = 0; i < payloads; ++i)
        m.packet->items.push_back(new CountedPayload);
    return m;
}

struct Wire {
    PinOutput output{nullptr, QStringLiteral("energy")};
    PinInput input{nullptr, QStringLiteral("energy")};
    Wire() { input.Connect(&output); }
};

// Counts the payloads it is handed, and how often it finished.
class CountingWorker : public BlockWorker {
public:
    using BlockWorker::BlockWorker;
    ~CountingWorker() override { stopAndWait(); }
    std::atomic<int> payloads{0};
    std::atomic<int> finished{0};

protected:
    void process(PinMessage& m) override
    {
        payloads += m.packet ? int(m.packet->items.size()) : 0;
        delete m.packet;
    }
    void finish() override { ++finished; }
};
}  // namespace

class TestPins : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { QCOMPARE(g_alive.load(), 0); }

    void popsInOrderAndTellsEmptyFromNotConnected()
    {
        Wire w;
        for (quint64 h : {10u, 20u, 30u})
            QVERIFY(w.output.Push(message(h, 1)));
        for (quint64 h : {10u, 20u, 30u}) {
            PinMessage m;
            QCOMPARE(w.input.Pop(m), int(PinInput::Taken));
            QCOMPARE(QVariantList({m.data_type, m.source, m.header0, m.header1, m.reserved, m.packet->timestamp}),
                     QVariantList({"energy", "endpoints\\list", h, h + 1, quint64(7), h}));
            delete m.packet;
        }
        PinMessage untouched;
        untouched.header0 = 99;
        QCOMPARE(w.input.Pop(untouched), int(PinInput::Empty));
        QCOMPARE(untouched.header0, quint64(99));
        QCOMPARE(PinInput(nullptr, "x").Pop(untouched), int(PinInput::NotConnected));
        QCOMPARE(w.input.eventsTaken(), quint64(3));
    }

    // Four producers and nobody popping: exactly the limit is queued, the rest destroyed and counted.
    void aFullQueueDestroysAndCountsUnderConcurrentProducers()
    {
        Wire w;
        constexpr int kThreads = 4, kEach = 3000;
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t)
            producers.emplace_back([&w, t] {
                for (int i = 0; i < kEach; ++i) {
                    if (i % 2) {
                        w.output.Push(message(quint64(t), 2));
                    } else {
                        std::vector<PinMessage> batch{message(quint64(t), 1), message(quint64(t), 1)};
                        w.output.PushBatch(batch);
                    }
                }
            });
        for (std::thread& p : producers)
            p.join();
        const PinStatistics s = w.output.statistics();
        const quint64 total = kThreads * kEach * 3 / 2;   // messages; two payloads per two messages on average
        QCOMPARE(quint64(s.queued), quint64(PinOutput::kQueueLimit));
        QCOMPARE(s.messages, quint64(PinOutput::kQueueLimit));
        QCOMPARE(s.droppedMessages, total - PinOutput::kQueueLimit);
        QCOMPARE(s.events + s.droppedEvents, quint64(kThreads * kEach * 2));
        QCOMPARE(quint64(g_alive.load()), s.events);   // the refused ones are destroyed at once
        QCOMPARE(s.queuedEvents, s.events);
        std::vector<PinMessage> taken;
        QCOMPARE(w.input.PopBatch(taken, 2 * PinOutput::kQueueLimit), PinOutput::kQueueLimit);
        for (PinMessage& m : taken)
            delete m.packet;
        QVERIFY(w.output.Push(message(1, 0)));   // room again
        PinMessage last;
        QCOMPARE(w.input.Pop(last), int(PinInput::Taken));
        delete last.packet;
    }

    // The second bound counts payloads: a message above it passes an empty queue only.
    void theQueueIsAlsoBoundedInPayloads()
    {
        Wire w;
        auto sized = [](size_t items) {
            PinMessage m;
            m.packet = new DataPacket(QStringLiteral("energy"), 0);
            m.packet->items.resize(items, nullptr);
            return m;
        };
        QVERIFY(w.output.Push(sized(PinOutput::kEventLimit + 1)));
        QVERIFY(!w.output.Push(sized(1)));
        PinMessage m;
        QCOMPARE(w.input.Pop(m), int(PinInput::Taken));
        delete m.packet;
        QVERIFY(w.output.Push(sized(PinOutput::kEventLimit - 1)));
        QVERIFY(w.output.Push(sized(1)));   // exactly at the bound
        QVERIFY(!w.output.Push(sized(1)));
        QCOMPARE(w.output.statistics().droppedEvents, quint64(2));
        while (w.input.Pop(m) == PinInput::Taken)
            delete m.packet;
    }

    // A worker sees every push, each without waiting for a later one, from any thread.
    void theWorkerMissesNoWakeUp()
    {
        PinOutput upstream(nullptr, QStringLiteral("energy"));
        PinInput input(nullptr, QStringLiteral("energy"));
        const QList<PinInput*> inputs{&input};
        CountingWorker worker(QStringLiteral("w"), &inputs);
        input.Connect(&upstream);
        worker.start();
        for (int round = 1; round <= 50; ++round) {
            upstream.Push(message(0, 1));
            QTRY_COMPARE(worker.payloads.load(), round);
        }
        std::thread producer([&] {
            for (int i = 0; i < 3000; ++i) {
                while (upstream.size() >= PinOutput::kQueueLimit)
                    std::this_thread::yield();
                upstream.Push(message(0, 2));
            }
        });
        producer.join();
        QTRY_COMPARE_WITH_TIMEOUT(worker.payloads.load(), 50 + 6000, 20000);
        QCOMPARE(upstream.statistics().droppedMessages, quint64(0));
    }

    // Messages queued before the worker was told of them are handled by the orderly stop, then finish() runs once.
    void anOrderlyStopDrainsTheQueueThenFinishes()
    {
        PinOutput upstream(nullptr, QStringLiteral("energy"));
        for (int i = 0; i < 10; ++i)
            upstream.Push(message(0, 3));
        PinInput input(nullptr, QStringLiteral("energy"));
        const QList<PinInput*> inputs{&input};
        CountingWorker worker(QStringLiteral("w"), &inputs);
        input.Connect(&upstream);
        worker.start();
        worker.stopAndWait();
        QCOMPARE(worker.payloads.load(), 30);
        QCOMPARE(worker.finished.load(), 1);
        QCOMPARE(upstream.size(), 0);
        worker.stopAndWait();   // a second stop does nothing more
        QCOMPARE(worker.finished.load(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPins)
#include "tst_pins.moc"
