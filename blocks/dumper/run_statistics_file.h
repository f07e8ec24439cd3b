// The statistics file beside a list-event data file (its base name + ".stat"):
// one line per statistics interval, after a header line once per data file.
// The file is opened in append mode and closed again for every line, so an
// external reader always sees whole lines.
#pragma once

#include <QString>

#include <cstdint>

class RunStatisticsFile {
public:
    static constexpr const char* kHeader = "RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte";

    // Appends "running_time,stored_events,event_rate,used_space" (the header
    // line first when asked). False when the file cannot be opened.
    bool append(const QString& baseName, bool withHeader, double runningTime, int64_t storedEvents,
                double eventRate, int64_t usedSpace);

    const QString& fileName() const { return m_fileName; }
    int errorNumber() const { return m_errno; }

private:
    QString m_fileName;
    int m_errno = 0;
};
