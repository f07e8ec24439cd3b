#include "blocks/rate_counters/sink_rate_counter.h"

#include "core/block_context.h"
#include "core/block_message.h"
#include "core/data_packet.h"
#include "core/progress_log.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/text_builder.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

namespace {
template <typename T>
T valueAt(const std::vector<T>* values, int i)
{
    return values && i < static_cast<int>(values->size()) ? (*values)[i] : T();
}

void appendRates(TextBuilder& text, const char* key, const std::vector<double>* values, int n)
{
    text.append(key);
    for (int i = 0; i < n; ++i) {
        if (i > 0)
            text.append(',');
        text.appendGeneral(valueAt(values, i));
    }
    text.append(']');
}

void appendCounts(TextBuilder& text, const char* key, const std::vector<uint64_t>* values, int n)
{
    text.append(key);
    for (int i = 0; i < n; ++i) {
        if (i > 0)
            text.append(',');
        text.appendUnsigned(valueAt(values, i));
    }
    text.append(']');
}

// timestamp and the four arrays both replies share, without braces.
void appendCommonFields(TextBuilder& text, const QuarixPayload_RateCounters& snapshot)
{
    const int n = snapshot.nchannels > 0 ? snapshot.nchannels : 0;
    text.append("\"timestamp\":").appendUnsigned(snapshot.timestamp).append(',');
    appendRates(text, "\"rates_in\":[", snapshot.rates_in, n);
    text.append(',');
    appendCounts(text, "\"counts_in\":[", snapshot.counters_in, n);
    text.append(',');
    appendRates(text, "\"rates_out\":[", snapshot.rates_out, n);
    text.append(',');
    appendCounts(text, "\"counts_out\":[", snapshot.counters_out, n);
}
}  // namespace

SinkRateCounter::SinkRateCounter(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : RecordingBlock(parent, context, QStringLiteral("BIN"), QStringLiteral("run_0"))
{
    if (readRecordingEntry(context, entry)) {
        m_sink = new SinkRateCounter_Thread(Name(), &m_inputPins, &m_control, m_channelMap);
        startWorker(m_sink);
    }
}

bool SinkRateCounter::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        if (parameter.value(QLatin1String("param_name")).toString() != QLatin1String("channel_map")
            || parameter.value(QLatin1String("param_type")).toString() != QLatin1String("array_string"))
            continue;
        m_channelMap.clear();
        for (const QJsonValue& name : parameter.value(QLatin1String("param_value")).toArray())
            m_channelMap.append(name.toString());
    }
    return true;
}

void SinkRateCounter::describeView(QJsonObject& view) const
{
    const SinkRateCounter_Thread::Snapshot snapshot = m_sink ? m_sink->latest() : nullptr;
    view.insert(QLatin1String("channels"), snapshot && snapshot->nchannels > 0 ? snapshot->nchannels : 0);
    view.insert(QLatin1String("labels"), QJsonArray::fromStringList(m_channelMap));
}

void SinkRateCounter::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void SinkRateCounter::InterpretMessage(QString data_in, QString* data_out)
{
    if (!data_out)
        return;
    const QJsonObject message = block_message::parse(data_in);
    const QJsonArray args = block_message::args(message);
    const QString cmd = block_message::lastString(args, QStringLiteral("cmd"));
    if (cmd == QLatin1String("get_data")) {
        const QString source = block_message::lastString(args, QStringLiteral("source"));
        if (source == QLatin1String("immediate"))
            appendLatest(data_out);
        else if (source == QLatin1String("data"))
            appendHistory(data_out);
        return;
    }
    if (cmd == QLatin1String("reset")) {
        if (m_sink)
            m_sink->resetHistory();
        data_out->append(QLatin1String(block_message::kTrue));
        return;
    }
    if (cmd == QLatin1String("start_dump")) {
        // An absent or empty run id keeps the previous one; a bad one starts nothing.
        const QString runId = message.value(QLatin1String("run_id")).toString();
        if (!runId.isEmpty() && !m_control.setRunId(runId)) {
            data_out->append(DumpControl::replyText(DumpControl::Reply::Refused));
            return;
        }
    }
    data_out->append(DumpControl::replyText(m_control.applyRunCommand(cmd, message)));
}

