// The stream worker of a block: a thread that sleeps until its block wakes it,
// then drains input pin 0 and hands every message to process().
//
// A wake-up is never lost: the wake sets a pending flag under the mutex, and
// the worker checks that flag under the same mutex before it waits, so a
// message pushed while the worker drains leads to one more drain.
#pragma once

#include "core/pin_message.h"

#include <QList>
#include <QString>
#include <QThread>

#include <condition_variable>
#include <mutex>

class PinInput;

class BlockWorker : public QThread {
    Q_OBJECT
public:
    BlockWorker(const QString& name, const QList<PinInput*>* inputs);
    ~BlockWorker() override;

    // Orderly stop: drain what is queued, run finish(), leave the loop, join.
    void stopAndWait();

public slots:
    void NewDataInTheInputPin();

protected:
    void run() final;
    // Consumes one message; the worker owns message.packet and must destroy it.
    virtual void process(PinMessage& message) = 0;
    // Runs on the worker thread after the last drain of an orderly stop.
    virtual void finish() {}

    const QString m_name;
    const QList<PinInput*>* m_inputs;

private:
    void drain();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_pending = false;
    bool m_stopRequested = false;
};
