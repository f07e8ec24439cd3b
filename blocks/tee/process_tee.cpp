#include "blocks/tee/process_tee.h"

#include "core/block_context.h"
#include "blocks/common/config_limits.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload.h"

#include <QJsonObject>

namespace {
constexpr int kForwardBatch = 1024;   // messages taken from the input per lock

// A packet of its own over the same payloads, which it shares.
DataPacket* sharingCopy(const DataPacket* packet)
{
    if (!packet)
        return nullptr;
    auto* copy = new DataPacket(packet->name, packet->timestamp);
    copy->items.reserve(packet->items.size());
    for (QuarixPayload* item : packet->items)
        copy->items.push_back(item ? item->share() : nullptr);
    return copy;
}
}  // namespace

Process_Tee::Process_Tee(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(context, entry);
    const QJsonObject object = entry.toObject();
    const int64_t outputCount = config_limits::wholeNumber(object.value(QLatin1String("output_count")), 0);
    if (outputCount > config_limits::kTeeOutputs)
        setConfigurationError(QStringLiteral("output_count"), config_limits::atMost(config_limits::kTeeOutputs, outputCount));
    m_outputCount = static_cast<int>(qBound<int64_t>(0, outputCount, config_limits::kTeeOutputs));
    ReadParameters(entry);
    createPins(1, qMax(0, m_outputCount), dataType);
    m_inputPins.at(0)->setConsumer(this);
}

Process_Tee::~Process_Tee()
{
    // No push may still be forwarding through this block once it is gone.
    m_inputPins.at(0)->setConsumer(nullptr);
}

void Process_Tee::NewDataInTheInputPin(int)
{
    forward();
}

void Process_Tee::forward()
{
    std::lock_guard<std::mutex> lock(m_forwardMutex);
    PinInput* input = m_inputPins.at(0);
    for (;;) {
        m_taken.clear();
        if (input->PopBatch(m_taken, kForwardBatch) == 0)
            return;
        const int outputs = m_outputPins.size();
        for (int i = 0; i < outputs; ++i) {
            const bool last = i == outputs - 1;
            m_outgoing.clear();
            m_outgoing.reserve(m_taken.size());
            for (PinMessage& message : m_taken) {
                if (last) {
                    m_outgoing.push_back(std::move(message));
                    message.packet = nullptr;
                } else {
                    PinMessage copy = message;
                    copy.packet = sharingCopy(message.packet);
                    m_outgoing.push_back(std::move(copy));
                }
            }
            m_outputPins.at(i)->PushBatch(m_outgoing);
        }
        for (PinMessage& message : m_taken)
            delete message.packet;   // only when there is no output
    }
}

void Process_Tee::shutdown()
{
    forward();
}
