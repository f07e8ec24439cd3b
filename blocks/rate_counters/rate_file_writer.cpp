#include "blocks/rate_counters/rate_file_writer.h"

#include "core/quarix_payload_rate_counters.h"
#include "core/text_builder.h"

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {
using dump_file::appendLE;

template <typename T>
T valueAt(const std::vector<T>* values, int i)
{
    return values && i < static_cast<int>(values->size()) ? (*values)[i] : T();
}

void appendFloat(std::string& out, double value)
{
    const float single = static_cast<float>(value);
    uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    appendLE(out, bits, 4);
}

void appendRates(TextBuilder& text, const std::vector<double>* rates, int n, bool leadingComma)
{
    for (int i = 0; i < n; ++i) {
        if (leadingComma || i > 0)
            text.append(',');
        text.appendGeneral(valueAt(rates, i));
    }
}

void appendCounts(TextBuilder& text, const std::vector<uint64_t>* counts, int n, bool leadingComma)
{
    for (int i = 0; i < n; ++i) {
        if (leadingComma || i > 0)
            text.append(',');
        text.appendUnsigned(valueAt(counts, i));
    }
}

void appendColumns(TextBuilder& text, const char* prefix, const char* extra)
{
    for (int i = 0; i < 32; ++i)
        text.append(prefix).appendSigned(i);
    text.append(extra);
}
}  // namespace

const char* RateFileWriter::extension(dump_file::Type type)
{
    return type == dump_file::Type::Other ? ".dat" : dump_file::extension(type);
}

void RateFileWriter::appendCsvHeader(TextBuilder& text)
{
    text.append("timestamp");
    appendColumns(text, ",rate_in_ch", ",rate_in_T0");
    appendColumns(text, ",rate_out_ch", ",DUMMY1");
    appendColumns(text, ",counts_in_ch", ",counts_in_T0");
    appendColumns(text, ",counts_out_ch", ",DUMMY2");
}

bool RateFileWriter::open(const dump_file::FileTarget& file, dump_file::Type type)
{
    close();
    if (!m_stream.open(file))
        return false;
    m_type = type;
    m_records = 0;
    std::ostream& out = m_stream.stream();
    if (type == dump_file::Type::Bin) {
        const std::string header = dump_file::binaryHeader("QRXR");
        out.write(header.data(), static_cast<std::streamsize>(header.size()));
    } else if (type == dump_file::Type::Csv) {
        TextBuilder header;
        appendCsvHeader(header);
        header.append('\n');
        out.write(header.str().data(), static_cast<std::streamsize>(header.size()));
        out.flush();
    } else if (type == dump_file::Type::Json) {
        out.put('[');
        out.flush();
    }
    return true;
}

void RateFileWriter::write(int64_t elapsedMs, const QuarixPayload_RateCounters& snapshot)
{
    if (!isOpen() || m_type == dump_file::Type::Other)
        return;
    const int n = snapshot.nchannels > 0 ? snapshot.nchannels : 0;
    std::ostream& out = m_stream.stream();
    if (m_type == dump_file::Type::Bin) {
        std::string record;
        record.reserve(12 + 24 * size_t(n));
        appendLE(record, static_cast<uint64_t>(elapsedMs), 8);
        appendLE(record, static_cast<uint32_t>(snapshot.nchannels), 4);
        for (int i = 0; i < n; ++i)
            appendFloat(record, valueAt(snapshot.rates_in, i));
        for (int i = 0; i < n; ++i)
            appendFloat(record, valueAt(snapshot.rates_out, i));
        for (int i = 0; i < n; ++i)
            appendLE(record, valueAt(snapshot.counters_in, i), 8);
        for (int i = 0; i < n; ++i)
            appendLE(record, valueAt(snapshot.counters_out, i), 8);
        out.write(record.data(), static_cast<std::streamsize>(record.size()));
    } else {
        TextBuilder text;
        if (m_type == dump_file::Type::Csv) {
            text.appendSigned(elapsedMs);
            appendRates(text, snapshot.rates_in, n, true);
            appendRates(text, snapshot.rates_out, n, true);
            appendCounts(text, snapshot.counters_in, n, true);
            appendCounts(text, snapshot.counters_out, n, true);
            text.append('\n');
        } else {
            if (m_records > 0)
                text.append(',');
            text.append("{\"timestamp\":").appendSigned(elapsedMs);
            text.append(",\"rate_in\":[");
            appendRates(text, snapshot.rates_in, n, false);
            text.append("],\"rate_out\":[");
            appendRates(text, snapshot.rates_out, n, false);
            text.append("],\"counts_in\":[");
            appendCounts(text, snapshot.counters_in, n, false);
            text.append("],\"counts_out\":[");
            appendCounts(text, snapshot.counters_out, n, false);
            text.append("]}");
        }
        out.write(text.str().data(), static_cast<std::streamsize>(text.size()));
        out.flush();
    }
    ++m_records;
}

void RateFileWriter::close()
{
    if (isOpen() && m_type == dump_file::Type::Json)
        m_stream.stream().put(']');
    m_stream.close();
    m_records = 0;
}
