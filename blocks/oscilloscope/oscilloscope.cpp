#include "blocks/oscilloscope/oscilloscope.h"

#include "core/block_context.h"
#include "core/block_message.h"
#include "blocks/common/config_limits.h"
#include "core/data_packet.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"
#include "core/text_builder.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>

namespace {
int integerParameter(const QJsonValue& value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::isnan(number))
        return 0;
    return static_cast<int>(std::clamp(number, double(std::numeric_limits<int>::min()),
                                       double(std::numeric_limits<int>::max())));
}
}  // namespace

Oscilloscope::Oscilloscope(QObject* parent, BlockContext* context, const QJsonValue& entry)
    : RecordingBlock(parent, context)
{
    if (readRecordingEntry(context, entry)) {
        m_enabled.assign(static_cast<size_t>(m_geometry.channels), 0);
        m_scope = new Oscilloscope_Thread(Name(), &m_inputPins, &m_control, m_geometry);
        startWorker(m_scope);
    }
}

bool Oscilloscope::ReadParameters(const QJsonValue& entry)
{
    const QJsonArray parameters = entry.toObject().value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& element : parameters) {
        const QJsonObject parameter = element.toObject();
        const QString name = parameter.value(QLatin1String("param_name")).toString();
        const QJsonValue value = parameter.value(QLatin1String("param_value"));
        if (name == QLatin1String("sample_number"))
            m_geometry.samples = integerParameter(value);
        else if (name == QLatin1String("ch_digital"))
            m_geometry.digital = integerParameter(value);
        else if (name == QLatin1String("ch_analog"))
            m_geometry.analog = integerParameter(value);
        else if (name == QLatin1String("ch_number"))
            m_geometry.channels = integerParameter(value);
    }
    const std::pair<const char*, int> required[] = {{"sample_number", m_geometry.samples},
                                                    {"ch_digital", m_geometry.digital},
                                                    {"ch_analog", m_geometry.analog},
                                                    {"ch_number", m_geometry.channels}};
    for (const auto& [key, value] : required) {
        if (value < 1) {
            setConfigurationError(QLatin1String(key), QStringLiteral("must be at least 1, is %1").arg(value));
            return false;
        }
    }
    const std::tuple<const char*, int, int> bounded[] = {
        {"sample_number", m_geometry.samples, config_limits::kScopeSamples},
        {"ch_number", m_geometry.channels, config_limits::kScopeChannels}};
    for (const auto& [key, value, limit] : bounded) {
        if (value > limit) {
            setConfigurationError(QLatin1String(key), config_limits::atMost(limit, value));
            return false;
        }
    }
    if (int64_t(m_geometry.samples) * m_geometry.channels > config_limits::kScopeValues) {
        setConfigurationError(QStringLiteral("sample_number"),
                              QStringLiteral("times \"ch_number\" must be at most %1 (got %2 x %3)")
                                  .arg(config_limits::kScopeValues)
                                  .arg(m_geometry.samples)
                                  .arg(m_geometry.channels));
        return false;
    }
    if (m_geometry.digital > 32) {
        setConfigurationError(QStringLiteral("ch_digital"),
                              QStringLiteral("must be at most 32 (one bit of a 32-bit word per digital trace), is %1")
                                  .arg(m_geometry.digital));
        return false;
    }
    return true;
}

void Oscilloscope::describeView(QJsonObject& view) const
{
    view.insert(QLatin1String("channels"), m_geometry.channels);
    view.insert(QLatin1String("samples"), m_geometry.samples);
    view.insert(QLatin1String("analog"), m_geometry.analog);
    view.insert(QLatin1String("digital"), m_geometry.digital);
}

void Oscilloscope::NewDataInTheInputPin(int)
{
    wakeWorker();
}

void Oscilloscope::InterpretMessage(QString data_in, QString* data_out)
{
    if (!data_out)
        return;
    const QJsonObject message = block_message::parse(data_in);
    const QString cmd = block_message::command(message);
    if (cmd == QLatin1String("require_data")) {
        appendTraces(data_out);
        return;
    }
    if (cmd == QLatin1String("set_channel")) {
        setChannels(message.value(QLatin1String("ch_enable")));
        data_out->append(QLatin1String(block_message::kTrue));
        return;
    }
    DumpControl::Reply reply = m_control.applyLimitCommand(cmd, message);
    if (reply == DumpControl::Reply::NotMine)
        reply = m_control.applyRunCommand(cmd, message);
    data_out->append(DumpControl::replyText(reply));
}

