#include "blocks/spectrum/histogram.h"

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"
#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonObject>

#include <iostream>
#include <memory>

namespace {
// Standard output, six significant digits, whatever the process locale.
void printCut(const char* label, double value)
{
    TextBuilder line;
    line.append(label).appendGeneral(value);
    std::cout << line.str() << std::endl;
}
}  // namespace

Histogram::Histogram(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(QStringLiteral("spectrum"), context, entry);
    m_size = HistogramSize::fromEntry(entry);
    const bool ready = ReadParameters(entry);

    createPins(1, 0, dataType);

    QString key, problem;
    if (!m_size.isUsable(&key, &problem)) {
        setConfigurationError(key, problem);
        return;
    }
    if (ready) {
        m_thread = new Histogram_Thread(Name(), &m_inputPins, m_size, {m_gain, m_energyCutMin, m_energyCutMax});
        m_worker = m_thread;
        m_thread->start();
    }
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

void Histogram::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void Histogram::InterpretMessage(QString data_in, QString* data_out)
{
    if (m_thread && data_out)
        m_thread->histograms().answer(data_in, data_out);
}

Histogram_Thread::Histogram_Thread(const QString& name, const QList<PinInput*>* inputs, const HistogramSize& size,
                                   const EnergyBinning& binning)
    : BlockWorker(name, inputs), m_histograms(size), m_binning(binning)
{
}

Histogram_Thread::~Histogram_Thread()
{
    stopAndWait();
}

int Histogram_Thread::binOf(uint32_t energyRaw) const
{
    const double product = energyRaw * m_binning.gain;
    // Products outside the signed 32-bit range, and NaN, count as negative.
    int bin = (product > -2147483649.0 && product < 2147483648.0) ? static_cast<int32_t>(product) : -1;
    const int last = m_histograms.bins() - 1;
    if (bin < 0)
        bin = 0;
    else if (bin > last)
        bin = last;
    return bin;
}

void Histogram_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    if (!packet || !m_histograms.isRunning())
        return;
    for (const QuarixPayload* item : packet->items) {
        const auto* event = dynamic_cast<const QuarixPayload_Energy*>(item);
        if (!event)
            continue;
        const int bin = binOf(event->energy_raw);
        if (m_binning.energyCutMin <= bin && bin <= m_binning.energyCutMax)
            m_histograms.count(static_cast<int32_t>(event->channel), bin);
    }
}
