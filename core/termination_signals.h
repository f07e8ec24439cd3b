// Turns SIGINT and SIGTERM into a quit of the event loop, so that the server
// can close its open files properly before it exits.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void onSignalByte();

    QSocketNotifier* m_notifier = nullptr;
};
