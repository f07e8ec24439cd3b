#include "server/quarix_commands.h"

#include "core/block_message.h"
#include "core/client_routing.h"
#include "core/config_file.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/recording_control.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>

namespace {
const char* const kExistingFolder = "[{\"response\": \"Existing Folder\"}]";
const char* const kFalse = "[{\"response\": false}]";
const char* const kHvGlobalOn = "{\"args\":[{\"cmd\":\"hv_global_on\"}]}";
const char* const kHvGlobalOff = "{\"args\":[{\"cmd\":\"hv_global_off\"}]}";

// The block as a source, when it is one.
SourceControl* sourceOf(QuarixBlock* block)
{
    return block->hasRole(BlockType::Role::Source) ? dynamic_cast<SourceControl*>(block) : nullptr;
}

// The block as a recorder, when it is a file writer and its dump flag lets it take part.
RecordingControl* recorderOf(QuarixBlock* block)
{
    if (!block->hasRole(BlockType::Role::Writer) || !block->dumpFlag())
        return nullptr;
    return dynamic_cast<RecordingControl*>(block);
}

// The recording settings of the "storage" section, as read at a run start.
struct StorageSettings {
    QString root;
    int eventsPerFile = 0;
    int waveDumpInterval = 0;
    QString format;
    bool enableWave = false;
    bool enableList = false;
    bool enableMcs = false;

    static StorageSettings read(const QString& configPath)
    {
        const QJsonObject storage = config_file::read(configPath).value(QLatin1String("storage")).toObject();
        StorageSettings settings;
        settings.root = storage.value(QLatin1String("file_path")).toString();
        settings.eventsPerFile = storage.value(QLatin1String("events_per_file")).toInt(0);
        settings.waveDumpInterval = storage.value(QLatin1String("wavedump_time_interval")).toInt(0);
        settings.format = storage.value(QLatin1String("format")).toString();
        settings.enableWave = storage.value(QLatin1String("enable_wave")).toBool(false);
        settings.enableList = storage.value(QLatin1String("enable_list")).toBool(false);
        settings.enableMcs = storage.value(QLatin1String("enable_mcs")).toBool(false);
        return settings;
    }

    // Whether the switch of that kind of recording is on.
    bool enables(RecordingControl::Records records) const
    {
        switch (records) {
        case RecordingControl::Records::ListEvents: return enableList;
        case RecordingControl::Records::Waveforms: return enableWave;
        case RecordingControl::Records::RateCounters: return enableMcs;
        }
        return false;
    }
};

// The upstream block and output pin of each input pin, as the chain builder connected them.
QJsonArray sourcesOf(const QuarixBlock& block, const QList<QuarixBlock*>& blocks)
{
    QJsonArray sources;
    for (const PinInput* input : block.inputPins()) {
        for (const QuarixBlock* upstream : blocks) {
            const int pin = upstream->outputPins().indexOf(input->connectedOutput());
            if (input->connectedOutput() && pin >= 0)
                sources.append(QJsonObject{{"source", upstream->Name()}, {"pin", pin}});
        }
    }
    return sources;
}
}  // namespace

quarix_commands::quarix_commands(QList<QuarixBlock*>* blocks, const QString& config_path, QObject* parent)
    : QuarixBlock(parent),
      m_blocks(blocks),
      m_configPath(config_path),
      m_storage(dump_file::StorageRoot::open(StorageSettings::read(config_path).root))
{
}

