#include "blocks/position/position.h"

#include "core/block_context.h"
#include "blocks/common/config_limits.h"
#include "core/data_packet.h"
#include "core/progress_log.h"
#include "core/quarix_payload_energy.h"
#include "core/text_builder.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace {
// Appends the list's integers; false (nothing appended) when the list would
// grow beyond the configuration limit.
bool appendIntegers(std::vector<int>& list, const QJsonValue& value)
{
    const QJsonArray array = value.toArray();
    if (list.size() + size_t(array.size()) > size_t(config_limits::kLabels))
        return false;
    for (const QJsonValue& element : array)
        list.push_back(element.toInt());
    return true;
}
}  // namespace

Position::Position(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(context, entry);
    const bool ready = ReadParameters(entry);

    createPins(1, 0, dataType);

    if (ready && checkParameters()) {
        Position_Thread::Layout layout;
        layout.positions = m_positions;
        layout.correlatedChannels = m_correlatedChannels;
        layout.yPositions = static_cast<int>(m_yPositions);
        layout.energyCutMin = m_energyCutMin;
        layout.energyCutMax = m_energyCutMax;
        m_thread = new Position_Thread(Name(), &m_inputPins, layout);
        m_worker = m_thread;
        m_thread->start();
    }
}

bool Position::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        const bool isArray = parameter.value(QLatin1String("param_type")).toString() == QLatin1String("array");
        std::vector<int>* list = !isArray                                      ? nullptr
                                 : name == QLatin1String("positions")           ? &m_positions
                                 : name == QLatin1String("correlated_channels") ? &m_correlatedChannels
                                                                                : nullptr;
        if (list) {
            if (!appendIntegers(*list, value)) {
                setConfigurationError(name, QStringLiteral("must list at most %1 entries").arg(config_limits::kLabels));
                return false;
            }
        } else if (name == QLatin1String("energy_cut_min"))
            m_energyCutMin = value.toDouble();
        else if (name == QLatin1String("energy_cut_max"))
            m_energyCutMax = value.toDouble();
        else if (name == QLatin1String("y_positions"))
            m_yPositions = config_limits::wholeNumber(value, 0);
    }
    return true;
}

void Position::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("elements"), qint64(m_positions.size() / 2));
    view.insert(QLatin1String("bins"), qint64(m_yPositions));
}

// The worker indexes the heat map and the positions by these values: refuse
// what would take it outside them.
bool Position::checkParameters()
{
    if (m_yPositions < 1) {
        setConfigurationError(QStringLiteral("y_positions"),
                              QStringLiteral("must be at least 1 (got %1)").arg(m_yPositions));
        return false;
    }
    if (m_yPositions > config_limits::kLabels) {
        setConfigurationError(QStringLiteral("y_positions"), config_limits::atMost(config_limits::kLabels, m_yPositions));
        return false;
    }
    const int count = static_cast<int>(m_positions.size());
    if (int64_t(count / 2) * m_yPositions > config_limits::kMapCells) {
        setConfigurationError(QStringLiteral("y_positions"),
                              QStringLiteral("times the columns must be at most %1 cells (got %2 x %3)")
                                  .arg(config_limits::kMapCells)
                                  .arg(m_yPositions)
                                  .arg(count / 2));
        return false;
    }
    if (count < 2) {
        setConfigurationError(QStringLiteral("positions"),
                              QStringLiteral("needs at least two entries (got %1)").arg(count));
        return false;
    }
    const int columns = count / 2;
    for (int channel = 0; channel < count; ++channel) {
        const int x = m_positions[size_t(channel)];
        if (x < 0 || x >= columns) {
            setConfigurationError(QStringLiteral("positions"),
                                  QStringLiteral("channel %1 is at column %2, outside the heat map's columns 0..%3")
                                      .arg(channel)
                                      .arg(x)
                                      .arg(columns - 1));
            return false;
        }
    }
    if (m_correlatedChannels.size() > m_positions.size()) {
        setConfigurationError(QStringLiteral("correlated_channels"),
                              QStringLiteral("channel %1 has a partner but no \"positions\" entry").arg(count));
        return false;
    }
    return true;
}

void Position::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void Position::InterpretMessage(QString data_in, QString* data_out)
{
    if (!m_thread || !data_out)
        return;
    const AccumulatingRequest request = AccumulatingRequest::parse(data_in);
    if (request.command == QLatin1String("get_data")) {
        TextBuilder text;
        if (request.source == QLatin1String("scatter"))
            m_thread->takeScatter(text);
        else if (request.source == QLatin1String("heatmap"))
            m_thread->appendHeatmap(text);
        else
            return;
        data_out->append(text.toQString());
        return;
    }
    m_thread->runState().answer(request, [this] { m_thread->clear(); }, data_out);
}

