#include "call_log.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

QByteArray CallLog::escaped(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (const char c : field) {
        switch (c) {
        case '\t': out += "%09"; break;
        case '\n': out += "%0A"; break;
        case '\r': out += "%0D"; break;
        case '%': out += "%25"; break;
        default: out += c;
        }
    }
    return out;
}

void CallLog::append(std::initializer_list<QByteArray> fields) const
{
    if (!enabled())
        return;
    QByteArray line;
    for (const QByteArray& field : fields) {
        if (!line.isEmpty())
            line += '\t';
        line += escaped(field);
    }
    line += '\n';

    const int fd = ::open(path_.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    const char* data = line.constData();
    int left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= static_cast<int>(written);
    }
    ::close(fd);
}
