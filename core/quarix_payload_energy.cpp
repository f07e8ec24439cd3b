#include "core/quarix_payload_energy.h"

#include "core/text_builder.h"

#include <ostream>

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
        char line[64];
        char* p = line;
        p = std::to_chars(p, line + sizeof line, timestamp).ptr;
        *p++ = ',';
        p = std::to_chars(p, line + sizeof line, channel).ptr;
        *p++ = ',';
        p = std::to_chars(p, line + sizeof line, energy_raw).ptr;
        *p++ = ',';
        out.write(line, p - line);
        payload_io::endLine(out);
        return true;
    }
    case Json: {
        char line[96];
        char* p = line;
        auto put = [&p](const char* text) {
            const size_t n = std::strlen(text);
            std::memcpy(p, text, n);
            p += n;
        };
        put("{\"timestamp\":");
        p = std::to_chars(p, line + sizeof line, timestamp).ptr;
        put(",\"channel\":");
        p = std::to_chars(p, line + sizeof line, channel).ptr;
        put(",\"energy_raw\":");
        p = std::to_chars(p, line + sizeof line, energy_raw).ptr;
        *p++ = '}';
        out.write(line, p - line);
        payload_io::endLine(out);
        return true;
    }
    default:
        return false;
    }
}
