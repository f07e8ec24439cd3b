// The stream worker of a block: a thread that sleeps until data arrives, then
// drains input pin 0 in batches and hands every message to process().
//
// The worker is its input pin's consumer: a push wakes it directly from the
// producer's thread, so no data notification passes through the main thread.
// The block's NewDataInTheInputPin slot still wakes it as well.
//
// A wake-up is never lost: the wake sets a pending flag and then takes the
// mutex to notify, and the worker tests that flag under the same mutex before
// it waits, so a message pushed while the worker drains leads to one more
// drain; a wake while one is already pending costs one atomic exchange.
//
// Every worker of the server stops the same way, with stopAndWait(): the
// stream workers of the blocks, and the sources' readers, which have no input
// pin and do their work in idle(), pausing with sleepUnlessStopped(). The
// block base stops its worker before the block's own members are destroyed
// (see QuarixBlock), so a worker may use its block's members to the end.
#pragma once

#include "core/pin_consumer.h"
#include "core/pin_message.h"

#include <QList>
#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

class PinInput;

class BlockWorker : public QThread, public PinConsumer {
    Q_OBJECT
public:
    // Messages taken from the input pin per lock.
    static constexpr int kDrainBatch = 256;

    BlockWorker(const QString& name, const QList<PinInput*>* inputs);
    ~BlockWorker() override;

    // Orderly stop: drain what is queued, run finish(), leave the loop, join.
    void stopAndWait();

    void dataArrived() override { NewDataInTheInputPin(); }

public slots:
    void NewDataInTheInputPin();

protected:
    void run() final;
    // Consumes one message; the worker owns message.packet and must destroy it.
    virtual void process(PinMessage& message) = 0;
    // Runs on the worker thread after the last drain of an orderly stop.
    virtual void finish() {}
    // How long the worker may sleep without data before idle() runs; negative
    // (the default): for ever. Asked on the worker thread before each sleep.
    virtual int64_t idleMicroseconds() const { return -1; }
    // Runs on the worker thread when no data came for idleMicroseconds().
    virtual void idle() {}
    // Runs on the worker thread once, before anything else.
    virtual void started() {}

    // Sleeps on the worker thread for the given time, cut short by a stop
    // request; false when it was cut short.
    bool sleepUnlessStopped(int64_t microseconds);

    const QString m_name;
    const QList<PinInput*>* m_inputs;

private:
    void drain();
    PinInput* input() const;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_pending{false};
    bool m_stopRequested = false;   // guarded by m_mutex
    std::vector<PinMessage> m_batch;   // worker thread only
};
