#include "blocks/dumper/list_file_writer.h"

#include "core/quarix_payload.h"
#include "core/text_builder.h"

#include <ostream>

bool ListFileWriter::open(const QString& baseName, dump_file::Type type)
{
    close();
    m_fileName = baseName + QLatin1String(dump_file::extension(type));
    if (type == dump_file::Type::Other)
        return false;
    if (!m_stream.open(m_fileName))
        return false;
    m_type = type;
    std::ostream& out = m_stream.stream();
    if (type == dump_file::Type::Bin) {
        TextBuilder header;
        header.append("QRXS").appendUnsigned(dump_file::creationTime());
        out.write(header.str().data(), static_cast<std::streamsize>(header.size()));
    } else if (type == dump_file::Type::Json) {
        out.put('[');
    }
    return true;
}

void ListFileWriter::write(const QuarixPayload& payload, dump_file::Type recordType)
{
    if (!isOpen())
        return;
    std::ostream& out = m_stream.stream();
    if (recordType == dump_file::Type::Json && m_hasRecords) {
        out.put(',');
        payload_io::endLine(out);
    }
    payload.Serialize(dump_file::payloadFormat(recordType), out);
    m_hasRecords = true;
}

int64_t ListFileWriter::position()
{
    if (!isOpen())
        return 0;
    return static_cast<int64_t>(m_stream.stream().tellp());
}

void ListFileWriter::close()
{
    if (isOpen() && m_type == dump_file::Type::Json)
        m_stream.stream().put(']');
    m_stream.close();
    m_hasRecords = false;
}
