#include "blocks/tof_histogram/time_distribution.h"

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>
#include <memory>

namespace {
// timestamp / binning rounded to nearest, halves away from zero; -1 when the
// quotient is not a number or the rounded value leaves the signed 32-bit range.
int32_t roundedBin(uint64_t timestamp, double binning)
{
    const double rounded = std::round(static_cast<double>(timestamp) / binning);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0))
        return -1;
    return static_cast<int32_t>(rounded);
}
}  // namespace

time_distribution::time_distribution(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(QStringLiteral("tof_histogram"), context, entry);
    m_size = HistogramSize::fromEntry(entry);
    const bool ready = ReadParameters(entry);

    createPins(1, 0, dataType);

    QString key, problem;
    if (!m_size.isUsable(&key, &problem)) {
        setConfigurationError(key, problem);
        return;
    }
    if (ready) {
        m_thread = new time_distribution_Thread(Name(), &m_inputPins, m_size, m_binning);
        m_worker = m_thread;
        m_thread->start();
    }
}

bool time_distribution::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        if (parameter.value(QLatin1String("param_name")).toString() == QLatin1String("binning"))
            m_binning = parameter.value(QLatin1String("param_value")).toDouble();
    }
    if (m_thread)
        m_thread->setBinning(m_binning);
    return true;
}

void time_distribution::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void time_distribution::InterpretMessage(QString data_in, QString* data_out)
{
    if (m_thread && data_out)
        m_thread->histograms().answer(data_in, data_out);
}

time_distribution_Thread::time_distribution_Thread(const QString& name, const QList<PinInput*>* inputs,
                                                   const HistogramSize& size, double binning)
    : BlockWorker(name, inputs), m_histograms(size), m_binning(binning)
{
}

time_distribution_Thread::~time_distribution_Thread()
{
    stopAndWait();
}

void time_distribution_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    if (!packet || !m_histograms.isRunning())
        return;
    const double binning = m_binning.load(std::memory_order_relaxed);
    const int last = m_histograms.bins() - 1;
    for (const QuarixPayload* item : packet->items) {
        const auto* event = dynamic_cast<const QuarixPayload_Energy*>(item);
        if (!event)
            continue;
        const int32_t bin = roundedBin(event->timestamp, binning);
        if (bin < 0)
            continue;
        m_histograms.count(static_cast<int32_t>(event->channel), bin > last ? last : bin);
    }
}
