// Pins: the bounded queue and its loss counts, pop results, ordering, and how a
// push wakes its consumer.
#include "core/data_packet.h"
#include "core/pin_consumer.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <thread>

namespace {
// Counts live instances, so that a test can see a payload being destroyed.
std::atomic<int> g_alive{0};

class CountedPayload : public QuarixPayload_Energy {
public:
    CountedPayload() { ++g_alive; }
    CountedPayload(const CountedPayload& other) : QuarixPayload_Energy(other) { ++g_alive; }
    ~CountedPayload() override { --g_alive; }
};

PinMessage messageWith(quint64 header, int payloads)
{
    PinMessage message;
    message.data_type = QStringLiteral("energy");
    message.source = QStringLiteral("endpoints\\list");
    message.header0 = header;
    message.header1 = header + 1;
    message.reserved = 7;
    message.packet = new DataPacket(QStringLiteral("energy"), header);
    for (int i = 0; i < payloads; ++i)
        message.packet->items.push_back(new CountedPayload);
    return message;
}
// An output pin with one input connected to it.
struct Wire {
    PinOutput output{nullptr, QStringLiteral("energy")};
    PinInput input{nullptr, QStringLiteral("energy")};
    Wire() { input.Connect(&output); }
};
}  // namespace

class TestPins : public QObject {
    Q_OBJECT
private slots:
    void init() { g_alive = 0; }

    void messagesComeOutInTheOrderTheyWentIn()
    {
        Wire w;
        for (quint64 h : {10u, 20u, 30u})
            QVERIFY(w.output.Push(messageWith(h, 1)));
        for (quint64 h : {10u, 20u, 30u}) {
            PinMessage message;
            QCOMPARE(w.input.Pop(message), 0);
            QCOMPARE(QStringLiteral("%1 %2 %3 %4 %5 %6").arg(message.data_type, message.source).arg(message.header0)
                         .arg(message.header1).arg(message.reserved).arg(message.packet->timestamp),
                     QStringLiteral("energy endpoints\\list %1 %2 7 %1").arg(h).arg(h + 1));
            delete message.packet;
        }
        QCOMPARE(g_alive.load(), 0);
    }

    void popAnswersOneWhenEmptyAndMinusOneWhenNotConnected()
    {
        Wire w;
        PinMessage record;
        record.header0 = 99;
        QCOMPARE(w.input.Pop(record), 1);
        QCOMPARE(record.header0, quint64(99));   // left untouched
        PinInput unconnected(nullptr, QStringLiteral("energy"));
        QCOMPARE(unconnected.Pop(record), -1);
        QCOMPARE(unconnected.Pop(record), -1);
    }

    void aFullQueueDestroysAndCountsWhatIsPushedWhileTheConsumerIsHeldBack()
    {
        Wire w;   // nobody pops: the consumer is held back
        std::vector<PinMessage> batch;
        for (int i = 0; i < PinOutput::kQueueLimit - 1; ++i)
            batch.push_back(messageWith(i, 0));
        QCOMPARE(w.output.PushBatch(batch), PinOutput::kQueueLimit - 1);
        QVERIFY(batch.empty());
        QVERIFY(w.output.Push(messageWith(1, 2)));   // one short of the limit: accepted
        QCOMPARE(g_alive.load(), 2);

        QVERIFY(!w.output.Push(messageWith(2, 3)));   // full: destroyed and counted
        batch.push_back(messageWith(3, 4));
        batch.push_back(PinMessage());                // no packet: refused all the same
        QCOMPARE(w.output.PushBatch(batch), 0);
        QCOMPARE(g_alive.load(), 2);

        PinStatistics s = w.output.statistics();
        QCOMPARE(QList<quint64>({s.messages, s.events, s.droppedMessages, s.droppedEvents, quint64(s.queued)}),
                 QList<quint64>({10000, 2, 3, 7, 10000}));
        std::vector<PinMessage> taken;
        QCOMPARE(w.input.PopBatch(taken, 20000), 10000);
        QCOMPARE(w.input.eventsTaken(), quint64(2));
        for (PinMessage& m : taken)
            delete m.packet;
        taken.clear();
        QCOMPARE(w.output.statistics().queued, 0);

        // The second bound, in payloads: a message larger than it passes an empty queue only.
        const auto sized = [](size_t items) {
            PinMessage m;
            m.packet = new DataPacket(QStringLiteral("energy"), 0);
            m.packet->items.resize(items, nullptr);
            return m;
        };
        QVERIFY(w.output.Push(sized(PinOutput::kEventLimit + 1)));
        QVERIFY(!w.output.Push(sized(1)));
        QCOMPARE(w.input.PopBatch(taken, 1), 1);
        QVERIFY(w.output.Push(sized(PinOutput::kEventLimit - 1)));
        QVERIFY(w.output.Push(sized(1)));
        QVERIFY(!w.output.Push(sized(1)));
        s = w.output.statistics();
        QCOMPARE(QList<quint64>({s.droppedMessages, s.queuedEvents}), QList<quint64>({5, PinOutput::kEventLimit}));
        for (PinMessage& m : taken)
            delete m.packet;
        taken.clear();
        QCOMPARE(w.input.PopBatch(taken, 10), 2);
        for (PinMessage& m : taken)
            delete m.packet;
    }

