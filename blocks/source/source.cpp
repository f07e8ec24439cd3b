#include "blocks/source/source.h"

#include "blocks/source/calibration_expression.h"
#include "blocks/source/data_distructor_source.h"
#include "board_access/board.h"
#include "board_access/readout_records.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/data_thread.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

#include <chrono>
#include <cstring>

namespace {
constexpr qint64 kRateCountersPauseMs = 500;

int64_t steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Plugin memory is read by copy: nothing guarantees that its records are aligned.
template <typename T>
T readAt(const void* address)
{
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

readout::Entry entryAt(const char* entries, int i)
{
    return readAt<readout::Entry>(entries + static_cast<size_t>(i) * sizeof(readout::Entry));
}

uint64_t u64At(const uint64_t* values, uint32_t i)
{
    return readAt<uint64_t>(values + i);
}
}  // namespace

// The calibration of one batch: compiled before its first event, released after it.
struct Source_Thread::Calibration {
    bool useBoardKev = false;
    bool compiled = false;
    CalibrationExpression expression;

    double energy(uint32_t raw, double boardValue) const
    {
        if (useBoardKev)
            return boardValue;
        return compiled ? expression.evaluate(static_cast<double>(raw)) : 0.0;
    }
};

Source_Thread::Source_Thread(const QString& name, Board* board, const QString& endpointPath, int endpointIndex,
                             const QString& dataType, const QList<PinOutput*>* outputs, DataDistructor* deleter,
                             const std::atomic<double>* downloadInterval, QObject* parent)
    : QThread(parent),
      m_name(name),
      m_board(board),
      m_endpointPath(endpointPath),
      m_endpointPathLatin1(endpointPath.toLatin1()),
      m_endpointIndex(endpointIndex),
      m_dataType(dataType),
      m_kind(dataType == QLatin1String("energy")          ? Kind::Energy
             : dataType == QLatin1String("energy_pair")   ? Kind::EnergyPair
             : dataType == QLatin1String("waveform")      ? Kind::Waveform
             : dataType == QLatin1String("rate_counters") ? Kind::RateCounters
                                                          : Kind::Other),
      m_outputs(outputs),
      m_deleter(deleter),
      m_downloadInterval(downloadInterval ? downloadInterval : &m_ownInterval),
      m_timerStartNs(steadyNanoseconds())
{
}

Source_Thread::~Source_Thread()
{
    stopAndWait();
}

void Source_Thread::setCalibrationExpression(const QString& expression)
{
    std::string latin1 = expression.toLatin1().toStdString();
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_expressionLatin1.swap(latin1);
}

void Source_Thread::setUseBoardKev(bool useBoardKev)
{
    std::lock_guard<std::mutex> lock(m_settingsMutex);
    m_useBoardKev = useBoardKev;
}

void Source_Thread::restartElapsedTimer()
{
    m_timerStartNs.store(steadyNanoseconds());
}

qint64 Source_Thread::elapsedMilliseconds() const
{
    return (steadyNanoseconds() - m_timerStartNs.load()) / 1000000;
}

void Source_Thread::stopAndWait()
{
    {
        std::lock_guard<std::mutex> lock(m_stopMutex);
        m_stop.store(true);
    }
    m_stopWake.notify_all();
    wait();
    // The join inside QThread::wait() is invisible to ThreadSanitizer: this
    // acquire pairs with the loop's last store, so nothing the worker did can
    // look concurrent with what the caller does next (destroy it, its pins).
    m_finished.load(std::memory_order_acquire);
}

void Source_Thread::pause(qint64 milliseconds)
{
    if (milliseconds <= 0)
        return;
    std::unique_lock<std::mutex> lock(m_stopMutex);
    m_stopWake.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return m_stop.load(); });
}

void Source_Thread::sendCommandsOnStart()
{
    if (m_endpointIndex < 0 || m_endpointIndex >= m_board->endpoints.size())
        return;
    const BoardEndpoint& endpoint = m_board->endpoints.at(m_endpointIndex);
    m_board->SendCommands(endpoint.config_commands);
    if (endpoint.enable)
        m_board->SendCommands(endpoint.start_commands);
}

