#include "blocks/common/dump_file.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

bool isValidRunId(const QString& runId, QString* reason)
{
    const auto allowed = [](QChar c) {
        const ushort u = c.unicode();
        return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' || u == '_'
               || u == '.';
    };
    QString why;
    if (runId.isEmpty())
        why = QStringLiteral("an empty run id names no folder");
    else if (runId.size() > kMaxRunIdLength)
        why = QStringLiteral("a run id has at most %1 characters").arg(kMaxRunIdLength);
    else if (!std::all_of(runId.begin(), runId.end(), allowed))
        why = QStringLiteral("a run id is one folder name of letters, digits, \"-\", \"_\" and \".\"");
    else if (runId == QLatin1String(".") || runId == QLatin1String(".."))
        why = QStringLiteral("\".\" and \"..\" are no run ids");
    if (reason)
        *reason = why;
    return why.isEmpty();
}

namespace {

QString fromLocal(const char* path)
{
    return QFile::decodeName(QByteArray(path));
}

// The canonical form of an existing path, or a null string (errno set).
QString canonical(const QString& path)
{
    char* resolved = ::realpath(QFile::encodeName(path).constData(), nullptr);
    if (!resolved)
        return QString();
    const QString result = fromLocal(resolved);
    std::free(resolved);
    return result;
}

bool isBelow(const QString& path, const QString& root, QString* relative)
{
    if (path == root) {
        *relative = QString();
        return true;
    }
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!path.startsWith(prefix))
        return false;
    *relative = path.mid(prefix.size());
    return true;
}

long openat2Call(int directory, const char* path, int flags, mode_t mode)
{
    open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do
        fd = ::syscall(SYS_openat2, directory, path, &how, sizeof how);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

std::shared_ptr<const StorageRoot> StorageRoot::open(const QString& path)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return nullptr;
    std::shared_ptr<StorageRoot> root(new StorageRoot);
    root->m_fd = ::open(QFile::encodeName(path).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root->m_fd < 0)
        return nullptr;
    root->m_path = path;
    root->m_canonical = canonical(path);
    if (root->m_canonical.isEmpty())
        return nullptr;
    return root;
}

StorageRoot::~StorageRoot()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool StorageRoot::contains(const QString& folder, QString* relative) const
{
    if (folder.isEmpty() || folder.contains(QChar(0)))
        return false;
    const QString absolute = QDir::isAbsolutePath(folder) ? folder : QDir::currentPath() + QLatin1Char('/') + folder;
    const QStringList parts = absolute.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    // The longest leading part that exists is resolved by the system; what
    // follows does not exist yet and holds no symbolic link, so only "." and
    // ".." need care there, and ".." below a missing folder cannot resolve.
    for (int count = parts.size(); count >= 0; --count) {
        QString resolved = canonical(QLatin1Char('/') + parts.mid(0, count).join(QLatin1Char('/')));
        if (resolved.isEmpty())
            continue;
        for (int i = count; i < parts.size(); ++i) {
            if (parts.at(i) == QLatin1String(".."))
                return false;
            if (parts.at(i) != QLatin1String("."))
                resolved += (resolved.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + parts.at(i);
        }
        return isBelow(resolved, m_canonical, relative);
    }
    return false;
}

int StorageRoot::openBelow(const QString& relative, int flags, mode_t mode) const
{
    if (relative.contains(QChar(0))) {
        errno = EINVAL;
        return -1;
    }
    const QByteArray path = QFile::encodeName(relative.isEmpty() ? QStringLiteral(".") : relative);
    const long fd = openat2Call(m_fd, path.constData(), flags | O_CLOEXEC, mode);
    if (fd >= 0 || errno != ENOSYS)
        return static_cast<int>(fd);

    // No openat2: the folder that will hold the file must resolve below the
    // root, and a symbolic link in the place of the file is not followed.
    const int slash = relative.lastIndexOf(QLatin1Char('/'));
    const QString leaf = relative.mid(slash + 1);
    const QString parent = canonical(m_canonical + QLatin1Char('/') + relative.left(std::max(slash, 0)));
    if (parent.isEmpty())
        return -1;
    QString ignored;
    if (leaf == QLatin1String("..") || !isBelow(parent, m_canonical, &ignored)) {
        errno = EXDEV;
        return -1;
    }
    if (leaf.isEmpty() || leaf == QLatin1String("."))
        return ::open(QFile::encodeName(parent).constData(), flags | O_CLOEXEC, mode);
    const QByteArray file = QFile::encodeName(parent + QLatin1Char('/') + leaf);
    return ::open(file.constData(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

int StorageRoot::makeFolder(const QString& relative, bool parents) const
{
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return EEXIST;
    for (int i = parents ? 0 : parts.size() - 1; i < parts.size(); ++i) {
        const bool last = i == parts.size() - 1;
        const int parent = openBelow(QStringList(parts.mid(0, i)).join(QLatin1Char('/')), O_PATH | O_DIRECTORY);
        if (parent < 0)
            return errno;
        const int made = ::mkdirat(parent, QFile::encodeName(parts.at(i)).constData(), 0777);
        const int error = made == 0 ? 0 : errno;
        ::close(parent);
        if (error != 0 && (last || error != EEXIST))
            return error;
    }
    return 0;
}

int openTarget(const FileTarget& target, int flags)
{
    if (!target.root) {
        errno = EACCES;
        return -1;
    }
    return target.root->openBelow(target.relative, flags);
}

QString jsonString(const QString& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{QJsonValue(text)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

QString shownValue(const QString& text)
{
    constexpr int kShown = 64;
    return text.size() > kShown ? jsonString(text.left(kShown)) + QStringLiteral("...") : jsonString(text);
}

QString shownValue(const QJsonValue& value)
{
    if (value.isString())
        return shownValue(value.toString());
    const QByteArray array = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(array.mid(1, array.size() - 2));
}

void logRefused(const QString& what, const QString& shown, const QString& reason)
{
    qInfo().noquote() << QStringLiteral("Refused ") + what + QLatin1Char(' ') + shown + QStringLiteral(": ") + reason;
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

BufferedFile::BufferedFile(std::size_t bufferBytes, std::size_t directBytes)
    : m_bufferBytes(bufferBytes), m_directBytes(directBytes), m_stream(this)
{
}

BufferedFile::~BufferedFile()
{
    close();
}

bool BufferedFile::open(const FileTarget& target)
{
    close();
    if (!m_buffer)
        m_buffer.reset(new char[m_bufferBytes]);
    setp(m_buffer.get(), m_buffer.get() + m_bufferBytes);
    m_stream.clear();
    m_written = 0;
    m_failed = false;
    errno = 0;
    m_fd = openTarget(target, O_WRONLY | O_CREAT | O_EXCL);
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
    setp(m_buffer.get(), m_buffer.get() + m_bufferBytes);
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
    const bool direct = bytes >= m_directBytes || bytes >= m_bufferBytes;
    if (direct || bytes > static_cast<std::size_t>(epptr() - pptr())) {
        if (!writeBuffer())
            return 0;
        if (direct)   // too large to be worth a copy: straight to the file
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