    void postedNotificationsAreCoalescedUntilTheConsumerTakesOne()
    {
        Wire w;
        QSignalSpy ready(&w.input, &PinInput::DataReady);
        std::thread producer([&] {
            for (int i = 0; i < 100; ++i)
                w.output.Push(messageWith(i, 0));
        });
        producer.join();
        QTRY_COMPARE(ready.count(), 1);   // one wake-up for the hundred pushes
        QCoreApplication::processEvents();
        QCOMPARE(ready.count(), 1);
        std::thread again([&] { w.output.Push(messageWith(100, 0)); });
        again.join();
        QTRY_COMPARE(ready.count(), 2);   // taken: the next push posts again
        PinMessage m;
        while (w.input.Pop(m) == 0)
            delete m.packet;
    }

    void aRegisteredConsumerIsWokenOnTheProducersThreadAndNothingIsPosted()
    {
        struct Consumer : PinConsumer {
            std::atomic<int> calls{0};
            std::atomic<bool> onMainThread{false};
            void dataArrived() override
            {
                ++calls;
                if (QThread::currentThread() == qApp->thread())
                    onMainThread = true;
            }
        } consumer;
        Wire w;
        w.input.setConsumer(&consumer);
        QSignalSpy ready(&w.input, &PinInput::DataReady);
        std::thread producer([&] {
            w.output.Push(messageWith(1, 0));
            std::vector<PinMessage> batch;
            batch.push_back(messageWith(2, 0));
            batch.push_back(messageWith(3, 0));
            w.output.PushBatch(batch);
        });
        producer.join();
        QCOMPARE(consumer.calls.load(), 2);   // one per push, one per batch
        QVERIFY(!consumer.onMainThread);
        QCoreApplication::processEvents();
        QCOMPARE(ready.count(), 0);
        w.input.setConsumer(nullptr);
        w.output.Push(messageWith(4, 0));
        QCOMPARE(consumer.calls.load(), 2);
        PinMessage m;
        while (w.input.Pop(m) == 0)
            delete m.packet;
    }

    void eachPushIsRelayedAsDataReadyWithTheQueueLength()
    {
        Wire w;
        QSignalSpy ready(&w.input, &PinInput::DataReady);
        w.output.Push(messageWith(1, 0));
        w.output.Push(messageWith(2, 0));
        QCOMPARE(ready.count(), 2);   // same thread: delivered before Push returns
        QCOMPARE(ready.at(0).at(0).toInt(), 1);
        QCOMPARE(ready.at(1).at(0).toInt(), 2);
    }

    void aPushFromAnotherThreadArrivesQueuedOnTheOwnerThread()
    {
        Wire w;
        QThread* receiverThread = nullptr;
        connect(&w.input, &PinInput::DataReady, this, [&](int) { receiverThread = QThread::currentThread(); });
        std::thread producer([&] { w.output.Push(messageWith(1, 0)); });
        producer.join();
        QTRY_VERIFY(receiverThread != nullptr);
        QCOMPARE(receiverThread, QThread::currentThread());
    }

    void twoInputsOnOneOutputShareItsQueue()
    {
        PinOutput output(nullptr, QStringLiteral("energy"));
        PinInput first(nullptr, QStringLiteral("energy"));
        PinInput second(nullptr, QStringLiteral("energy"));
        first.Connect(&output);
        second.Connect(&output);
        output.Push(messageWith(1, 0));
        output.Push(messageWith(2, 0));
        PinMessage a, b, c;
        QCOMPARE(second.Pop(a), 0);
        QCOMPARE(first.Pop(b), 0);
        QCOMPARE(first.Pop(c), 1);
        QCOMPARE(a.header0, quint64(1));
        QCOMPARE(b.header0, quint64(2));
        delete a.packet;
        delete b.packet;
    }

    void concurrentProducerAndConsumerLoseNothing()
    {
        Wire w;
        constexpr int kMessages = 5000;
        std::thread producer([&] {
            for (int i = 0; i < kMessages; ++i) {
                while (w.output.size() >= PinOutput::kQueueLimit)
                    std::this_thread::yield();
                w.output.Push(messageWith(i, 1));
            }
        });
        int received = 0;
        quint64 expected = 0;
        bool ordered = true;
        while (received < kMessages) {
            PinMessage message;
            if (w.input.Pop(message) == 0) {
                ordered = ordered && message.header0 == expected++;
                delete message.packet;
                ++received;
            }
        }
        producer.join();
        QVERIFY(ordered);
        QCOMPARE(g_alive.load(), 0);
        QCoreApplication::processEvents();   // the queued notifications
    }
};

QTEST_GUILESS_MAIN(TestPins)
#include "tst_pins.moc"
