#include "blocks/dumper/run_statistics_file.h"

#include "core/text_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

bool RunStatisticsFile::append(const dump_file::FileTarget& base, bool withHeader, double runningTime,
                               int64_t storedEvents, double eventRate, int64_t usedSpace)
{
    const dump_file::FileTarget target = base.withSuffix(".stat");
    m_fileName = target.name;
    TextBuilder line;
    if (withHeader)
        line.append(kHeader).append('\n');
    line.appendGeneral(runningTime).append(',').appendSigned(storedEvents).append(',');
    line.appendGeneral(eventRate).append(',').appendSigned(usedSpace).append('\n');

    errno = 0;
    const int flags = withHeader ? O_WRONLY | O_CREAT | O_EXCL | O_APPEND : O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW;
    const int fd = dump_file::openTarget(target, flags);
    if (fd < 0) {
        m_errno = errno != 0 ? errno : EIO;
        return false;
    }
    const char* data = line.str().data();
    size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= static_cast<size_t>(written);
    }
    ::close(fd);
    m_errno = 0;
    return true;
}
