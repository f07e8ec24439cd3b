#include "blocks/dumper/list_file_writer.h"

#include "core/quarix_payload.h"
#include "core/quarix_payload_energy.h"
#include "core/text_builder.h"

#include <cstring>
#include <ostream>

namespace {

inline void storeLE64(char* out, uint64_t value)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(out, &value, sizeof value);
#else
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
#endif
}

// The 25-byte BIN record of an energy event, the same bytes as its Serialize(Binary).
inline void storeBinaryRecord(char* out, const QuarixPayload_Energy& event)
{
    storeLE64(out, event.timestamp);
    storeLE64(out + 8, uint64_t(event.channel));
    storeLE64(out + 16, uint64_t(event.energy_raw));
    out[24] = static_cast<char>(static_cast<uint8_t>(event.flag2 * 2 + event.flag1));
}

}  // namespace

bool ListFileWriter::open(const dump_file::FileTarget& base, dump_file::Type type)
{
    close();
    const dump_file::FileTarget target = base.withSuffix(dump_file::extension(type));
    m_fileName = target.name;
    if (type == dump_file::Type::Other)
        return false;
    if (!m_file.open(target))
        return false;
    m_type = type;
    if (type == dump_file::Type::Bin) {
        TextBuilder header;
        header.append("QRXS").appendUnsigned(dump_file::creationTime());
        m_file.append(header.str().data(), header.size());
    } else if (type == dump_file::Type::Json) {
        m_file.append("[", 1);
    }
    return true;
}

void ListFileWriter::write(const QuarixPayload& payload, dump_file::Type recordType)
{
    if (!isOpen())
        return;
    std::ostream& out = m_file.stream();
    if (recordType == dump_file::Type::Json && m_hasRecords) {
        out.put(',');
        payload_io::endLine(out);
    }
    payload.Serialize(dump_file::payloadFormat(recordType), out);
    m_hasRecords = true;
}

int64_t ListFileWriter::write(const QuarixPayload* const* first, const QuarixPayload* const* last,
                              dump_file::Type recordType)
{
    if (isOpen() && recordType == dump_file::Type::Bin)
        return writeBinary(first, last);
    int64_t events = 0;
    for (; first != last; ++first) {
        const QuarixPayload* payload = *first;
        if (!payload)
            continue;
        write(*payload, recordType);
        events += payload->event_count;
    }
    return events;
}

int64_t ListFileWriter::writeBinary(const QuarixPayload* const* first, const QuarixPayload* const* last)
{
    // Energy records go straight into the file's buffer through a local write
    // pointer, which is handed back to the file (advanceTo) before the file
    // or its stream writes anything else. One virtual call per payload tells
    // the energy events from the rest.
    int64_t events = 0;
    bool anyRecord = false;
    char* out = m_file.room(kBinaryRecordBytes);
    char* limit = m_file.limit();
    for (; first != last; ++first) {
        const QuarixPayload* payload = *first;
        if (!payload)
            continue;
        events += payload->event_count;
        anyRecord = true;
        if (const QuarixPayload_Energy* event = payload->asEnergy()) {
            if (limit - out < kBinaryRecordBytes) {
                m_file.advanceTo(out);
                out = m_file.room(kBinaryRecordBytes);
                limit = m_file.limit();
            }
            storeBinaryRecord(out, *event);
            out += kBinaryRecordBytes;
        } else {
            m_file.advanceTo(out);
            payload->Serialize(QuarixPayload::Binary, m_file.stream());
            out = m_file.room(0);
            limit = m_file.limit();
        }
    }
    m_file.advanceTo(out);
    if (anyRecord)
        m_hasRecords = true;
    return events;
}

int64_t ListFileWriter::position()
{
    if (!isOpen())
        return 0;
    return m_file.position();
}

void ListFileWriter::close()
{
    if (isOpen() && m_type == dump_file::Type::Json)
        m_file.append("]", 1);
    m_file.close();
    m_hasRecords = false;
}
