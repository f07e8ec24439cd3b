#include "blocks/dumper/data_dumper.h"

#include "core/block_context.h"
#include "core/block_message.h"
#include "core/data_packet.h"
#include "core/progress_log.h"
#include "core/quarix_payload.h"
#include "core/text_builder.h"

#include <QDebug>
#include <QJsonObject>

#include <memory>

namespace {
// A decimal number as JSON writes it: -?(0|[1-9][0-9]*)(.[0-9]+)?
bool isJsonDecimal(const QString& text)
{
    int i = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    const auto digitAt = [&text](int at) {
        return at < text.size() && text.at(at).unicode() >= '0' && text.at(at).unicode() <= '9';
    };
    if (!digitAt(i))
        return false;
    if (text.at(i) == QLatin1Char('0'))
        ++i;
    else
        while (digitAt(i))
            ++i;
    if (i < text.size() && text.at(i) == QLatin1Char('.')) {
        ++i;
        if (!digitAt(i))
            return false;
        while (digitAt(i))
            ++i;
    }
    return i == text.size();
}
}  // namespace

DataDumper::DataDumper(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : RecordingBlock(parent, context)
{
    if (readRecordingEntry(context, entry))
        startWorker(new DataDumper_Thread(Name(), &m_inputPins, &m_control, &m_statistics));
}

void DataDumper::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("format"), m_control.settings().fileType);
}

void DataDumper::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void DataDumper::InterpretMessage(QString data_in, QString* data_out)
{
    const QJsonObject message = block_message::parse(data_in);
    const QString cmd = block_message::command(message);
    DumpControl::Reply reply = m_control.applyLimitCommand(cmd, message);
    if (reply == DumpControl::Reply::NotMine)
        reply = m_control.applyRunCommand(cmd, message);
    if (data_out)
        data_out->append(DumpControl::replyText(reply));
}

void DataDumper::ConfigureDump(int dump_events, QString file_type, QString file_path)
{
    configureRecording(dump_events, 0, file_type, file_path);
}

void DataDumper::runStarting()
{
    m_statistics.runningTime.store(0.0);
    m_statistics.eventRate.store(0.0);
    m_statistics.usedSpace.store(0);
    m_statistics.storedEvents.store(0);
}

void DataDumper::GetRunInfo(QString* data_out)
{
    if (!data_out)
        return;
    TextBuilder text;
    text.append("{\"status\":").appendSigned(m_control.status());
    text.append(",\"name\": ").append(dump_file::jsonString(Name())).append(',');
    text.append("\"event_rate\":").appendGeneral(m_statistics.eventRate.load()).append(',');
    // The run id as it is when it reads as a decimal number, a JSON string otherwise.
    const QString runId = m_control.runId();
    text.append("\"id\":").append(isJsonDecimal(runId) ? runId : dump_file::jsonString(runId)).append(',');
    text.append("\"stored_events\":").appendSigned(m_statistics.storedEvents.load()).append(',');
    text.append("\"running_time\":").appendGeneral(m_statistics.runningTime.load()).append(',');
    text.append("\"used_space\":").appendSigned(m_statistics.usedSpace.load()).append('}');
    data_out->append(QString::fromStdString(text.str()));
}

DataDumper_Thread::DataDumper_Thread(const QString& name, const QList<PinInput*>* inputs, DumpControl* control,
                                     DumpRunStatistics* statistics)
    : BlockWorker(name, inputs), m_control(control), m_statistics(statistics)
{
}

void DataDumper_Thread::process(PinMessage& message)
{
    // Whatever happens below, the batch is destroyed when this returns.
    const std::unique_ptr<DataPacket> packet(message.packet);
    message.packet = nullptr;

    const DumpSettings settings = m_control->settings();
    if (settings.status == DumpStopped) {
        closeRun();
        return;
    }
    if (settings.status != DumpRunning)
        return;   // paused: the batch is dropped uncounted

    if (!m_file.isOpen()) {
        // First message of a run: the run's timers start with it.
        m_runTimer.start();
        m_rateTimer.start();
        m_statisticsHeaderPending = true;
        if (!openDataFile(settings))
            return;
    }
    // Once per message, before its payloads: a file ends with the message that
    // took it beyond dump_events.
    if (m_eventsInFile > settings.dumpEvents) {
        m_file.close();
        ++m_fileIndex;
        m_statisticsHeaderPending = true;
        m_eventsInFile = 0;
        if (!openDataFile(settings))
            return;
    }

    int64_t batchEvents = 0;
    if (packet) {
        const QuarixPayload* const* items = packet->items.data();
        batchEvents = m_file.write(items, items + packet->items.size(), settings.type());
    }
    m_eventsInFile += batchEvents;
    updateStatistics(settings, batchEvents);
}

void DataDumper_Thread::finish()
{
    m_file.close();
}

bool DataDumper_Thread::openDataFile(const DumpSettings& settings)
{
    if (m_file.open(settings.target(m_name, m_fileIndex), settings.type()))
        return true;
    if (m_file.errorNumber() != 0)
        dump_file::logUnableToOpen(m_file.fileName(), m_file.errorNumber());
    m_control->setStatus(DumpStopped);
    return false;
}

void DataDumper_Thread::closeRun()
{
    m_file.close();
    m_fileIndex = 0;
    m_eventsInFile = 0;
}

void DataDumper_Thread::updateStatistics(const DumpSettings& settings, int64_t batchEvents)
{
    const double runningTime = m_runTimer.elapsed() / 1000.0;
    const int64_t storedEvents = m_statistics->storedEvents.fetch_add(batchEvents) + batchEvents;
    const int64_t usedSpace = m_file.position();
    m_statistics->runningTime.store(runningTime);
    m_statistics->usedSpace.store(usedSpace);

    m_rateAccumulator += static_cast<double>(batchEvents);
    const qint64 intervalMs = m_rateTimer.elapsed();
    if (intervalMs <= 1000)
        return;
    const double eventRate = m_rateAccumulator / static_cast<double>(intervalMs) * 1000.0;
    m_statistics->eventRate.store(eventRate);
    m_rateAccumulator = 0.0;
    m_rateTimer.restart();
    qCInfo(quarixProgress) << " TIMER STAT " << usedSpace;

    if (m_statisticsFile.append(settings.target(m_name, m_fileIndex), m_statisticsHeaderPending, runningTime,
                                storedEvents, eventRate, usedSpace)) {
        m_statisticsHeaderPending = false;
        return;
    }
    // A statistics file that cannot be made (one of that name exists, say)
    // ends the run as a data file does.
    dump_file::logUnableToOpen(m_statisticsFile.fileName(), m_statisticsFile.errorNumber());
    m_control->setStatus(DumpStopped);
}
