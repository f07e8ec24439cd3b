#include "blocks/spectrum/histogram.h"

#include "core/quarix_payload_energy.h"
#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonObject>

#include <iostream>

namespace {
// Standard output, six significant digits, whatever the process locale.
void printCut(const char* label, double value)
{
    TextBuilder line;
    line.append(label).appendGeneral(value);
    std::cout << line.str() << std::endl;
}
}  // namespace

Histogram::Histogram(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : ChannelHistogramBlock(parent)
{
    if (setUp(context, entry))
        startWorker(new Histogram_Thread(Name(), &m_inputPins, m_size, {m_gain, m_energyCutMin, m_energyCutMax}));
}

bool Histogram::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        if (name == QLatin1String("gain")) {
            m_gain = value.toDouble();
        } else if (name == QLatin1String("energy_cut_min")) {
            m_energyCutMin = value.toDouble();
            printCut("Spectrum energy_cut_min: ", m_energyCutMin);
        } else if (name == QLatin1String("energy_cut_max")) {
            m_energyCutMax = value.toDouble();
            printCut("Spectrum energy_cut_max: ", m_energyCutMax);
        }
    }
    return true;
}

void Histogram::describeView(QJsonObject& view) const
{
    ChannelHistogramBlock::describeView(view);
    view.insert(QLatin1String("gain"), m_gain);
}

Histogram_Thread::Histogram_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                                   const EnergyBinning& binning)
    : ChannelHistogramWorker(name, inputs, size), m_binning(binning)
{
}

// The raw energy times the gain, clamped to the histogram; the cuts apply to
// the clamped bin.
int Histogram_Thread::binOf(const QuarixPayload_Energy& event) const
{
    const double product = event.energy_raw * m_binning.gain;
    // Products outside the signed 32-bit range, and NaN, count as negative.
    int bin = (product > -2147483649.0 && product < 2147483648.0) ? static_cast<int32_t>(product) : -1;
    const int last = histograms().bins() - 1;
    if (bin < 0)
        bin = 0;
    else if (bin > last)
        bin = last;
    return (m_binning.energyCutMin <= bin && bin <= m_binning.energyCutMax) ? bin : -1;
}