void SinkRateCounter::appendLatest(QString* data_out) const
{
    const SinkRateCounter_Thread::Snapshot snapshot = m_sink ? m_sink->latest() : nullptr;
    if (!snapshot) {
        *data_out = QStringLiteral("{\"status\": \"nodata\"}");
        return;
    }
    const int n = snapshot->nchannels > 0 ? snapshot->nchannels : 0;
    TextBuilder text;
    text.append("{\"status\": \"ok\", ");
    appendCommonFields(text, *snapshot);
    text.append(',');
    appendRates(text, "\"rates_in_start\":[", snapshot->rates_in_start, n);
    text.append(',');
    appendRates(text, "\"rates_out_start\":[", snapshot->rates_out_start, n);
    text.append('}');
    data_out->append(text.toQString());
}

void SinkRateCounter::appendHistory(QString* data_out) const
{
    const std::vector<SinkRateCounter_Thread::Snapshot> snapshots =
        m_sink ? m_sink->history() : std::vector<SinkRateCounter_Thread::Snapshot>();
    TextBuilder text;
    text.append("{\"data\":[");
    for (size_t i = 0; i < snapshots.size(); ++i) {
        if (i > 0)
            text.append(',');
        text.append('{');
        appendCommonFields(text, *snapshots[i]);
        text.append('}');
    }
    text.append("]}");
    data_out->append(text.toQString());
}

void SinkRateCounter::ConfigureDump(int dump_events, QString file_type, QString file_path)
{
    configureRecording(dump_events, 0, file_type, file_path);
}

void SinkRateCounter::runStarting()
{
    qCInfo(quarixProgress) << "Starting RATE dumper";
}

SinkRateCounter_Thread::SinkRateCounter_Thread(const QString& name, const QList<PinInput*>* inputs,
                                               DumpControl* control, const QStringList& channelMap)
    : BlockWorker(name, inputs), m_control(control), m_channelMap(channelMap)
{
}

SinkRateCounter_Thread::Snapshot SinkRateCounter_Thread::latest() const
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return m_latest;
}

std::vector<SinkRateCounter_Thread::Snapshot> SinkRateCounter_Thread::history() const
{
    std::lock_guard<std::mutex> lock(m_dataMutex);
    return std::vector<Snapshot>(m_history.begin(), m_history.end());
}

void SinkRateCounter_Thread::resetHistory()
{
    std::deque<Snapshot> dropped;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        dropped.swap(m_history);
    }
    // The snapshots are destroyed here, outside the lock.
}

void SinkRateCounter_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    message.packet = nullptr;
    if (!packet)
        return;
    const DumpSettings settings = m_control->settings();
    for (const QuarixPayload* item : packet->items) {
        const auto* counters = dynamic_cast<const QuarixPayload_RateCounters*>(item);
        if (!counters)
            continue;
        // One immutable copy serves both the latest slot and the history.
        store(Snapshot(static_cast<QuarixPayload_RateCounters*>(counters->Clone())));
        record(settings, *counters);
    }
}

void SinkRateCounter_Thread::store(const Snapshot& snapshot)
{
    Snapshot previous;
    Snapshot oldest;
    {
        std::lock_guard<std::mutex> lock(m_dataMutex);
        previous = std::move(m_latest);
        m_latest = snapshot;
        if (m_history.size() > kHistoryCapacity) {
            oldest = std::move(m_history.back());
            m_history.pop_back();
        }
        m_history.push_front(snapshot);
    }
    // `previous` and `oldest` are released here, outside the lock.
}

void SinkRateCounter_Thread::record(const DumpSettings& settings, const QuarixPayload_RateCounters& snapshot)
{
    if (settings.status == DumpRunning) {
        if (m_newFile) {
            const dump_file::Type type = settings.type();
            const dump_file::FileTarget file = settings.target(m_name, 0).withSuffix(RateFileWriter::extension(type));
            qCInfo(quarixProgress) << "Opening RATE dumper: " << file.name;
            m_fileTimer.start();
            if (!m_file.open(file, type)) {
                // A file that cannot be made (one of that name exists, say) ends
                // the run; the next run tries again, even one started before
                // this worker sees the stop.
                dump_file::logUnableToOpen(file.name, m_file.errorNumber());
                m_control->setStatus(DumpStopped);
                return;
            }
            m_newFile = false;
        }
        m_file.write(m_fileTimer.elapsed(), snapshot);
    } else if (settings.status == DumpStopped) {
        if (!m_newFile)
            m_file.close();
        m_newFile = true;
    }
}

void SinkRateCounter_Thread::finish()
{
    m_file.close();
}
