// Turns SIGINT and SIGTERM into an event of the event loop, so that the server
// can close its open files properly before it exits.
//
// The signals are never handled by an interrupt handler: blockInEveryThread()
// runs first in main(), before any thread exists (board plugins start their
// own threads when a board is opened), so every thread inherits the blocked
// mask and a signal waits in the process until the event loop reads it from a
// signalfd. No thread is interrupted at a random point, and a signal cannot be
// held back by a thread that sleeps for long.
//
// A signal that arrives during the start-up is read as soon as the event loop
// runs: the server then ends at once.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Blocks SIGINT and SIGTERM in the calling thread and every thread it starts later.
    static void blockInEveryThread();

    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void onReadable();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
};