void quarix_commands::InterpretMessage(QString data_in, QString* data_out)
{
    if (!data_out || !m_blocks)
        return;
    const QJsonObject message = block_message::parse(data_in);
    const QString cmd = block_message::command(message);

    if (cmd == QLatin1String("start")) {
        data_out->append(runSource(message.value(QLatin1String("endpoint")).toString(), &SourceControl::runReader));
    } else if (cmd == QLatin1String("stop")) {
        data_out->append(runSource(message.value(QLatin1String("endpoint")).toString(), &SourceControl::stopEndpoint));
    } else if (cmd == QLatin1String("reset")) {
        resetSources();
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (cmd == QLatin1String("start_dump")) {
        data_out->append(startDump(message.value(QLatin1String("run_id")).toString()));
    } else if (cmd == QLatin1String("stop_dump")) {
        forEachWriter(&RecordingControl::stopRecording);
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (cmd == QLatin1String("pause_dump")) {
        forEachWriter(&RecordingControl::pauseRecording);
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (cmd == QLatin1String("restart_dump")) {
        forEachWriter(&RecordingControl::restartRecording);
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (cmd == QLatin1String("get_run_info")) {
        data_out->append(runInfo());
    } else if (cmd == QLatin1String("get_statistics")) {
        data_out->append(statistics());
    } else if (cmd == QLatin1String("get_configuration")) {
        data_out->append(configuration());
    } else if (cmd == QLatin1String("hv_on")) {
        switchHighVoltage(QLatin1String(kHvGlobalOn));
        data_out->append(QLatin1String(block_message::kTrue));
    } else if (cmd == QLatin1String("hv_off")) {
        switchHighVoltage(QLatin1String(kHvGlobalOff));
        data_out->append(QLatin1String(block_message::kTrue));
    }
}

QString quarix_commands::runSource(const QString& endpoint, void (SourceControl::*operation)()) const
{
    QuarixBlock* block = QuarixBlock::findByName(*m_blocks, endpoint);
    SourceControl* source = block ? sourceOf(block) : nullptr;
    if (!source)
        return QLatin1String(kFalse);
    (source->*operation)();
    return QLatin1String(block_message::kTrue);
}

void quarix_commands::resetSources() const
{
    for (QuarixBlock* block : *m_blocks) {
        SourceControl* source = sourceOf(block);
        if (!source)
            continue;
        source->stopEndpoint();
        source->flushEndpoint();
        source->startEndpoint();
    }
}

QString quarix_commands::startDump(const QString& runId) const
{
    // An empty run id would name the storage root itself.
    if (runId.isEmpty())
        return QLatin1String(kExistingFolder);
    QString reason;
    if (!dump_file::isValidRunId(runId, &reason)) {
        dump_file::logRefused(QStringLiteral("run id"), dump_file::shownValue(runId), reason);
        return QLatin1String(kFalse);
    }
    const StorageSettings storage = StorageSettings::read(m_configPath);
    QString rootBelow;
    if (!m_storage || !m_storage->contains(storage.root, &rootBelow)) {
        dump_file::logRefused(QStringLiteral("folder"), dump_file::shownValue(storage.root),
                              m_storage ? QStringLiteral("it is not inside the storage folder ")
                                              + dump_file::jsonString(m_storage->path())
                                        : QStringLiteral("the storage folder could not be opened"));
        return QLatin1String(kFalse);
    }
    // The configured folder (and its parents) may be new; the run folder must be.
    const QString runFolder = storage.root + QLatin1Char('/') + runId;
    int error = rootBelow.isEmpty() ? 0 : m_storage->makeFolder(rootBelow, true);
    if (error == EEXIST)
        error = 0;
    if (error == 0)
        error = m_storage->makeFolder(rootBelow.isEmpty() ? runId : rootBelow + QLatin1Char('/') + runId);
    if (error == EEXIST)
        return QLatin1String(kExistingFolder);
    if (error != 0) {
        qInfo() << "Unable to create the run folder " << runFolder << " errno: "
                << QString::fromLocal8Bit(std::strerror(error));
        return QLatin1String(kFalse);
    }

    resetSources();
    // Each writer builds its own file names below the storage root.
    for (QuarixBlock* block : *m_blocks) {
        RecordingControl* writer = recorderOf(block);
        if (!writer || !storage.enables(writer->records()))
            continue;
        writer->configureRecording(storage.eventsPerFile, storage.waveDumpInterval, storage.format, storage.root);
        writer->startRecording(runId);
    }
    return QLatin1String(block_message::kTrue);
}

void quarix_commands::forEachWriter(void (RecordingControl::*operation)()) const
{
    // Writers left out of the run by their switch are called too: stopping a
    // stopped writer changes nothing.
    for (QuarixBlock* block : *m_blocks) {
        if (RecordingControl* writer = recorderOf(block))
            (writer->*operation)();
    }
}

QString quarix_commands::runInfo() const
{
    QString text = QStringLiteral("[");
    for (QuarixBlock* block : *m_blocks) {
        RecordingControl* writer = recorderOf(block);
        if (!writer || writer->records() != RecordingControl::Records::ListEvents)
            continue;
        const int before = text.size();
        if (text.size() > 1)
            text += QLatin1Char(',');
        if (!writer->appendRunInfo(&text))
            text.truncate(before);
    }
    text += QLatin1Char(']');
    return text;
}

QString quarix_commands::statistics() const
{
    QJsonArray blocks;
    for (const QuarixBlock* block : *m_blocks) {
        if (block == this)
            continue;
        uint64_t eventsIn = 0;
        for (const PinInput* input : block->inputPins())
            eventsIn += input->eventsTaken();
        uint64_t eventsOut = 0;
        uint64_t lost = 0;
        QJsonArray outputs;
        for (int i = 0; i < block->outputPins().size(); ++i) {
            const PinStatistics pin = block->outputPins().at(i)->statistics();
            eventsOut += pin.events;
            lost += pin.droppedEvents;
            outputs.append(QJsonObject{{"pin", i},
                                       {"queued", pin.queued},
                                       {"limit", PinOutput::kQueueLimit},
                                       {"queued_events", qint64(pin.queuedEvents)},
                                       {"event_limit", qint64(PinOutput::kEventLimit)},
                                       {"messages", qint64(pin.messages)},
                                       {"events", qint64(pin.events)},
                                       {"dropped_messages", qint64(pin.droppedMessages)},
                                       {"dropped_events", qint64(pin.droppedEvents)}});
        }
        BlockLosses causes;
        block->appendLosses(causes);
        QJsonObject losses;
        for (const BlockLoss& loss : causes) {
            losses.insert(QLatin1String(loss.cause), qint64(loss.count));
            if (loss.events)
                lost += loss.count;
        }
        blocks.append(QJsonObject{{"name", block->Name()},
                                  {"type", block->blockType()},
                                  {"path", block->FullPath()},
                                  {"events_in", qint64(eventsIn)},
                                  {"events_out", qint64(eventsOut)},
                                  {"lost_events", qint64(lost)},
                                  {"losses", losses},
                                  {"outputs", outputs}});
    }
    return QString::fromUtf8(QJsonDocument(blocks).toJson(QJsonDocument::Compact));
}

QString quarix_commands::configuration() const
{
    const auto orNull = [](const QString& text) { return text.isEmpty() ? QJsonValue() : QJsonValue(text); };
    QJsonArray chains;
    QJsonArray blocks;
    for (const QuarixBlock* block : *m_blocks) {
        const ChainPlace& place = block->chainPlace();
        QJsonObject view;
        block->describeView(view);
        blocks.append(QJsonObject{{"name", block->Name()},
                                  {"type", block->blockType()},
                                  {"full_path", orNull(block->FullPath())},
                                  {"chain", orNull(place.chain)},
                                  {"route", orNull(client_routing::routeOf(*block))},
                                  {"data_type", orNull(place.dataType)},
                                  {"sources", sourcesOf(*block, *m_blocks)},
                                  {"view", view}});
        if (place.processing < 0)
            continue;
        // A chain's blocks are made one after the other, in the order of its entries.
        QJsonObject chain = chains.isEmpty() ? QJsonObject() : chains.last().toObject();
        if (chain.value("name").toString() != place.chain || chain.value("processing").toInt() != place.processing) {
            chains.append(QJsonObject{{"name", place.chain}, {"processing", place.processing}, {"blocks", QJsonArray()}});
            chain = chains.last().toObject();
        }
        QJsonArray names = chain.value("blocks").toArray();
        names.append(block->Name());
        chain.insert("blocks", names);
        chains.replace(chains.size() - 1, chain);
    }
    QJsonObject reply = m_serverDescription;
    reply.insert("chains", chains);
    reply.insert("blocks", blocks);
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

void quarix_commands::switchHighVoltage(const QString& request) const
{
    for (QuarixBlock* block : *m_blocks) {
        if (!block->hasRole(BlockType::Role::HighVoltage))
            continue;
        QString ignored;
        QuarixBlock::interpret(block, request, &ignored);
    }
}
