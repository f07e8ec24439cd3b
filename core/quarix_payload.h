// One item of acquired data travelling down a processing chain.
//
// A payload belongs to the packets that list it. A fan-out (the tee) lets
// several packets share one payload instead of copying it: a shared payload is
// read-only, and it is destroyed, through the virtual destructor, when the
// last packet holding it releases it (release()). A block that changes the
// payloads it takes (time sorting stamps their arrival) makes its own copy of
// a shared one first (ownCopy()).
#pragma once

#include <QString>

#include <atomic>
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

    // One more holder; returns the payload.
    QuarixPayload* share()
    {
        m_holders.fetch_add(1, std::memory_order_relaxed);
        return this;
    }
    bool isShared() const { return m_holders.load(std::memory_order_acquire) > 1; }
    // One holder less: destroys the payload when it was the last.
    static void release(QuarixPayload* payload)
    {
        if (payload && (payload->m_holders.load(std::memory_order_acquire) == 1 ||
                        payload->m_holders.fetch_sub(1, std::memory_order_acq_rel) == 1))
            delete payload;
    }
    // The payload itself when this holder is its only one; otherwise a copy of
    // its own, the shared one being released.
    static QuarixPayload* ownCopy(QuarixPayload* payload)
    {
        if (!payload || !payload->isShared())
            return payload;
        QuarixPayload* copy = payload->Clone();
        release(payload);
        return copy;
    }

    QString type;
    int32_t event_count = 0;   // list events this payload stands for when a dumper counts
    uint64_t timestamp = 0;    // the board's time stamp, in the board's own units
    uint64_t arrival_time = 0; // stamped by the time sorting block only

protected:
    // A copy has one holder, whatever the original has.
    QuarixPayload(const QuarixPayload& other)
        : type(other.type), event_count(other.event_count), timestamp(other.timestamp), arrival_time(other.arrival_time)
    {
    }
    QuarixPayload& operator=(const QuarixPayload&) = delete;

private:
    std::atomic<int32_t> m_holders{1};
};

namespace payload_io {
// Little-endian writers and the text line end ("\n" and a flush of the stream).
void writeLE64(std::ostream& out, uint64_t value);
void writeLE32(std::ostream& out, uint32_t value);
void writeDouble(std::ostream& out, double value);
void endLine(std::ostream& out);
}  // namespace payload_io
