// The producing end of a connection between blocks. The queue lives here: the
// producer pushes, the connected input pin pops. Bounded to kQueueLimit
// messages; a push into a full queue destroys the data.
#pragma once

#include "core/pin_message.h"

#include <QObject>

#include <deque>
#include <mutex>

class PinOutput : public QObject {
    Q_OBJECT
public:
    static constexpr int kQueueLimit = 10000;

    PinOutput(QObject* parent, const QString& name);
    ~PinOutput() override;

    QString name() const { return m_name; }

    // Takes over the message's packet. False when the queue was full: the packet
    // and its items are destroyed and no signal is emitted.
    bool Push(const PinMessage& message);

    int size() const;

signals:
    void NewDataPushedInPin(int FifoSize);

private:
    friend class PinInput;
    // Removes the oldest message; the caller holds the input pin's lock.
    bool takeOldest(PinMessage& message);

    QString m_name;
    mutable std::mutex m_mutex;
    std::deque<PinMessage> m_queue;
};
