// The server's console log: every thread's qDebug/qInfo/qWarning line goes
// into a bounded queue, and one thread of its own writes the queue to
// standard error. A thread that logs never waits for the console (a slow
// terminal, a full pipe), so neither the data path nor the replies slow down
// when a block logs at board speed. Past kQueueBytes of unwritten text, lines
// are dropped and counted, and the writer says so once it catches up:
// "Console log: N lines dropped". Fatal messages are written at once.
//
// Quiet, the log leaves out the routine progress lines (the category
// quarix.progress, core/progress_log.h: parameters set, boards connected,
// waveform reads, statistics ticks) and keeps every other line: warnings,
// problems, and the start, ready, dashboard and closing lines.
//
//     ConsoleLog log;      // in main(), before anything logs
//     ...
//     log.stop();          // writes what is queued; later lines go straight to the console
#pragma once

#include <QtGlobal>

class ConsoleLog {
public:
    static constexpr qsizetype kQueueBytes = 4 << 20;

    ConsoleLog();
    ~ConsoleLog();
    ConsoleLog(const ConsoleLog&) = delete;
    ConsoleLog& operator=(const ConsoleLog&) = delete;

    void stop();

    // Switches the progress lines off (quiet) or on (the default), for every
    // thread; called before the threads that log start.
    static void setQuiet(bool quiet);
};