void Source_Thread::run()
{
    data_thread::lowerPriorityOfThisThread();
    if (m_kind == Kind::Waveform)
        sendCommandsOnStart();
    while (!m_stop.load()) {
        readout::DataList list;
        std::memset(&list, 0, sizeof list);
        const int status = m_board->ReadData(m_endpointPathLatin1, &list);
        // Truncated toward zero; huge or negative values are clamped to something sleepable.
        const double interval = m_downloadInterval->load();
        const qint64 pauseMs = interval >= 1.0 ? static_cast<qint64>(qMin(interval, 1.0e9)) : 0;
        if (status != 0)
            m_readErrors.fetch_add(1, std::memory_order_relaxed);
        if (status == 0 && list.count != 0) {
            convert(list);
            pause(pauseMs);
            if (m_kind == Kind::Waveform)
                qInfo() << "W OK";
        } else {
            if (m_kind == Kind::Waveform)
                qInfo() << "W ERR";
            pause(pauseMs);
        }
    }
    m_finished.store(true, std::memory_order_release);
}

// Converts one delivered batch and hands it back to the plugin: exactly one
// free per successful, non-empty read.
void Source_Thread::convert(readout::DataList& list)
{
    const auto* entries = static_cast<const char*>(list.entries);
    const int count = list.count;
    if (entries && count > 0) {
        switch (m_kind) {
        case Kind::Energy: convertEnergy(entries, count); break;
        case Kind::EnergyPair: convertEnergyPairs(entries, count); break;
        case Kind::Waveform: convertWaveforms(entries, count); break;
        case Kind::RateCounters: convertRateCounters(entries, count); break;
        case Kind::Other: break;
        }
    }
    m_board->FreePointer(m_endpointPathLatin1, &list);
}

// Takes the current settings and compiles the expression for one batch.
void Source_Thread::prepareCalibration(Calibration& calibration) const
{
    std::string expression;
    {
        std::lock_guard<std::mutex> lock(m_settingsMutex);
        calibration.useBoardKev = m_useBoardKev;
        expression = m_expressionLatin1;
    }
    if (!expression.empty())
        calibration.compiled = calibration.expression.compile(expression);
}

void Source_Thread::convertEnergy(const char* entries, int count)
{
    Calibration calibration;
    prepareCalibration(calibration);
    auto* packet = new DataPacket(m_dataType, 0);
    packet->items.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            m_badRecords.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const auto record = readAt<readout::EnergyEvent>(entry.record);
        auto* event = new QuarixPayload_Energy;
        event->timestamp = record.timestamp;
        event->channel = record.channel;
        event->energy_raw = record.energy_raw;
        event->energy = calibration.energy(record.energy_raw, record.energy);
        event->flag1 = record.flag1;
        event->flag2 = record.flag2;
        event->extra = record.extra;
        packet->items.push_back(event);
        packet->timestamp = record.timestamp;
    }
    const readout::Entry first = entryAt(entries, 0);
    push(m_dataType, first.header0, first.header1, packet);
}

void Source_Thread::convertEnergyPairs(const char* entries, int count)
{
    Calibration calibration;
    prepareCalibration(calibration);
    const QString energyType = QStringLiteral("energy");
    const quint64 secondHeader = entryAt(entries, 0).header1;
    for (int i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            m_badRecords.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const auto record = readAt<readout::EnergyPair>(entry.record);
        auto* packet = new DataPacket(energyType, record.timestamp);
        for (uint32_t side = 0; side < 2; ++side) {
            auto* event = new QuarixPayload_Energy;
            event->timestamp = record.timestamp;
            event->channel = 2 * record.pair_index + side;
            event->energy_raw = record.energy_raw[side];
            event->energy = calibration.energy(record.energy_raw[side], record.energy[side]);
            event->flag1 = record.flag1;
            event->flag2 = record.flag2;
            event->extra = record.extra;
            packet->items.push_back(event);
        }
        PinMessage message;
        message.data_type = energyType;
        message.source = m_endpointPath;
        message.header0 = record.timestamp;
        message.header1 = secondHeader;
        message.packet = packet;
        m_batch.push_back(std::move(message));
    }
    pushBatch(m_batch);
}

