#include "core/pin_output.h"

#include "core/data_packet.h"

PinOutput::PinOutput(QObject* parent, const QString& name) : QObject(parent), m_name(name) {}

PinOutput::~PinOutput()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PinMessage& message : m_queue)
        delete message.packet;
}

bool PinOutput::Push(const PinMessage& message)
{
    int length = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.size() < static_cast<size_t>(kQueueLimit)) {
            m_queue.push_back(message);
            length = static_cast<int>(m_queue.size());
        }
    }
    if (length == 0) {
        delete message.packet;
        return false;
    }
    emit NewDataPushedInPin(length);
    return true;
}

int PinOutput::size() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_queue.size());
}

bool PinOutput::takeOldest(PinMessage& message)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queue.empty())
        return false;
    message = std::move(m_queue.front());
    m_queue.pop_front();
    return true;
}
