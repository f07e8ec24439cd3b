#include "core/quarix_payload.h"

#include <cstring>
#include <ostream>

namespace payload_io {

void writeLE64(std::ostream& out, uint64_t value)
{
    char bytes[8];
    for (int i = 0; i < 8; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    out.write(bytes, 8);
}

void writeLE32(std::ostream& out, uint32_t value)
{
    char bytes[4];
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
    out.write(bytes, 4);
}

void writeDouble(std::ostream& out, double value)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    writeLE64(out, bits);
}

void endLine(std::ostream& out)
{
    out.put('\n');
    out.flush();
}

}  // namespace payload_io
