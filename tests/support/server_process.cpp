#include "server_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>
#include <QThread>

#include <csignal>

ServerProcess::ServerProcess()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("bin/boards"));
    QDir(m_dir.path()).mkpath(QStringLiteral("storage"));
    const QString copy = binDir() + QStringLiteral("/quarix-boards-server");
    QFile::copy(QStringLiteral(QUARIX_SERVER_EXECUTABLE), copy);
    QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner);
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setWorkingDirectory(binDir());
}

ServerProcess::~ServerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString ServerProcess::dir() const
{
    return m_dir.path();
}

QString ServerProcess::binDir() const
{
    return m_dir.path() + QStringLiteral("/bin");
}

QString ServerProcess::storagePath() const
{
    return m_dir.path() + QStringLiteral("/storage");
}

bool ServerProcess::addPlugin(const QString& libraryPath, const QString& fileName)
{
    const QString name = fileName.isEmpty() ? QFileInfo(libraryPath).fileName() : fileName;
    return QFile::copy(libraryPath, binDir() + QStringLiteral("/boards/") + name);
}

bool ServerProcess::addBoardFile(const QString& fileName, const QByteArray& contents)
{
    QFile file(binDir() + QStringLiteral("/boards/") + fileName);
    return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size();
}

QString ServerProcess::writeConfig(const QJsonObject& config, const QString& fileName)
{
    const QString path = m_dir.path() + QLatin1Char('/') + fileName;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(config).toJson());
    return path;
}

bool ServerProcess::start(const QString& configPath, bool waitReady, const QStringList& extraArgs)
{
    QStringList args;
    if (!configPath.isEmpty())
        args << QStringLiteral("-c") << configPath;
    args << extraArgs;
    m_process.start(binDir() + QStringLiteral("/quarix-boards-server"), args);
    if (!m_process.waitForStarted(10000))
        return false;
    return !waitReady || waitForOutput(QStringLiteral("QUARIX IS STARTED AND READY"), 30000);
}

void ServerProcess::collect()
{
    m_output += m_process.readAll();
}

bool ServerProcess::waitForOutput(const QString& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        collect();
        if (QString::fromLocal8Bit(m_output).contains(text))
            return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            collect();
            return QString::fromLocal8Bit(m_output).contains(text);
        }
        m_process.waitForReadyRead(50);
        QCoreApplication::processEvents();
    }
}

int ServerProcess::waitForExit(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_process.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        m_process.waitForFinished(50);
        QCoreApplication::processEvents();
        collect();
    }
    collect();
    if (m_process.state() != QProcess::NotRunning) {
        report(QStringLiteral("still runs after %1 ms").arg(timeoutMs));
        return -1;
    }
    if (m_process.exitStatus() != QProcess::NormalExit) {
        report(QStringLiteral("crashed"));
        return -1;
    }
    return m_process.exitCode();
}

int ServerProcess::terminate(int timeoutMs, int signalNumber)
{
    if (m_process.state() == QProcess::NotRunning)
        return waitForExit(0);
    ::kill(static_cast<pid_t>(m_process.processId()), signalNumber);
    const int status = waitForExit(timeoutMs);
    if (status > 0)
        report(QStringLiteral("ended with status %1 on signal %2").arg(status).arg(signalNumber));
    return status;
}

void ServerProcess::report(const QString& what)
{
    // A server that hangs or crashes in a test run far away is only understood
    // from its own console and, when it still runs, from its threads' stacks.
    QString text = QStringLiteral("Server %1; its console:\n%2").arg(what, output());
    const QString gdb = QStandardPaths::findExecutable(QStringLiteral("gdb"));
    if (m_process.state() != QProcess::NotRunning && !gdb.isEmpty()) {
        QProcess trace;
        trace.setProcessChannelMode(QProcess::MergedChannels);
        trace.start(gdb, {QStringLiteral("-p"), QString::number(m_process.processId()), QStringLiteral("-batch"),
                          QStringLiteral("-ex"), QStringLiteral("thread apply all bt")});
        if (trace.waitForFinished(60000))
            text += QStringLiteral("\nIts threads:\n") + QString::fromLocal8Bit(trace.readAll());
    }
    qWarning().noquote() << text;
}

QString ServerProcess::output()
{
    collect();
    return QString::fromLocal8Bit(m_output);
}

QStringList ServerProcess::outputLines()
{
    QStringList lines = output().split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
