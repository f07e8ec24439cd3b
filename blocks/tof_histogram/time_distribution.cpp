#include "blocks/tof_histogram/time_distribution.h"

#include "core/quarix_payload_energy.h"

#include <QJsonArray>
#include <QJsonObject>

#include <cmath>

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
    : ChannelHistogramBlock(parent)
{
    if (setUp(context, entry)) {
        m_thread = new time_distribution_Thread(Name(), &m_inputPins, m_size, m_binning);
        startWorker(m_thread);
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

void time_distribution::describeView(QJsonObject& view) const
{
    ChannelHistogramBlock::describeView(view);
    view.insert(QLatin1String("binning"),
                QJsonObject{{"value", m_binning}, {"unit", QStringLiteral("timestamp units per bin")}});
}

time_distribution_Thread::time_distribution_Thread(const QString& name, const QList<PinInput*>* inputs,
                                                   const HistogramSize& size, double binning)
    : ChannelHistogramWorker(name, inputs, size), m_binning(binning)
{
}

int time_distribution_Thread::binOf(const QuarixPayload_Energy& event) const
{
    return roundedBin(event.timestamp, m_binning.load(std::memory_order_relaxed));
}
