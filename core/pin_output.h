// The producing end of a connection between blocks. The queue lives here: the
// producer pushes, the connected input pin pops. Bounded to kQueueLimit
// messages and to kEventLimit payloads (a message larger than that still
// passes an empty queue); a push into a full queue destroys the data and
// counts it.
//
// A push wakes the consumer without one notification per message: when the
// input pin has a PinConsumer, the push calls it directly on the producer's
// thread; otherwise the pin emits NewDataPushedInPin only when no earlier
// notification is still waiting to be handled, and the consumer drains the
// whole queue when it is. Either way the main thread's event queue holds at
// most one data notification per pin, whatever the data rate.
#pragma once

#include "core/pin_message.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

class PinConsumer;

// What went through an output pin since it was made; "events" are payloads.
struct PinStatistics {
    uint64_t messages = 0;          // queued
    uint64_t events = 0;
    uint64_t droppedMessages = 0;   // destroyed because the queue was full
    uint64_t droppedEvents = 0;
    int queued = 0;                 // queue length now
    uint64_t queuedEvents = 0;      // payloads in the queue now
};

class PinOutput : public QObject {
    Q_OBJECT
public:
    static constexpr int kQueueLimit = 10000;
    static constexpr uint64_t kEventLimit = 1u << 20;

    PinOutput(QObject* parent, const QString& name);
    ~PinOutput() override;

    QString name() const { return m_name; }

    // Takes over the message's packet. False when the queue was full: the packet
    // and its items are destroyed and counted, and nobody is notified.
    bool Push(const PinMessage& message);
    bool Push(PinMessage&& message);
    // Queues the messages in order with one lock and one wake-up; those that
    // find the queue full are destroyed and counted. Returns how many were
    // queued; `messages` is left empty.
    int PushBatch(std::vector<PinMessage>& messages);

    int size() const;
    PinStatistics statistics() const;

signals:
    void NewDataPushedInPin(int FifoSize);

private:
    friend class PinInput;
    // Move up to `most` of the oldest messages to the end of `out`; the caller
    // holds the input pin's lock.
    int takeOldest(std::vector<PinMessage>& out, int most);
    bool takeOldest(PinMessage& message);
    void attachConsumer(PinConsumer* consumer);
    // Returns once no push is still calling the consumer.
    void detachConsumer(PinConsumer* consumer);
    // Called by the input pin before it relays a posted notification: a push
    // after this point posts a new one.
    void notificationTaken() { m_notificationPending.store(false, std::memory_order_release); }

    // Under m_mutex: append if there is room, else count the loss.
    bool enqueue(PinMessage&& message);
    void destroy(PinMessage& message);
    void notifyConsumer(PinConsumer* consumer, int length);

    QString m_name;
    mutable std::mutex m_mutex;
    std::deque<PinMessage> m_queue;
    uint64_t m_queuedEvents = 0;                 // guarded by m_mutex
    PinConsumer* m_consumer = nullptr;           // guarded by m_mutex
    std::atomic<int> m_consumerCalls{0};         // pushes calling m_consumer right now
    std::atomic<bool> m_notificationPending{false};

    std::atomic<uint64_t> m_messages{0};
    std::atomic<uint64_t> m_events{0};
    std::atomic<uint64_t> m_droppedMessages{0};
    std::atomic<uint64_t> m_droppedEvents{0};
};
