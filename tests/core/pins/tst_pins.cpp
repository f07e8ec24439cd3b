// Pins: the bounded queue, pop results, ordering, and the notification chain.
#include "core/data_packet.h"
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

    void theQueueHoldsTenThousandAndThenDestroysWhatIsPushed()
    {
        PinOutput output(nullptr, QStringLiteral("energy"));
        QSignalSpy pushed(&output, &PinOutput::NewDataPushedInPin);
        for (int i = 0; i < PinOutput::kQueueLimit - 1; ++i)
            QVERIFY(output.Push(messageWith(i, 0)));
        QVERIFY(output.Push(messageWith(1, 2)));   // one short of the limit: accepted
        QCOMPARE(pushed.count(), PinOutput::kQueueLimit);
        QCOMPARE(pushed.last().at(0).toInt(), 10000);
        QCOMPARE(g_alive.load(), 2);

        QVERIFY(!output.Push(messageWith(2, 3)));   // full: destroyed, no signal
        QCOMPARE(g_alive.load(), 2);
        QCOMPARE(pushed.count(), PinOutput::kQueueLimit);
        QCOMPARE(output.size(), 10000);

        PinMessage noPacket;
        QVERIFY(!output.Push(noPacket));   // nothing to destroy, still refused
        QCOMPARE(output.size(), 10000);
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