void Source_Thread::convertWaveforms(const char* entries, int count)
{
    auto* group = new QuarixPayload_Waves;
    for (int i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            m_badRecords.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const auto record = readAt<readout::Waveform>(entry.record);
        group->timestamp = record.timestamp;
        group->header64 = record.header64;
        group->n_samples = record.n_samples;
        group->header32a = record.header32a;
        group->header32b = record.header32b;
        if (record.n_traces <= 0 || !record.traces)
            continue;
        const auto block = readAt<readout::TraceBlock>(record.traces);
        const size_t samples = record.n_samples > 0 ? static_cast<size_t>(record.n_samples) : 0;
        for (size_t t = 0; t < static_cast<size_t>(record.n_traces); ++t) {
            auto* wave = new QuarixPayload_Wave;
            wave->trace_header32a = block.header32a;
            wave->trace_header64 = block.header64;
            wave->trace_header32b = block.header32b;
            wave->analog = new std::vector<double>(samples);
            wave->digital = new std::vector<uint32_t>(samples);
            const size_t offset = t * samples;
            for (size_t s = 0; s < samples; ++s) {
                if (block.analog)
                    (*wave->analog)[s] = static_cast<double>(readAt<int32_t>(block.analog + offset + s));
                if (block.digital)
                    (*wave->digital)[s] = readAt<uint32_t>(block.digital + offset + s);
            }
            group->waves.push_back(wave);
        }
    }
    const readout::Entry last = entryAt(entries, count - 1);
    auto* packet = new DataPacket(m_dataType, group->timestamp);
    packet->items.push_back(group);
    push(m_dataType, last.header0, last.header1, packet);
}

