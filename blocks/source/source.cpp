#include "blocks/source/source.h"

#include "blocks/source/data_distructor_source.h"
#include "board_access/board.h"
#include "board_access/readout_records.h"
#include "core/block_context.h"
#include "blocks/common/config_limits.h"
#include "core/data_packet.h"
#include "core/pin_output.h"
#include "core/progress_log.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

#include <chrono>
#include <cstring>

namespace {
constexpr qint64 kRateCountersPauseMs = 500;

// The source data type an endpoint delivers, from the endpoint's "type" in
// the board entry; empty when the type names none of them (then nothing is
// checked).
QString dataTypeOfEndpoint(const QString& endpointType)
{
    if (endpointType == QLatin1String("energy_sci_u32") || endpointType == QLatin1String("energy"))
        return QStringLiteral("energy");
    if (endpointType == QLatin1String("energy_pair") || endpointType == QLatin1String("waveform") ||
        endpointType == QLatin1String("rate_counters"))
        return endpointType;
    return QString();
}

int64_t steadyNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

Source_Thread::Source_Thread(const QString& name, Board* board, const QString& endpointPath, int endpointIndex,
                             const QString& dataType, const QList<PinOutput*>* outputs, DataDistructor* deleter,
                             const std::atomic<double>* downloadInterval, QObject* parent)
    : BlockWorker(name, nullptr),
      m_board(board),
      m_endpointPath(endpointPath),
      m_endpointPathLatin1(endpointPath.toLatin1()),
      m_endpointIndex(endpointIndex),
      m_converter(dataType, endpointPath),
      m_outputs(outputs),
      m_deleter(deleter),
      m_downloadInterval(downloadInterval ? downloadInterval : &m_ownInterval),
      m_timerStartNs(steadyNanoseconds())
{
    setParent(parent);
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

void Source_Thread::process(PinMessage& message)
{
    delete message.packet;
}

void Source_Thread::pause(qint64 milliseconds)
{
    if (milliseconds > 0)
        sleepUnlessStopped(milliseconds * 1000);
}

// Waveform endpoints get their configuration and start commands when the
// reader starts.
void Source_Thread::started()
{
    if (m_converter.kind() != RecordConverter::Kind::Waveform)
        return;
    if (m_endpointIndex < 0 || m_endpointIndex >= m_board->endpoints.size())
        return;
    const BoardEndpoint& endpoint = m_board->endpoints.at(m_endpointIndex);
    m_board->SendCommands(endpoint.config_commands);
    if (endpoint.enable)
        m_board->SendCommands(endpoint.start_commands);
}

void Source_Thread::idle()
{
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
        if (m_converter.kind() == RecordConverter::Kind::Waveform)
            qCInfo(quarixProgress) << "W OK";
    } else {
        if (m_converter.kind() == RecordConverter::Kind::Waveform)
            qCInfo(quarixProgress) << "W ERR";
        pause(pauseMs);
    }
}

// Converts one delivered batch and hands it back to the plugin: exactly one
// free per successful, non-empty read.
void Source_Thread::convert(readout::DataList& list)
{
    EnergyCalibration calibration;
    prepareCalibration(calibration);
    const double elapsedSeconds = static_cast<double>(elapsedMilliseconds()) / 1000.0;
    m_converter.convert(list.entries, list.count, calibration, elapsedSeconds, m_batch);
    m_badRecords.store(m_converter.badRecords(), std::memory_order_relaxed);
    pushBatch(m_batch);
    // Rate counters are read at most twice a second: the batch is held for
    // that pause and handed back after it.
    if (m_converter.kind() == RecordConverter::Kind::RateCounters)
        pause(kRateCountersPauseMs);
    m_board->FreePointer(m_endpointPathLatin1, &list);
}

// Takes the current settings and compiles the expression for one batch.
void Source_Thread::prepareCalibration(EnergyCalibration& calibration) const
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
    setFullPath(context ? context->full_path : QString());
    const bool configured = readConfiguration(entry);
    createPins(0, 1, m_dataType);
    if (!configured || !m_board)
        return;
    m_deleter = new DataDistructorSource(m_board, m_endpointPath);
    m_thread = new Source_Thread(Name(), m_board, m_endpointPath, m_endpointIndex, m_dataType, &m_outputPins,
                                 m_deleter, &m_downloadInterval, this);
    m_worker = m_thread;
    m_thread->setCalibrationExpression(m_expression);
    m_thread->setUseBoardKev(m_useBoardKev);
}

Source::~Source()
{
    // The reader was stopped before this destructor ran (see createBlock);
    // it goes before the deleter it holds.
    deleteWorker();
    m_thread = nullptr;
    delete m_deleter;
}

void Source::appendLosses(BlockLosses& losses) const
{
    losses.push_back({"read_errors", m_thread ? m_thread->readErrors() : 0, false});
    losses.push_back({"bad_records", m_thread ? m_thread->badRecords() : 0, true});
}

void Source::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("board"), m_board ? m_board->name : QString());
    view.insert(QLatin1String("endpoint"), endpoint().name);
    view.insert(QLatin1String("calibration"), m_expression);
    view.insert(QLatin1String("use_board_kev"), m_useBoardKev);
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
        // The records do not say what they are: reading an endpoint as another
        // kind of data reads garbage, so a declared mismatch is refused here.
        const QString delivered = dataTypeOfEndpoint(board->endpoints.at(index).type_name);
        if (!delivered.isEmpty() && delivered != m_dataType) {
            setConfigurationError(QStringLiteral("data_type"),
                                  QStringLiteral("\"%1\" does not fit endpoint \"%2\" of board \"%3\", which delivers \"%4\"")
                                      .arg(m_dataType, parts.at(1), board->name, delivered));
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
            // Compiled for every batch: the bound keeps that short.
            if (value.toString().size() > config_limits::kExpressionLength) {
                setConfigurationError(name.toString(), QStringLiteral("must be at most %1 characters (got %2)")
                                                           .arg(config_limits::kExpressionLength)
                                                           .arg(value.toString().size()));
                return false;
            }
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

void Source::runReader()
{
    if (m_thread)
        m_thread->start();
}

void Source::stopEndpoint()
{
    if (!m_thread)
        return;
    m_board->SendCommands(endpoint().stop_commands);
}

void Source::flushEndpoint()
{
    if (!m_thread)
        return;
    m_thread->restartElapsedTimer();
    m_board->SendCommands(endpoint().reset_commands);
}

void Source::startEndpoint()
{
    if (!m_thread)
        return;
    m_thread->restartElapsedTimer();
    const BoardEndpoint current = endpoint();
    if (current.enable)
        m_board->SendCommands(current.start_commands);
}