void Oscilloscope::setChannels(const QJsonValue& flags)
{
    // Only the JSON number 1 enables a channel; flags beyond the array keep their value.
    const QJsonArray list = flags.toArray();
    const int count = std::min(list.size(), static_cast<int>(m_enabled.size()));
    for (int i = 0; i < count; ++i) {
        const QJsonValue flag = list.at(i);
        m_enabled[static_cast<size_t>(i)] = flag.isDouble() && flag.toDouble() == 1.0 ? 1 : 0;
    }
}

void Oscilloscope::appendTraces(QString* data_out) const
{
    std::vector<double> values;
    if (m_scope)
        m_scope->copyTraces(m_enabled, values);
    // Formatting happens on the copy, without holding the worker's lock.
    const size_t samples = static_cast<size_t>(std::max(m_geometry.samples, 0));
    TextBuilder text;
    text.reserve(values.size() * 8 + 16);
    text.append('[');
    for (size_t first = 0; samples > 0 && first < values.size(); first += samples) {
        if (first > 0)
            text.append(',');
        text.append("{\"data\":[");
        for (size_t s = 0; s < samples; ++s) {
            if (s > 0)
                text.append(',');
            text.appendGeneral(values[first + s]);
        }
        text.append("]}");
    }
    text.append(']');
    data_out->append(text.toQString());
}

void Oscilloscope::ConfigureDump(int dump_events, int dump_time, QString file_type, QString file_path)
{
    configureRecording(dump_events, dump_time, file_type, file_path);
}

Oscilloscope_Thread::Oscilloscope_Thread(const QString& name, const QList<PinInput*>* inputs, DumpControl* control,
                                         const OscilloscopeGeometry& geometry)
    : BlockWorker(name, inputs),
      m_control(control),
      m_geometry(geometry),
      m_traces(size_t(geometry.channels) * (size_t(geometry.analog) + size_t(geometry.digital))
                   * size_t(geometry.samples),
               0.0)
{
    m_snapshot.samples = static_cast<uint32_t>(geometry.samples);
    m_snapshot.analogTraces = static_cast<uint32_t>(geometry.analog);
    m_snapshot.digitalTraces = static_cast<uint32_t>(geometry.digital);
}

size_t Oscilloscope_Thread::traceOffset(size_t channel, size_t trace) const
{
    const size_t tracesPerChannel = size_t(m_geometry.analog) + size_t(m_geometry.digital);
    return (channel * tracesPerChannel + trace) * size_t(m_geometry.samples);
}

void Oscilloscope_Thread::copyTraces(const std::vector<uint8_t>& enabled, std::vector<double>& out) const
{
    const size_t channelValues = traceOffset(1, 0);   // (A + D) * S
    const size_t channels = std::min(enabled.size(), size_t(m_geometry.channels));
    const auto enabledCount = std::count(enabled.begin(), enabled.begin() + std::ptrdiff_t(channels), 1);
    out.reserve(out.size() + channelValues * size_t(enabledCount));
    std::lock_guard<std::mutex> lock(m_traceMutex);
    for (size_t c = 0; c < channels; ++c) {
        if (!enabled[c])
            continue;
        const auto first = m_traces.begin() + static_cast<std::ptrdiff_t>(c * channelValues);
        out.insert(out.end(), first, first + static_cast<std::ptrdiff_t>(channelValues));
    }
}

void Oscilloscope_Thread::process(PinMessage& message)
{
    const std::unique_ptr<DataPacket> packet(message.packet);
    message.packet = nullptr;
    // An empty message changes nothing, not even a pending stop.
    if (!packet || packet->items.empty())
        return;
    // The run state is taken before the traces change, so a client that sees
    // this group in "require_data" knows its run state was already read.
    const DumpSettings settings = m_control->settings();
    if (const auto* group = dynamic_cast<const QuarixPayload_Waves*>(packet->items.front()))
        updateTraces(*group);

    if (settings.status == DumpStopped) {
        m_file.close();
        m_newFile = true;
        m_fileIndex = 0;
        m_recordsInFile = 0;
        return;
    }
    if (settings.status != DumpRunning)
        return;   // paused: the file stays open, nothing is written
    dumpStep(settings);
}

