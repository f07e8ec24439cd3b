// The consuming end of a connection between blocks: pops from the output pin
// it is connected to and relays its push notifications as DataReady.
#pragma once

#include "core/pin_message.h"

#include <QObject>

#include <mutex>

class PinOutput;

class PinInput : public QObject {
    Q_OBJECT
public:
    enum PopResult { Taken = 0, Empty = 1, NotConnected = -1 };

    PinInput(QObject* parent, const QString& name);

    QString name() const { return m_name; }
    PinOutput* connectedOutput() const { return m_output; }

    // Connected once, at start-up, before any data flows.
    void Connect(PinOutput* output);

    // 0: the oldest message was moved into `message` (the caller now owns its
    // packet); 1: the queue was empty and `message` is untouched; -1: not connected.
    int Pop(PinMessage& message);

signals:
    void DataReady(int FifoSize);

public slots:
    void NewDataInTheOutputPin(int FifoLevel);

private:
    QString m_name;
    PinOutput* m_output = nullptr;
    std::mutex m_mutex;
};
