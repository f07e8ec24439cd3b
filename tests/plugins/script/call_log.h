// Appends one line per plugin call to the board's log file.
//
// A line is the call's fields joined by tabs and ended by '\n'. Fields are the
// bytes received, verbatim (backslashes included), except four bytes escaped so
// that a line stays one line: tab %09, line feed %0A, carriage return %0D, '%' %25.
// Each line goes out in one write() on a descriptor opened with O_APPEND, so
// lines from concurrent calls never interleave and no lock is needed; the file
// is opened per line so a test may truncate or remove it between phases.
#pragma once

#include <QByteArray>

#include <initializer_list>

class CallLog {
public:
    CallLog() = default;
    explicit CallLog(QByteArray path) : path_(std::move(path)) {}

    bool enabled() const { return !path_.isEmpty(); }
    void append(std::initializer_list<QByteArray> fields) const;

    static QByteArray escaped(const QByteArray& field);

private:
    QByteArray path_;
};
