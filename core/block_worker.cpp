#include "core/block_worker.h"

#include "core/data_thread.h"
#include "core/pin_input.h"

#include <chrono>

BlockWorker::BlockWorker(const QString& name, const QList<PinInput*>* inputs) : m_name(name), m_inputs(inputs)
{
    if (PinInput* pin = input())
        pin->setConsumer(this);
}

BlockWorker::~BlockWorker()
{
    stopAndWait();
}

PinInput* BlockWorker::input() const
{
    return m_inputs && !m_inputs->isEmpty() ? m_inputs->at(0) : nullptr;
}

void BlockWorker::stopAndWait()
{
    // Pushes no longer wake a stopped worker, and none is still calling it
    // once this returns; what is queued now is drained below.
    if (PinInput* pin = input())
        pin->setConsumer(nullptr);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopRequested = true;
        m_wake.notify_all();
    }
    wait();
    // QThread::wait() synchronises inside Qt, which ThreadSanitizer does not
    // see; taking the mutex the thread released last makes the end of run()
    // visibly happen before whatever the caller destroys next.
    std::lock_guard<std::mutex> lock(m_mutex);
}

void BlockWorker::NewDataInTheInputPin()
{
    if (m_pending.exchange(true, std::memory_order_acq_rel))
        return;   // the worker has not taken the previous wake-up yet: it will drain
    std::lock_guard<std::mutex> lock(m_mutex);
    m_wake.notify_all();
}

bool BlockWorker::sleepUnlessStopped(int64_t microseconds)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_wake.wait_for(lock, std::chrono::microseconds(microseconds), [this] { return m_stopRequested; });
}

void BlockWorker::run()
{
    data_thread::lowerPriorityOfThisThread();
    started();
    for (;;) {
        bool stop = false;
        bool idled = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto woken = [this] { return m_pending.load(std::memory_order_acquire) || m_stopRequested; };
            const int64_t idleAfter = idleMicroseconds();
            if (idleAfter < 0)
                m_wake.wait(lock, woken);
            else
                idled = !m_wake.wait_for(lock, std::chrono::microseconds(idleAfter), woken);
            m_pending.store(false, std::memory_order_release);
            stop = m_stopRequested;
        }
        if (idled) {
            idle();
            continue;
        }
        drain();
        if (stop) {
            finish();
            std::lock_guard<std::mutex> lock(m_mutex);   // see stopAndWait()
            return;
        }
    }
}

void BlockWorker::drain()
{
    PinInput* pin = input();
    if (!pin)
        return;
    for (;;) {
        m_batch.clear();
        if (pin->PopBatch(m_batch, kDrainBatch) == 0)
            return;
        for (PinMessage& message : m_batch) {
            process(message);
            message = PinMessage();
        }
    }
}
