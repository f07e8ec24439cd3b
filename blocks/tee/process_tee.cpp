#include "blocks/tee/process_tee.h"

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload.h"

#include <QJsonObject>

namespace {
DataPacket* deepCopy(const DataPacket* packet)
{
    if (!packet)
        return nullptr;
    auto* copy = new DataPacket(packet->name, packet->timestamp);
    copy->items.reserve(packet->items.size());
    for (const QuarixPayload* item : packet->items)
        copy->items.push_back(item ? item->Clone() : nullptr);
    return copy;
}
}  // namespace

Process_Tee::Process_Tee(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(QStringLiteral("tee"), context, entry);
    const QJsonObject object = entry.toObject();
    m_outputCount = object.value(QLatin1String("output_count")).toInt();
    ReadParameters(entry);
    createPins(1, qMax(0, m_outputCount), dataType);
}

void Process_Tee::NewDataInTheInputPin(int)
{
    if (m_inputPins.isEmpty())
        return;
    PinInput* input = m_inputPins.at(0);
    PinMessage message;
    while (input->Pop(message) == PinInput::Taken) {
        for (PinOutput* output : qAsConst(m_outputPins)) {
            PinMessage copy = message;
            copy.packet = deepCopy(message.packet);
            output->Push(copy);
        }
        delete message.packet;
        message = PinMessage();
    }
}

void Process_Tee::shutdown()
{
    NewDataInTheInputPin(0);
}
