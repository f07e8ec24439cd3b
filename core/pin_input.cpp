#include "core/pin_input.h"

#include "core/data_packet.h"
#include "core/pin_output.h"

PinInput::PinInput(QObject* parent, const QString& name) : QObject(parent), m_name(name) {}

PinInput::~PinInput()
{
    setConsumer(nullptr);
}

void PinInput::Connect(PinOutput* output)
{
    m_output = output;
    connect(output, &PinOutput::NewDataPushedInPin, this, &PinInput::NewDataInTheOutputPin);
    if (m_consumer)
        output->attachConsumer(m_consumer);
}

void PinInput::setConsumer(PinConsumer* consumer)
{
    PinConsumer* previous = m_consumer;
    m_consumer = consumer;
    if (!m_output)
        return;
    if (consumer)
        m_output->attachConsumer(consumer);
    else if (previous)
        m_output->detachConsumer(previous);
}

int PinInput::Pop(PinMessage& message)
{
    if (!m_output)
        return NotConnected;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_output->takeOldest(message))
        return Empty;
    if (message.packet)
        m_eventsTaken.fetch_add(message.packet->items.size(), std::memory_order_relaxed);
    return Taken;
}

int PinInput::PopBatch(std::vector<PinMessage>& messages, int most)
{
    if (!m_output)
        return 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    const size_t first = messages.size();
    const int taken = m_output->takeOldest(messages, most);
    uint64_t events = 0;
    for (size_t i = first; i < messages.size(); ++i)
        events += messages[i].packet ? messages[i].packet->items.size() : 0;
    m_eventsTaken.fetch_add(events, std::memory_order_relaxed);
    return taken;
}

void PinInput::NewDataInTheOutputPin(int FifoLevel)
{
    if (m_output)
        m_output->notificationTaken();
    emit DataReady(FifoLevel);
}
