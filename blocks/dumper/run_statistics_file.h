// The statistics file beside a list-event data file (its base name + ".stat"):
// one line per statistics interval, after a header line once per data file.
// The file is opened in append mode and closed again for every line, so an
// external reader always sees whole lines. The header line creates the file
// new: an existing file of that name is never written to.
#pragma once

#include "blocks/common/dump_file.h"

#include <QString>

#include <cstdint>

class RunStatisticsFile {
public:
    static constexpr const char* kHeader = "RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte";

    // Appends "running_time,stored_events,event_rate,used_space" (the header
    // line first when asked, in a file that must not exist yet). False when
    // the file cannot be opened (errorNumber() EEXIST when a header line
    // finds the name taken).
    bool append(const dump_file::FileTarget& base, bool withHeader, double runningTime, int64_t storedEvents,
                double eventRate, int64_t usedSpace);

    const QString& fileName() const { return m_fileName; }
    int errorNumber() const { return m_errno; }

private:
    QString m_fileName;
    int m_errno = 0;
};
