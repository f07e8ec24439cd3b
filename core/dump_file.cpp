#include "core/dump_file.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <unistd.h>

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

BufferedFile::BufferedFile() : m_stream(this) {}

BufferedFile::~BufferedFile()
{
    close();
}

bool BufferedFile::open(const QString& fileName)
{
    close();
    if (!m_buffer)
        m_buffer.reset(new char[kBufferBytes]);
    setp(m_buffer.get(), m_buffer.get() + kBufferBytes);
    m_stream.clear();
    m_written = 0;
    m_failed = false;
    errno = 0;
    m_fd = ::open(QFile::encodeName(fileName).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0) {
        m_errno = errno != 0 ? errno : EIO;
        return false;
    }
    m_errno = 0;
    return true;
}

void BufferedFile::close()
{
    if (m_fd < 0)
        return;
    writeBuffer();
    ::close(m_fd);
    m_fd = -1;
}

void BufferedFile::append(const char* data, std::size_t bytes)
{
    xsputn(data, static_cast<std::streamsize>(bytes));
}

int64_t BufferedFile::position() const
{
    if (m_failed)
        return -1;
    return m_written + static_cast<int64_t>(pptr() - pbase());
}

bool BufferedFile::writeBuffer()
{
    const char* data = pbase();
    const std::size_t bytes = static_cast<std::size_t>(pptr() - pbase());
    // The buffer is empty again whatever happens: failed bytes are dropped.
    setp(m_buffer.get(), m_buffer.get() + kBufferBytes);
    return writeOut(data, bytes);
}

bool BufferedFile::writeOut(const char* data, std::size_t bytes)
{
    if (m_failed || m_fd < 0)
        return false;
    while (bytes > 0) {
        const ssize_t written = ::write(m_fd, data, bytes);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            m_failed = true;
            return false;
        }
        data += written;
        bytes -= static_cast<std::size_t>(written);
        m_written += written;
    }
    return true;
}

BufferedFile::int_type BufferedFile::overflow(int_type c)
{
    if (!m_buffer)
        return traits_type::eof();
    if (!writeBuffer())
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

std::streamsize BufferedFile::xsputn(const char* data, std::streamsize count)
{
    if (!m_buffer || count <= 0)
        return 0;
    const std::size_t bytes = static_cast<std::size_t>(count);
    if (bytes > static_cast<std::size_t>(epptr() - pptr())) {
        if (!writeBuffer())
            return 0;
        if (bytes >= kBufferBytes)   // too large to be worth a copy: straight to the file
            return writeOut(data, bytes) ? count : 0;
    }
    std::memcpy(pptr(), data, bytes);
    pbump(static_cast<int>(bytes));
    return count;
}

int BufferedFile::sync()
{
    return writeBuffer() ? 0 : -1;
}

void logUnableToOpen(const QString& fileName, int errorNumber)
{
    qInfo() << "Unable to open file " << fileName << " errno: " << QString::fromLocal8Bit(std::strerror(errorNumber))
            << ". Acquisition disabled in order to prevent software crash";
}

}  // namespace dump_file
