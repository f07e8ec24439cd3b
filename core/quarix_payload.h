// One item of acquired data travelling down a processing chain.
//
// A payload has exactly one owner at a time (its producer, then the packet
// that lists it, then the block that took it out) and is destroyed by the last
// one through the virtual destructor. Fan-out copies with Clone().
#pragma once

#include <QString>

#include <cstdint>
#include <iosfwd>

class QuarixPayload_Energy;

class QuarixPayload {
public:
    enum Format { Binary = 0, Csv = 1, Json = 2 };

    QuarixPayload() = default;
    QuarixPayload(const QString& payloadType, int32_t eventCount) : type(payloadType), event_count(eventCount) {}
    virtual ~QuarixPayload() = default;

    virtual QuarixPayload* Clone() const = 0;
    // Writes the payload in the given form and returns true, or writes nothing
    // and returns false for a form the payload does not have.
    virtual bool Serialize(int format, std::ostream& out) const = 0;
    // The payload as a list event, or none: the per-event test of the data
    // path, cheaper than a dynamic_cast.
    virtual const QuarixPayload_Energy* asEnergy() const { return nullptr; }

    QString type;
    int32_t event_count = 0;   // list events this payload stands for when a dumper counts
    uint64_t timestamp = 0;    // the board's time stamp, in the board's own units
    uint64_t arrival_time = 0; // stamped by the time sorting block only

protected:
    QuarixPayload(const QuarixPayload&) = default;
    QuarixPayload& operator=(const QuarixPayload&) = default;
};

namespace payload_io {
// Little-endian writers and the text line end ("\n" and a flush of the stream).
void writeLE64(std::ostream& out, uint64_t value);
void writeLE32(std::ostream& out, uint32_t value);
void writeDouble(std::ostream& out, double value);
void endLine(std::ostream& out);
}  // namespace payload_io
