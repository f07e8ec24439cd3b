#include "blocks/common/channel_histogram_block.h"

#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"

#include <QJsonObject>

#include <memory>

ChannelHistogramWorker::ChannelHistogramWorker(const QString& name, const QList<PinInput*>* inputs,
                                               const HistogramSize& size)
    : BlockWorker(name, inputs), m_histograms(size)
{
}

void ChannelHistogramWorker::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    if (!packet || !m_histograms.isRunning())
        return;
    const int last = m_histograms.bins() - 1;
    for (const QuarixPayload* item : packet->items) {
        const auto* event = item ? item->asEnergy() : nullptr;
        if (!event)
            continue;
        const int bin = binOf(*event);
        if (bin >= 0)
            m_histograms.count(static_cast<int32_t>(event->channel), bin > last ? last : bin);
    }
}

bool ChannelHistogramBlock::setUp(BlockContext* context, const QJsonValue& entry)
{
    const QString dataType = readCommonKeys(context, entry);
    m_size = HistogramSize::fromEntry(entry);
    const bool ready = ReadParameters(entry);
    createPins(1, 0, dataType);

    QString key, problem;
    if (!m_size.isUsable(&key, &problem)) {
        setConfigurationError(key, problem);
        return false;
    }
    return ready;
}

void ChannelHistogramBlock::startWorker(ChannelHistogramWorker* worker)
{
    m_histogramWorker = worker;
    m_worker = worker;
    worker->start();
}

void ChannelHistogramBlock::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("bins"), qint64(m_size.bins));
    view.insert(QLatin1String("channels"), qint64(m_size.channels));
}

void ChannelHistogramBlock::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void ChannelHistogramBlock::InterpretMessage(QString data_in, QString* data_out)
{
    if (m_histogramWorker && data_out)
        m_histogramWorker->histograms().answer(data_in, data_out);
}
