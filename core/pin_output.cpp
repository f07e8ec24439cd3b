#include "core/pin_output.h"

#include "core/data_packet.h"
#include "core/pin_consumer.h"

#include <thread>

namespace {
uint64_t eventsIn(const PinMessage& message)
{
    return message.packet ? message.packet->items.size() : 0;
}
}  // namespace

PinOutput::PinOutput(QObject* parent, const QString& name) : QObject(parent), m_name(name) {}

PinOutput::~PinOutput()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PinMessage& message : m_queue)
        delete message.packet;
}

bool PinOutput::enqueue(PinMessage&& message)
{
    const uint64_t events = eventsIn(message);
    if (m_queue.size() >= static_cast<size_t>(kQueueLimit) ||
        (!m_queue.empty() && m_queuedEvents + events > kEventLimit))
        return false;
    m_queuedEvents += events;
    m_events.fetch_add(events, std::memory_order_relaxed);
    m_messages.fetch_add(1, std::memory_order_relaxed);
    m_queue.push_back(std::move(message));
    return true;
}

void PinOutput::destroy(PinMessage& message)
{
    m_droppedEvents.fetch_add(eventsIn(message), std::memory_order_relaxed);
    m_droppedMessages.fetch_add(1, std::memory_order_relaxed);
    delete message.packet;
    message.packet = nullptr;
}

bool PinOutput::Push(const PinMessage& message)
{
    return Push(PinMessage(message));
}

bool PinOutput::Push(PinMessage&& message)
{
    int length = 0;
    PinConsumer* consumer = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (enqueue(std::move(message))) {
            length = static_cast<int>(m_queue.size());
            consumer = m_consumer;
            if (consumer)
                m_consumerCalls.fetch_add(1, std::memory_order_acquire);
        }
    }
    if (length == 0) {
        destroy(message);
        return false;
    }
    notifyConsumer(consumer, length);
    return true;
}

int PinOutput::PushBatch(std::vector<PinMessage>& messages)
{
    int queued = 0;
    int length = 0;
    PinConsumer* consumer = nullptr;
    size_t refused = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < messages.size(); ++i) {
            if (enqueue(std::move(messages[i])))
                ++queued;
            else if (refused++ != i)
                messages[refused - 1] = std::move(messages[i]);
        }
        length = static_cast<int>(m_queue.size());
        if (queued > 0) {
            consumer = m_consumer;
            if (consumer)
                m_consumerCalls.fetch_add(1, std::memory_order_acquire);
        }
    }
    for (size_t i = 0; i < refused; ++i)
        destroy(messages[i]);
    messages.clear();
    if (queued > 0)
        notifyConsumer(consumer, length);
    return queued;
}

void PinOutput::notifyConsumer(PinConsumer* consumer, int length)
{
    if (consumer) {
        consumer->dataArrived();
        m_consumerCalls.fetch_sub(1, std::memory_order_release);
        return;
    }
    if (!m_notificationPending.exchange(true, std::memory_order_acq_rel))
        emit NewDataPushedInPin(length);
}

int PinOutput::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size());
}

PinStatistics PinOutput::statistics() const
{
    PinStatistics statistics;
    statistics.messages = m_messages.load(std::memory_order_relaxed);
    statistics.events = m_events.load(std::memory_order_relaxed);
    statistics.droppedMessages = m_droppedMessages.load(std::memory_order_relaxed);
    statistics.droppedEvents = m_droppedEvents.load(std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    statistics.queued = static_cast<int>(m_queue.size());
    statistics.queuedEvents = m_queuedEvents;
    return statistics;
}

bool PinOutput::takeOldest(PinMessage& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty())
        return false;
    message = std::move(m_queue.front());
    m_queue.pop_front();
    m_queuedEvents -= eventsIn(message);
    return true;
}

int PinOutput::takeOldest(std::vector<PinMessage>& out, int most)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    int taken = 0;
    while (taken < most && !m_queue.empty()) {
        m_queuedEvents -= eventsIn(m_queue.front());
        out.push_back(std::move(m_queue.front()));
        m_queue.pop_front();
        ++taken;
    }
    return taken;
}

void PinOutput::attachConsumer(PinConsumer* consumer)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_consumer = consumer;
}

void PinOutput::detachConsumer(PinConsumer* consumer)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_consumer != consumer)
            return;
        m_consumer = nullptr;
    }
    // A push that read the consumer before it was detached may still be
    // calling it; the consumer is about to go away.
    while (m_consumerCalls.load(std::memory_order_acquire) != 0)
        std::this_thread::yield();
}