void Oscilloscope_Thread::updateTraces(const QuarixPayload_Waves& group)
{
    const size_t waves = std::min(group.waves.size(), size_t(m_geometry.channels));
    const size_t groupSamples = static_cast<size_t>(std::max(group.n_samples, 0));
    const size_t analog = size_t(m_geometry.analog);
    std::lock_guard<std::mutex> lock(m_traceMutex);
    for (size_t w = 0; w < waves; ++w) {
        const QuarixPayload_Wave* wave = group.waves[w];
        if (!wave)
            continue;
        if (wave->analog) {
            const size_t samples = std::min({groupSamples, size_t(m_geometry.samples), wave->analog->size()});
            std::copy_n(wave->analog->begin(), samples, m_traces.begin() + std::ptrdiff_t(traceOffset(w, 0)));
        }
        if (wave->digital) {
            const size_t samples = std::min({groupSamples, size_t(m_geometry.samples), wave->digital->size()});
            for (int d = 0; d < m_geometry.digital; ++d) {
                double* trace = m_traces.data() + traceOffset(w, analog + size_t(d));
                for (size_t s = 0; s < samples; ++s)
                    trace[s] = ((*wave->digital)[s] >> d) & 1u ? 1.0 : 0.0;
            }
        }
    }
    m_lastChannels = static_cast<uint32_t>(waves);
    m_lastTimestamp = group.timestamp;
}

void Oscilloscope_Thread::dumpStep(const DumpSettings& settings)
{
    if (m_newFile) {
        m_dumpTimer.start();
        // A refused file leaves m_newFile set: the next run tries again, even
        // one started before this worker sees the stop.
        if (!openWaveFile(settings))
            return;
        m_newFile = false;
    }
    if (m_dumpTimer.elapsed() - settings.dumpTime <= 0)
        return;
    m_dumpTimer.restart();
    if (m_recordsInFile > settings.dumpEvents) {
        m_file.close();
        ++m_fileIndex;
        m_recordsInFile = 0;
        if (!openWaveFile(settings))
            return;
    }
    if (m_file.isOpen()) {
        takeSnapshot();
        m_file.write(m_snapshot);
    }
    ++m_recordsInFile;
}

bool Oscilloscope_Thread::openWaveFile(const DumpSettings& settings)
{
    if (m_file.open(settings.target(m_name, m_fileIndex), settings.type()))
        return true;
    if (m_file.errorNumber() == 0)
        return true;   // a type none of the three: nothing to open, the counting goes on
    dump_file::logUnableToOpen(m_file.fileName(), m_file.errorNumber());
    m_control->setStatus(DumpStopped);
    return false;
}

void Oscilloscope_Thread::takeSnapshot()
{
    // Only this thread writes the buffers, so reading them needs no lock.
    const uint32_t channels = m_lastChannels;
    const size_t samples = size_t(m_geometry.samples);
    m_snapshot.channels = channels;
    m_snapshot.timestamp = m_lastTimestamp;
    m_snapshot.analog.resize(channels * samples);
    m_snapshot.digital.assign(channels * samples, 0u);
    for (uint32_t c = 0; c < channels; ++c) {
        std::copy_n(m_traces.begin() + std::ptrdiff_t(traceOffset(c, 0)), samples,
                    m_snapshot.analog.begin() + std::ptrdiff_t(c * samples));
        uint32_t* words = m_snapshot.digital.data() + c * samples;
        for (int d = 0; d < m_geometry.digital; ++d) {
            const double* trace = m_traces.data() + traceOffset(c, size_t(m_geometry.analog) + size_t(d));
            for (size_t s = 0; s < samples; ++s) {
                if (trace[s] == 1.0)
                    words[s] |= uint32_t(1) << d;
            }
        }
    }
}

void Oscilloscope_Thread::finish()
{
    m_file.close();
}
