#include "blocks/image/image.h"

#include "core/block_context.h"
#include "blocks/common/config_limits.h"
#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"
#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonObject>

#include <memory>

namespace {
// Appends the list's labels; false (nothing appended) when the list would
// take the labels beyond the configuration limit.
bool appendLabels(QStringList& labels, const QJsonValue& value)
{
    const QJsonArray array = value.toArray();
    if (labels.size() + array.size() > config_limits::kLabels)
        return false;
    for (const QJsonValue& element : array)
        labels.append(element.toString());
    return true;
}
}  // namespace

Image::Image(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(context, entry);
    const bool ready = ReadParameters(entry);

    createPins(1, 0, dataType);

    // The pixel mapping divides by the number of columns.
    if (ready && m_xPositions.isEmpty()) {
        setConfigurationError(QStringLiteral("x_positions"), QStringLiteral("must list at least one column"));
        return;
    }
    if (ready && int64_t(m_xPositions.size()) * m_yPositions.size() > config_limits::kMapCells) {
        setConfigurationError(QStringLiteral("y_positions"),
                              QStringLiteral("times the \"x_positions\" must be at most %1 pixels (got %2 x %3)")
                                  .arg(config_limits::kMapCells)
                                  .arg(m_xPositions.size())
                                  .arg(m_yPositions.size()));
        return;
    }
    if (ready) {
        m_thread = new Image_Thread(Name(), &m_inputPins, m_xPositions.size(), m_yPositions.size());
        m_worker = m_thread;
        m_thread->start();
    }
}

bool Image::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        if (parameter.value(QLatin1String("param_type")).toString() != QLatin1String("array"))
            continue;
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        QStringList* labels = name == QLatin1String("x_positions")   ? &m_xPositions
                              : name == QLatin1String("y_positions") ? &m_yPositions
                                                                     : nullptr;
        if (labels && !appendLabels(*labels, value)) {
            setConfigurationError(name, QStringLiteral("must list at most %1 labels").arg(config_limits::kLabels));
            return false;
        }
    }
    return true;
}

void Image::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("rows"), m_yPositions.size());
    view.insert(QLatin1String("cols"), m_xPositions.size());
}

void Image::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void Image::InterpretMessage(QString data_in, QString* data_out)
{
    if (!m_thread || !data_out)
        return;
    const AccumulatingRequest request = AccumulatingRequest::parse(data_in);
    if (request.command == QLatin1String("get_data")) {
        TextBuilder text;
        if (request.source == QLatin1String("immediate"))
            m_thread->immediate().appendMatrix(text, CounterGrid::TakeAndClear);
        else if (request.source == QLatin1String("cumulative"))
            m_thread->cumulative().appendMatrix(text, CounterGrid::Keep);
        else
            return;
        data_out->append(text.toQString());
        return;
    }
    m_thread->runState().answer(request, [this] { m_thread->cumulative().clear(); }, data_out);
}

Image_Thread::Image_Thread(const QString& name, const QList<PinInput*>* inputs, int columns, int rows)
    : BlockWorker(name, inputs), m_immediate(rows, columns), m_cumulative(rows, columns)
{
}

void Image_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    if (!packet || !m_run.isRunning())
        return;
    const int columns = m_immediate.columns();
    const int rows = m_immediate.rows();
    for (const QuarixPayload* item : packet->items) {
        const auto* event = item ? item->asEnergy() : nullptr;
        if (!event)
            continue;
        const int32_t channel = static_cast<int32_t>(event->channel);
        if (channel < 0)
            continue;
        const int row = channel / columns;
        if (row >= rows)
            continue;
        const int column = channel - columns * row;
        m_immediate.increment(row, column);
        m_cumulative.increment(row, column);
    }
}
