#include "core/pin_input.h"

#include "core/pin_output.h"

PinInput::PinInput(QObject* parent, const QString& name) : QObject(parent), m_name(name) {}

void PinInput::Connect(PinOutput* output)
{
    m_output = output;
    connect(output, &PinOutput::NewDataPushedInPin, this, &PinInput::NewDataInTheOutputPin);
}

int PinInput::Pop(PinMessage& message)
{
    if (!m_output)
        return NotConnected;
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_output->takeOldest(message) ? Taken : Empty;
}

void PinInput::NewDataInTheOutputPin(int FifoLevel)
{
    emit DataReady(FifoLevel);
}
