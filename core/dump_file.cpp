#include "core/dump_file.h"

#include <QDebug>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace dump_file {

Type typeOf(const QString& fileType)
{
    if (fileType == QLatin1String("BIN"))
        return Type::Bin;
    if (fileType == QLatin1String("CSV"))
        return Type::Csv;
    if (fileType == QLatin1String("JSON"))
        return Type::Json;
    return Type::Other;
}

const char* extension(Type type)
{
    switch (type) {
    case Type::Bin:
        return ".bin";
    case Type::Csv:
        return ".csv";
    case Type::Json:
        return ".json";
    case Type::Other:
        break;
    }
    return "";
}

int payloadFormat(Type type)
{
    switch (type) {
    case Type::Bin:
        return 0;
    case Type::Csv:
        return 1;
    case Type::Json:
        return 2;
    case Type::Other:
        break;
    }
    return -1;
}

QString baseName(const QString& filePath, const QString& runId, const QString& blockName, int fileIndex)
{
    return filePath + QLatin1Char('/') + runId + QLatin1Char('/') + blockName + QLatin1Char('_')
           + QString::number(fileIndex);
}

uint64_t creationTime()
{
    return static_cast<uint64_t>(std::time(nullptr));
}

void appendLE(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string binaryHeader(const char (&magic)[5])
{
    std::string header(magic, 4);
    appendLE(header, 0, 4);
    appendLE(header, creationTime(), 8);
    return header;
}

bool BufferedStream::open(const QString& fileName, bool append)
{
    close();
    if (!m_buffer)
        m_buffer.reset(new char[kBufferBytes]);
    // The buffer must be installed before the file is opened to take effect.
    m_out.rdbuf()->pubsetbuf(m_buffer.get(), kBufferBytes);
    m_out.clear();
    errno = 0;
    const std::ios::openmode mode = std::ios::out | std::ios::binary | (append ? std::ios::app : std::ios::trunc);
    m_out.open(QFile::encodeName(fileName).toStdString(), mode);
    if (!m_out.is_open()) {
        m_errno = errno != 0 ? errno : EIO;
        return false;
    }
    m_errno = 0;
    return true;
}

void BufferedStream::close()
{
    if (m_out.is_open())
        m_out.close();
    m_out.clear();
}

void logUnableToOpen(const QString& fileName, int errorNumber)
{
    qInfo() << "Unable to open file " << fileName << " errno: " << QString::fromLocal8Bit(std::strerror(errorNumber))
            << ". Acquisition disabled in order to prevent software crash";
}

}  // namespace dump_file
