#include "blocks/oscilloscope/waveform_file_writer.h"

#include "core/text_builder.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>

namespace {
using dump_file::appendLE;

void appendDouble(std::string& out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    appendLE(out, bits, 8);
}

// Truncation toward zero, saturated for values no integer holds.
int64_t truncated(double value)
{
    if (std::isnan(value))
        return 0;
    if (value >= 9.2e18)
        return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

void encodeBinary(const WaveformSnapshot& snap, std::string& out)
{
    appendLE(out, snap.channels, 4);
    appendLE(out, snap.samples, 4);
    appendLE(out, snap.analogTraces, 4);
    appendLE(out, snap.digitalTraces, 4);
    appendLE(out, 0, 4);
    appendLE(out, 1, 4);
    appendLE(out, snap.timestamp, 8);
    for (uint32_t c = 0; c < snap.channels; ++c) {
        const size_t first = size_t(c) * snap.samples;
        for (uint32_t s = 0; s < snap.samples; ++s)
            appendDouble(out, snap.analog[first + s]);
        for (uint32_t s = 0; s < snap.samples; ++s)
            appendLE(out, snap.digital[first + s], 4);
    }
}

void encodeCsv(const WaveformSnapshot& snap, TextBuilder& text)
{
    text.appendUnsigned(snap.channels).append(',').appendUnsigned(snap.samples).append(',');
    text.appendUnsigned(snap.analogTraces).append(',').appendUnsigned(snap.digitalTraces).append(',');
    text.appendUnsigned(snap.timestamp).append(',');
    for (uint32_t c = 0; c < snap.channels; ++c) {
        const size_t first = size_t(c) * snap.samples;
        for (uint32_t s = 0; s < snap.samples; ++s)
            text.appendGeneral(snap.analog[first + s]).append(',');
        for (uint32_t s = 0; s < snap.samples; ++s)
            text.appendUnsigned(snap.digital[first + s]).append(',');
    }
    text.append('\n');
}

void encodeJson(const WaveformSnapshot& snap, TextBuilder& text)
{
    text.append("{\"n_channels\":").appendUnsigned(snap.channels);
    text.append(",\"n_samples\":").appendUnsigned(snap.samples);
    text.append(",\"n_analog\":").appendUnsigned(snap.analogTraces);
    text.append(",\"n_digital\":").appendUnsigned(snap.digitalTraces);
    text.append(",\"timestamp\":").appendUnsigned(snap.timestamp);
    text.append(",\"channels\":[");
    for (uint32_t c = 0; c < snap.channels; ++c) {
        const size_t first = size_t(c) * snap.samples;
        text.append("{\"analog_traces\": [");
        for (uint32_t s = 0; s < snap.samples; ++s) {
            if (s > 0)
                text.append(',');
            text.appendSigned(truncated(snap.analog[first + s]));
        }
        text.append("],\"digital_traces\": [");
        for (uint32_t s = 0; s < snap.samples; ++s) {
            if (s > 0)
                text.append(',');
            text.appendUnsigned(snap.digital[first + s]);
        }
        text.append(c + 1 < snap.channels ? "]}," : "]}]}");
    }
    // A group without waves still closes its channel list and its record.
    if (snap.channels == 0)
        text.append("]}");
}
}  // namespace

void WaveformFileWriter::encode(const WaveformSnapshot& snapshot, dump_file::Type type, std::string& out)
{
    out.clear();
    if (type == dump_file::Type::Bin) {
        out.reserve(32 + size_t(snapshot.channels) * snapshot.samples * 12);
        encodeBinary(snapshot, out);
        return;
    }
    TextBuilder text;
    if (type == dump_file::Type::Csv)
        encodeCsv(snapshot, text);
    else if (type == dump_file::Type::Json)
        encodeJson(snapshot, text);
    out = text.str();
}

bool WaveformFileWriter::open(const dump_file::FileTarget& base, dump_file::Type type)
{
    close();
    const dump_file::FileTarget target = base.withSuffix(dump_file::extension(type));
    m_fileName = target.name;
    if (type == dump_file::Type::Other)
        return false;
    if (!m_stream.open(target))
        return false;
    m_type = type;
    m_records = 0;
    std::ostream& out = m_stream.stream();
    if (type == dump_file::Type::Bin) {
        const std::string header = dump_file::binaryHeader("QRXO");
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
    } else if (type == dump_file::Type::Json) {
        out.put('[');
    }
    return true;
}

void WaveformFileWriter::write(const WaveformSnapshot& snapshot)
{
    if (!isOpen())
        return;
    std::ostream& out = m_stream.stream();
    if (m_type == dump_file::Type::Json && m_records > 0)
        out.put(',');
    encode(snapshot, m_type, m_record);
    out.write(m_record.data(), static_cast<std::streamsize>(m_record.size()));
    if (m_type == dump_file::Type::Csv)
        out.flush();
    ++m_records;
}

void WaveformFileWriter::close()
{
    if (isOpen() && m_type == dump_file::Type::Json)
        m_stream.stream().put(']');
    m_stream.close();
    m_records = 0;
}