void Source_Thread::convertRateCounters(const char* entries, int count)
{
    for (int i = 0; i < count; ++i) {
        const double elapsed = static_cast<double>(elapsedMilliseconds()) / 1000.0 + 0.001;
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            m_badRecords.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        const auto record = readAt<readout::RateCounters>(entry.record);
        const auto channels = static_cast<int32_t>(record.n_channels);
        if (channels <= 0) {
            m_badRecords.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        auto* snapshot = new QuarixPayload_RateCounters(channels);
        snapshot->timestamp = entry.header0;
        snapshot->elapsed_time = elapsed;
        for (uint32_t c = 0; c < record.n_channels; ++c) {
            if (record.rates_in)
                (*snapshot->rates_in)[c] = static_cast<double>(u64At(record.rates_in, c));
            if (record.rates_out)
                (*snapshot->rates_out)[c] = static_cast<double>(u64At(record.rates_out, c));
            if (record.counters_in) {
                const uint64_t counter = u64At(record.counters_in, c);
                (*snapshot->counters_in)[c] = counter;
                (*snapshot->rates_in_start)[c] = static_cast<double>(counter) / elapsed;
            }
            if (record.counters_out) {
                const uint64_t counter = u64At(record.counters_out, c);
                (*snapshot->counters_out)[c] = counter;
                (*snapshot->rates_out_start)[c] = static_cast<double>(counter) / elapsed;
            }
        }
        auto* packet = new DataPacket(m_dataType, snapshot->timestamp);
        packet->items.push_back(snapshot);
        push(m_dataType, entry.header0, entry.header1, packet);
    }
    pause(kRateCountersPauseMs);
}

void Source_Thread::push(const QString& dataType, quint64 header0, quint64 header1, DataPacket* packet)
{
    if (!m_outputs || m_outputs->isEmpty()) {
        delete packet;
        return;
    }
    PinMessage message;
    message.data_type = dataType;
    message.source = m_endpointPath;
    message.header0 = header0;
    message.header1 = header1;
    message.packet = packet;
    m_outputs->at(0)->Push(std::move(message));
}

void Source_Thread::pushBatch(std::vector<PinMessage>& messages)
{
    if (m_outputs && !m_outputs->isEmpty()) {
        m_outputs->at(0)->PushBatch(messages);
        return;
    }
    for (PinMessage& message : messages)
        delete message.packet;
    messages.clear();
}

Source::Source(QObject* parent, BlockContext* context, const QJsonValue& entry) : QuarixBlock(parent)
{
    if (context) {
        m_boards = context->boards;
        m_blocks = context->blocks;
    }
    m_blockType = QStringLiteral("source");
    setFullPath(context ? context->full_path : QString());
    const bool configured = readConfiguration(entry);
    createPins(0, 1, m_dataType);
    if (!configured || !m_board)
        return;
    m_deleter = new DataDistructorSource(m_board, m_endpointPath);
    m_thread = new Source_Thread(Name(), m_board, m_endpointPath, m_endpointIndex, m_dataType, &m_outputPins,
                                 m_deleter, &m_downloadInterval, this);
    m_thread->setCalibrationExpression(m_expression);
    m_thread->setUseBoardKev(m_useBoardKev);
}

Source::~Source()
{
    // The worker is a child QObject: stop and delete it here, before the pins
    // it pushes into and the deleter it holds go away.
    shutdown();
    delete m_thread;
    m_thread = nullptr;
    delete m_deleter;
}

void Source::appendLosses(BlockLosses& losses) const
{
    losses.push_back({"read_errors", m_thread ? m_thread->readErrors() : 0, false});
    losses.push_back({"bad_records", m_thread ? m_thread->badRecords() : 0, true});
}

void Source::shutdown()
{
    if (m_thread)
        m_thread->stopAndWait();
}

bool Source::readConfiguration(const QJsonValue& entry)
{
    if (!m_boards)
        return true;
    const QJsonObject object = entry.toObject();
    setName(object.value(QLatin1String("name")).toString());
    m_dataType = object.value(QLatin1String("data_type")).toString();

    const QJsonArray sources = object.value(QLatin1String("sources")).toArray();
    for (const QJsonValue& value : sources) {
        const QJsonObject source = value.toObject();
        const QString pin = source.value(QLatin1String("pin")).toString();
        const QStringList parts = pin.split(QLatin1Char('\\'), Qt::KeepEmptyParts);
        if (parts.size() != 2 || parts.at(0) != QLatin1String("endpoints")) {
            qInfo() << "Warning: source block " << Name() << " Invalid endpoint config parameter";
            return false;
        }
        const QString boardName = source.value(QLatin1String("source")).toString();
        Board* board = nullptr;
        for (Board* candidate : qAsConst(*m_boards)) {
            if (candidate && candidate->name == boardName) {
                board = candidate;
                break;
            }
        }
        if (!board) {
            qInfo() << "Warning: a source block " << Name()
                    << " has been detected but the related board has not been found";
            return false;
        }
        int index = -1;
        for (int i = 0; i < board->endpoints.size(); ++i) {
            if (board->endpoints.at(i).name == parts.at(1)) {
                index = i;
                break;
            }
        }
        if (index < 0) {
            qInfo() << "Warning: a source block " << Name()
                    << " has been detected but related endpoint can not be found on board " << board->name;
            return false;
        }
        m_board = board;
        m_endpointIndex = index;
        m_endpointPath = pin;
    }
    return ReadParameters(entry);
}

bool Source::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QJsonValue name = parameter.value(QLatin1String("param_name"));
        if (!name.isString())
            continue;
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        if (name.toString() == QLatin1String("download_interval")) {
            m_downloadInterval.store(value.toDouble());
        } else if (name.toString() == QLatin1String("energy_calibration_expression")) {
            m_expression = value.toString();
            if (m_thread)
                m_thread->setCalibrationExpression(m_expression);
        } else if (name.toString() == QLatin1String("use_board_kev")) {
            m_useBoardKev = value.toBool();
            if (m_thread)
                m_thread->setUseBoardKev(m_useBoardKev);
        }
    }
    return true;
}

BoardEndpoint Source::endpoint() const
{
    if (!m_board || m_endpointIndex < 0 || m_endpointIndex >= m_board->endpoints.size())
        return BoardEndpoint();
    return m_board->endpoints.at(m_endpointIndex);
}

void Source::Run()
{
    if (m_thread)
        m_thread->start();
}

void Source::Stop()
{
    if (!m_thread)
        return;
    m_board->SendCommands(endpoint().stop_commands);
}

void Source::Flush()
{
    if (!m_thread)
        return;
    m_thread->restartElapsedTimer();
    m_board->SendCommands(endpoint().reset_commands);
}

void Source::Start()
{
    if (!m_thread)
        return;
    m_thread->restartElapsedTimer();
    const BoardEndpoint current = endpoint();
    if (current.enable)
        m_board->SendCommands(current.start_commands);
}
