// LogCapture: records the log lines written while it exists, from any thread
// (block workers and source threads log from their own threads).
//
//     LogCapture log;
//     ... run the code under test ...
//     QTRY_VERIFY(log.contains("Order buffer full!"));
//     QCOMPARE(log.count("Discrding energy"), 2);
//
// Only one capture may exist at a time; lines are kept without a line end.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every line, or only those of one message type (QtInfoMsg, QtDebugMsg, ...).
    QStringList lines() const;
    QStringList lines(QtMsgType type) const;
    bool contains(const QString& line) const { return lines().contains(line); }
    int count(const QString& line) const { return lines().count(line); }
    void clear();

private:
    static void record(QtMsgType type, const QMessageLogContext& context, const QString& text);

    QtMessageHandler m_previous = nullptr;
};
