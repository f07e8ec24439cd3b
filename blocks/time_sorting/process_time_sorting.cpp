#include "blocks/time_sorting/process_time_sorting.h"

#include "blocks/time_sorting/data_distructor_time_sorting.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_output.h"
#include "core/quarix_payload.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <iterator>
#include <chrono>
#include <cmath>

namespace {
constexpr size_t kPushPiece = 1024;   // released groups per push

bool earlier(const QuarixPayload* a, const QuarixPayload* b)
{
    return a->timestamp < b->timestamp;
}
}  // namespace

Time_Sorting_Thread::Time_Sorting_Thread(const QString& name, const QList<PinInput*>* inputs,
                                         const QList<PinOutput*>* outputs, int nWindows, double timestampDelta,
                                         DataDistructor* deleter, int bufferLimit)
    : BlockWorker(name, inputs),
      m_outputs(outputs),
      m_nWindows(nWindows),
      m_timestampDelta(timestampDelta),
      m_deleter(deleter),
      m_bufferLimit(bufferLimit)
{
}

Time_Sorting_Thread::~Time_Sorting_Thread()
{
    for (QuarixPayload* item : m_buffer)
        delete item;
}

quint64 Time_Sorting_Thread::nowMicroseconds() const
{
    // 100-nanosecond ticks of the system clock, to microseconds.
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    const int64_t ticks = std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
    return static_cast<quint64>(static_cast<double>(ticks * 100) / 1000.0);
}

void Time_Sorting_Thread::process(PinMessage& message)
{
    const quint64 now = nowMicroseconds();
    if (m_buffer.size() >= static_cast<size_t>(m_bufferLimit)) {
        qInfo() << "Order buffer full!";
        if (message.packet)
            m_droppedEvents.fetch_add(message.packet->items.size(), std::memory_order_relaxed);
        delete message.packet;
    } else {
        take(message.packet, now);
    }
    message.packet = nullptr;
    release(now);
}

void Time_Sorting_Thread::take(DataPacket* packet, quint64 now)
{
    if (!packet)
        return;
    PayloadList items = packet->takeItems();
    delete packet;
    items.erase(std::remove(items.begin(), items.end(), nullptr), items.end());
    if (items.empty())
        return;
    for (QuarixPayload*& item : items) {
        item = QuarixPayload::ownCopy(item);   // stamped below: never a payload another packet shares
        item->arrival_time = now;
    }

    // Merge the sorted batch into the sorted buffer rather than re-sorting it all.
    std::sort(items.begin(), items.end(), earlier);
    const bool inOrder = m_buffer.empty() || !earlier(items.front(), m_buffer.back());
    const auto oldSize = static_cast<std::ptrdiff_t>(m_buffer.size());
    m_buffer.insert(m_buffer.end(), items.begin(), items.end());
    if (!inOrder)
        std::inplace_merge(m_buffer.begin(), m_buffer.begin() + oldSize, m_buffer.end(), earlier);
}

void Time_Sorting_Thread::release(quint64 now)
{
    if (m_buffer.size() <= 1)
        return;
    while (!m_buffer.empty()) {
        const double age = static_cast<double>(now - m_buffer.front()->arrival_time);
        if (!(age > kHoldMicroseconds))
            break;
        releaseFirstGroup();
    }
    pushReleased();
}

int64_t Time_Sorting_Thread::idleMicroseconds() const
{
    // Past this, even the newest buffered event has waited longer than the hold.
    return m_buffer.empty() ? -1 : static_cast<int64_t>(kHoldMicroseconds) + 500;
}

void Time_Sorting_Thread::idle()
{
    while (!m_buffer.empty())
        releaseFirstGroup();
    pushReleased();
}

void Time_Sorting_Thread::releaseFirstGroup()
{
    QuarixPayload* first = m_buffer.front();
    auto* packet = new DataPacket(first->type, first->timestamp);
    packet->items.push_back(first);
    m_buffer.pop_front();
    const double groupStart = static_cast<double>(first->timestamp);
    while (!m_buffer.empty() && static_cast<double>(m_buffer.front()->timestamp) - groupStart <= kGroupWidth) {
        packet->items.push_back(m_buffer.front());
        m_buffer.pop_front();
    }
    PinMessage out;
    out.packet = packet;
    m_released.push_back(std::move(out));
}

void Time_Sorting_Thread::pushReleased()
{
    if (m_released.empty())
        return;
    if (m_outputs && !m_outputs->isEmpty()) {
        // In pieces: a consumer that forwards in place (a tee) empties the
        // queue after each one, so a long release step does not find it full.
        std::vector<PinMessage> piece;
        for (size_t first = 0; first < m_released.size(); first += kPushPiece) {
            const size_t end = std::min(m_released.size(), first + kPushPiece);
            piece.assign(std::make_move_iterator(m_released.begin() + long(first)),
                         std::make_move_iterator(m_released.begin() + long(end)));
            m_outputs->at(0)->PushBatch(piece);
        }
    } else {
        for (PinMessage& message : m_released)
            delete message.packet;
    }
    m_released.clear();
}

Process_Time_Sorting::Process_Time_Sorting(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : QuarixBlock(parent)
{
    const QString dataType = readCommonKeys(context, entry);
    const bool ok = ReadParameters(entry);
    createPins(1, 1, dataType);
    if (ok) {
        m_deleter = new DataDistructorTimeSorting;
        m_worker = new Time_Sorting_Thread(Name(), &m_inputPins, &m_outputPins, m_nWindows,
                                           std::trunc(m_timestampDelta), m_deleter, m_bufferLimit);
        m_worker->start();
    }
}

Process_Time_Sorting::~Process_Time_Sorting()
{
    // The worker was stopped before this destructor ran (see QuarixBlock);
    // it holds the deleter, so it goes first.
    delete m_worker;
    m_worker = nullptr;
    delete m_deleter;
}

bool Process_Time_Sorting::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        if (name == QLatin1String("n_windows"))
            m_nWindows = value.toInt();
        else if (name == QLatin1String("timestamp_delta"))
            m_timestampDelta = value.toDouble();
        else if (name == QLatin1String("order_buffer_limit"))
            m_bufferLimit = value.toInt(-1);
    }
    if (m_bufferLimit < 1 || m_bufferLimit > Time_Sorting_Thread::kMaxBufferLimit) {
        setConfigurationError(QStringLiteral("order_buffer_limit"),
                              QStringLiteral("must be a whole number from 1 to %1")
                                  .arg(Time_Sorting_Thread::kMaxBufferLimit));
        return false;
    }
    return true;
}

void Process_Time_Sorting::appendLosses(BlockLosses& losses) const
{
    const auto* sorter = worker();
    losses.push_back({"order_buffer_full", sorter ? sorter->droppedEvents() : 0, true});
}

void Process_Time_Sorting::NewDataInTheInputPin(int)
{
    wakeWorker();
}