Position_Thread::Position_Thread(const QString& name, const QList<PinInput*>* inputs, const Layout& layout)
    : BlockWorker(name, inputs),
      m_layout(layout),
      m_heatmap(layout.yPositions, static_cast<int>(layout.positions.size() / 2))
{
}

void Position_Thread::takeScatter(TextBuilder& text)
{
    std::deque<Frame> frames;
    {
        std::lock_guard<std::mutex> lock(m_frameMutex);
        frames.swap(m_frames);
    }
    size_t points = 0;
    for (const Frame& frame : frames)
        points += frame.points.size();
    text.reserve(text.size() + points * 28 + 32);

    text.append("{\"data\":[{\"x\":[");
    const char* separator = "";
    for (const Frame& frame : frames) {
        for (const Point& point : frame.points) {
            text.append(separator).appendGeneral(point.x);
            separator = ",";
        }
    }
    text.append("]},{\"y\":[");
    separator = "";
    for (const Frame& frame : frames) {
        for (const Point& point : frame.points) {
            text.append(separator).appendGeneral(point.ratio);
            separator = ",";
        }
    }
    text.append("]}]}");
}

void Position_Thread::clear()
{
    m_heatmap.clear();
    std::deque<Frame> dropped;
    std::lock_guard<std::mutex> lock(m_frameMutex);
    dropped.swap(m_frames);
}

void Position_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    if (!packet)
        return;
    m_events.clear();
    for (const QuarixPayload* item : packet->items)
        m_events.push_back(item ? item->asEnergy() : nullptr);
    if (hasRepeatedChannel() || !m_run.isRunning())
        return;

    auto events = std::make_shared<std::vector<EventCopy>>();
    events->reserve(m_events.size());
    for (const QuarixPayload_Energy* event : m_events) {
        if (event)
            events->push_back({event->timestamp, event->channel, event->energy_raw, event->energy, event->flag1,
                               event->flag2, event->extra});
    }
    Frame frame;
    frame.timestamp = packet->timestamp;
    frame.events = std::move(events);

    // Each pair is found from its earlier payload only, so it is evaluated once.
    const std::vector<int>& partners = m_layout.correlatedChannels;
    for (size_t k = 0; k < m_events.size(); ++k) {
        const QuarixPayload_Energy* earlier = m_events[k];
        if (earlier && earlier->channel < partners.size()) {
            const int partner = partners[earlier->channel];
            for (size_t j = k + 1; j < m_events.size(); ++j) {
                const QuarixPayload_Energy* later = m_events[j];
                if (later && static_cast<int32_t>(later->channel) == partner)
                    evaluatePair(*earlier, *later, frame);
            }
        }
        addFrame(frame);
    }
}

bool Position_Thread::hasRepeatedChannel()
{
    m_channels.clear();
    for (const QuarixPayload_Energy* event : m_events) {
        if (event)
            m_channels.push_back(event->channel);
    }
    std::sort(m_channels.begin(), m_channels.end());
    return std::adjacent_find(m_channels.begin(), m_channels.end()) != m_channels.end();
}

void Position_Thread::evaluatePair(const QuarixPayload_Energy& earlier, const QuarixPayload_Energy& later,
                                   Frame& frame)
{
    const bool earlierIsLower = earlier.channel < later.channel;
    const double low = earlierIsLower ? earlier.energy_raw : later.energy_raw;
    const double high = earlierIsLower ? later.energy_raw : earlier.energy_raw;
    const double sum = low + high;
    // A pair of two zero energies has no ratio: it goes the way of a pair outside the cuts.
    if (!(m_layout.energyCutMin <= sum && sum <= m_layout.energyCutMax) || sum == 0.0) {
        qCInfo(quarixProgress) << "Discrding energy";
        return;
    }
    const double ratio = low / sum;
    const int x = m_layout.positions[earlier.channel];
    frame.points.push_back({static_cast<double>(x), ratio});

    const int lastRow = m_layout.yPositions - 1;
    int row = static_cast<int>(std::round(m_layout.yPositions * ratio));
    row = row < 0 ? 0 : (row > lastRow ? lastRow : row);
    m_heatmap.increment(row, x);
}

void Position_Thread::addFrame(const Frame& frame)
{
    Frame copy = frame;
    Frame evicted;   // destroyed after the lock is released
    std::lock_guard<std::mutex> lock(m_frameMutex);
    if (m_frames.size() > kFrameCap) {
        evicted = std::move(m_frames.back());
        m_frames.pop_back();
    }
    m_frames.push_front(std::move(copy));
}
