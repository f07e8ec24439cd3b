#include "core/quarix_payload_energy.h"

#include "core/text_builder.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <ostream>

namespace {
// Writes the decimal digits of value at p, which has room for the longest
// value of the type; returns the end. Bounding each number by its own width
// keeps every write of a line provably inside the line.
template <typename T>
char* putNumber(char* p, T value)
{
    return std::to_chars(p, p + std::numeric_limits<T>::digits10 + 1, value).ptr;
}

template <size_t N>
char* putText(char* p, const char (&text)[N])
{
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}
}  // namespace

QuarixPayload_Energy::QuarixPayload_Energy() : QuarixPayload(QStringLiteral("energy"), 1) {}

QuarixPayload* QuarixPayload_Energy::Clone() const
{
    return new QuarixPayload_Energy(*this);
}

bool QuarixPayload_Energy::Serialize(int format, std::ostream& out) const
{
    switch (format) {
    case Binary: {
        char record[25];
        for (int i = 0; i < 8; ++i) {
            record[i] = static_cast<char>((timestamp >> (8 * i)) & 0xff);
            record[8 + i] = static_cast<char>((uint64_t(channel) >> (8 * i)) & 0xff);
            record[16 + i] = static_cast<char>((uint64_t(energy_raw) >> (8 * i)) & 0xff);
        }
        record[24] = static_cast<char>(static_cast<uint8_t>(flag2 * 2 + flag1));
        out.write(record, sizeof record);
        return true;
    }
    case Csv: {
        char line[64];   // at most 20 + 10 + 10 digits and 3 commas
        char* p = line;
        p = putNumber(p, timestamp);
        *p++ = ',';
        p = putNumber(p, channel);
        *p++ = ',';
        p = putNumber(p, energy_raw);
        *p++ = ',';
        out.write(line, p - line);
        payload_io::endLine(out);
        return true;
    }
    case Json: {
        char line[96];   // at most 79 characters
        char* p = line;
        p = putText(p, "{\"timestamp\":");
        p = putNumber(p, timestamp);
        p = putText(p, ",\"channel\":");
        p = putNumber(p, channel);
        p = putText(p, ",\"energy_raw\":");
        p = putNumber(p, energy_raw);
        *p++ = '}';
        out.write(line, p - line);
        payload_io::endLine(out);
        return true;
    }
    default:
        return false;
    }
}
