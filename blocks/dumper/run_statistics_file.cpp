#include "blocks/dumper/run_statistics_file.h"

#include "core/dump_file.h"
#include "core/text_builder.h"

#include <QFile>

#include <cerrno>
#include <cstdio>

bool RunStatisticsFile::append(const QString& baseName, bool withHeader, double runningTime, int64_t storedEvents,
                               double eventRate, int64_t usedSpace)
{
    m_fileName = baseName + QLatin1String(".stat");
    TextBuilder line;
    if (withHeader)
        line.append(kHeader).append('\n');
    line.appendGeneral(runningTime).append(',').appendSigned(storedEvents).append(',');
    line.appendGeneral(eventRate).append(',').appendSigned(usedSpace).append('\n');

    errno = 0;
    std::FILE* file = std::fopen(QFile::encodeName(m_fileName).constData(), "ab");
    if (!file) {
        m_errno = errno != 0 ? errno : EIO;
        return false;
    }
    std::fwrite(line.str().data(), 1, line.size(), file);
    std::fclose(file);
    m_errno = 0;
    return true;
}
