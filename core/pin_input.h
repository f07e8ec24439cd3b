// The consuming end of a connection between blocks: pops from the output pin
// it is connected to. A consumer that registers a PinConsumer is woken by
// every push directly; otherwise the output pin's (coalesced) notification is
// relayed as DataReady.
#pragma once

#include "core/pin_message.h"

#include <QObject>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

class PinConsumer;
class PinOutput;

class PinInput : public QObject {
    Q_OBJECT
public:
    enum PopResult { Taken = 0, Empty = 1, NotConnected = -1 };

    PinInput(QObject* parent, const QString& name);
    ~PinInput() override;

    QString name() const { return m_name; }
    PinOutput* connectedOutput() const { return m_output; }

    // Connected once, at start-up, before any data flows.
    void Connect(PinOutput* output);
    // Who is woken, on the producer's thread, when data arrives (none: the
    // DataReady signal on the main thread). Setting none returns only once no
    // push is still calling the previous consumer.
    void setConsumer(PinConsumer* consumer);

    // 0: the oldest message was moved into `message` (the caller now owns its
    // packet); 1: the queue was empty and `message` is untouched; -1: not connected.
    int Pop(PinMessage& message);
    // Moves up to `most` of the oldest messages to the end of `messages` with
    // one lock; returns how many (0 when empty or not connected).
    int PopBatch(std::vector<PinMessage>& messages, int most);

    // Payloads taken from this pin since it was made.
    uint64_t eventsTaken() const { return m_eventsTaken.load(std::memory_order_relaxed); }

signals:
    void DataReady(int FifoSize);

public slots:
    void NewDataInTheOutputPin(int FifoLevel);

private:
    QString m_name;
    PinOutput* m_output = nullptr;
    PinConsumer* m_consumer = nullptr;   // set on the main thread, before and after data flows
    std::mutex m_mutex;
    std::atomic<uint64_t> m_eventsTaken{0};
};
