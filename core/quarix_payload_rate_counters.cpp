#include "core/quarix_payload_rate_counters.h"

#include "core/text_builder.h"

#include <ostream>

namespace {
template <typename T>
std::vector<T>* copyOf(const std::vector<T>* source)
{
    return source ? new std::vector<T>(*source) : nullptr;
}

template <typename T>
T at(const std::vector<T>* values, int i)
{
    return values && i < static_cast<int>(values->size()) ? (*values)[i] : T();
}

void appendList(TextBuilder& text, const char* opening, const std::vector<double>* values, int n, const char* closing)
{
    text.append(opening);
    for (int i = 0; i < n; ++i) {
        if (i > 0)
            text.append(',');
        text.appendFixed(at(values, i));
    }
    text.append(closing);
}

void appendList(TextBuilder& text, const char* opening, const std::vector<uint64_t>* values, int n,
                const char* closing)
{
    text.append(opening);
    for (int i = 0; i < n; ++i) {
        if (i > 0)
            text.append(',');
        text.appendUnsigned(at(values, i));
    }
    text.append(closing);
}
}  // namespace

QuarixPayload_RateCounters::QuarixPayload_RateCounters() : QuarixPayload(QStringLiteral("rate_counters"), 1) {}

QuarixPayload_RateCounters::QuarixPayload_RateCounters(int32_t channels) : QuarixPayload_RateCounters()
{
    nchannels = channels;
    const size_t n = channels > 0 ? static_cast<size_t>(channels) : 0;
    rates_in = new std::vector<double>(n, 0.0);
    counters_in = new std::vector<uint64_t>(n, 0);
    rates_out = new std::vector<double>(n, 0.0);
    counters_out = new std::vector<uint64_t>(n, 0);
    rates_out_start = new std::vector<double>(n, 0.0);
    rates_in_start = new std::vector<double>(n, 0.0);
}

QuarixPayload_RateCounters::QuarixPayload_RateCounters(const QuarixPayload_RateCounters& other)
    : QuarixPayload(other),
      nchannels(other.nchannels),
      rates_in(copyOf(other.rates_in)),
      counters_in(copyOf(other.counters_in)),
      rates_out(copyOf(other.rates_out)),
      counters_out(copyOf(other.counters_out)),
      rates_out_start(copyOf(other.rates_out_start)),
      rates_in_start(copyOf(other.rates_in_start)),
      elapsed_time(other.elapsed_time)
{
}

QuarixPayload_RateCounters::~QuarixPayload_RateCounters()
{
    delete rates_in;
    delete counters_in;
    delete rates_out;
    delete counters_out;
    delete rates_out_start;
    delete rates_in_start;
}

QuarixPayload* QuarixPayload_RateCounters::Clone() const
{
    return new QuarixPayload_RateCounters(*this);
}

bool QuarixPayload_RateCounters::Serialize(int format, std::ostream& out) const
{
    const int n = nchannels > 0 ? nchannels : 0;
    switch (format) {
    case Binary:
        payload_io::writeLE64(out, timestamp);
        payload_io::writeLE64(out, static_cast<uint64_t>(static_cast<int64_t>(nchannels)));
        for (int i = 0; i < n; ++i) {
            payload_io::writeDouble(out, at(rates_in, i));
            payload_io::writeLE32(out, static_cast<uint32_t>(at(counters_in, i)));
            payload_io::writeDouble(out, at(rates_out, i));
            payload_io::writeLE32(out, static_cast<uint32_t>(at(counters_out, i)));
        }
        return true;
    case Csv: {
        TextBuilder text;
        text.appendUnsigned(timestamp).append(',').appendSigned(nchannels).append(',');
        for (int i = 0; i < n; ++i) {
            text.appendFixed(at(rates_in, i)).append(',');
            text.appendUnsigned(at(counters_in, i)).append(',');
            text.appendFixed(at(rates_out, i)).append(',');
            text.appendUnsigned(at(counters_out, i)).append(',');
        }
        out.write(text.str().data(), static_cast<std::streamsize>(text.size()));
        payload_io::endLine(out);
        return true;
    }
    case Json: {
        TextBuilder text;
        text.append("{\"timestamp\":").appendUnsigned(timestamp).append(',');
        text.append("\"nchannels\":").appendSigned(nchannels).append(',');
        appendList(text, "\"rates_in\": [ ", rates_in, n, "], ");
        appendList(text, "\"counters_in\": [ ", counters_in, n, "], ");
        appendList(text, "\"rates_out\": [ ", rates_out, n, "], ");
        appendList(text, "\"counters_out\": [ ", counters_out, n, "] ");
        text.append('}');
        out.write(text.str().data(), static_cast<std::streamsize>(text.size()));
        payload_io::endLine(out);
        return true;
    }
    default:
        return false;
    }
}
