#include "core/block_worker.h"

#include "core/pin_input.h"

BlockWorker::BlockWorker(const QString& name, const QList<PinInput*>* inputs) : m_name(name), m_inputs(inputs) {}

BlockWorker::~BlockWorker()
{
    stopAndWait();
}

void BlockWorker::stopAndWait()
{
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
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending = true;
    m_wake.notify_all();
}

void BlockWorker::run()
{
    for (;;) {
        bool stop = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_pending || m_stopRequested; });
            m_pending = false;
            stop = m_stopRequested;
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
    if (!m_inputs || m_inputs->isEmpty())
        return;
    PinInput* input = m_inputs->at(0);
    PinMessage message;
    while (input->Pop(message) == PinInput::Taken) {
        process(message);
        message = PinMessage();
    }
}
