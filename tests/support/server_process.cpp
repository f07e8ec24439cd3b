#include "server_process.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

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

bool ServerProcess::addPlugin(const QString& libraryPath, const QString& fileName)
{
    const QString name = fileName.isEmpty() ? QFileInfo(libraryPath).fileName() : fileName;
    return QFile::copy(libraryPath, binDir() + QStringLiteral("/boards/") + name);
}

namespace {
// Writes a file, making its folder first.
bool writeFile(const QString& path, const QByteArray& contents)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(contents) == contents.size();
}
}  // namespace

bool ServerProcess::addBoardFile(const QString& fileName, const QByteArray& contents)
{
    return writeFile(binDir() + QStringLiteral("/boards/") + fileName, contents);
}

bool ServerProcess::addDashboardFile(const QString& relativePath, const QByteArray& contents)
{
    return writeFile(binDir() + QStringLiteral("/dashboard/") + relativePath, contents);
}

QString ServerProcess::writeConfig(const QJsonObject& config, const QString& fileName)
{
    const QString path = m_dir.path() + QLatin1Char('/') + fileName;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(QJsonDocument(config).toJson());
    return path;
}

QJsonObject ServerProcess::demoConfig() const
{
    QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/quarix_config_qdcpos.json"));
    file.open(QIODevice::ReadOnly);
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject storage = config.value("storage").toObject();
    storage.insert("file_path", storagePath());
    config.insert("storage", storage);
    // The first element of the digitizer's first group is its event rate per channel.
    QJsonArray hardware = config.value("Hardware").toArray();
    QJsonObject digitizer = hardware.at(0).toObject();
    QJsonArray groups = digitizer.value("configs").toArray();
    QJsonObject group = groups.at(0).toObject();
    QJsonArray elements = group.value("elements").toArray();
    QJsonObject rate = elements.at(0).toObject();
    rate.insert("value", "500");
    elements.replace(0, rate);
    group.insert("elements", elements);
    groups.replace(0, group);
    digitizer.insert("configs", groups);
    hardware.replace(0, digitizer);
    config.insert("Hardware", hardware);
    return config;
}

bool ServerProcess::start(const QString& configPath, bool waitReady, const QStringList& extraArgs)
{
    QStringList args;
    if (!configPath.isEmpty())
        args << QStringLiteral("-c") << configPath;
    m_process.start(binDir() + QStringLiteral("/quarix-boards-server"), args + extraArgs);
    if (!m_process.waitForStarted(10000))
        return false;
    if (!waitReady || waitForOutput(QStringLiteral("QUARIX IS STARTED AND READY"), 30000))
        return true;
    qWarning().noquote() << "Server did not start; its console:\n" << output();
    return false;
}

bool ServerProcess::waitForOutput(const QString& text, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        if (output().contains(text))
            return true;
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return output().contains(text);
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
    }
    if (m_process.state() != QProcess::NotRunning || m_process.exitStatus() != QProcess::NormalExit) {
        // A server that hangs or crashes in a run far away is only understood from its console.
        qWarning().noquote() << "Server hangs or crashed; its console:\n" << output();
        return -1;
    }
    return m_process.exitCode();
}

int ServerProcess::terminate(int timeoutMs, int signalNumber)
{
    if (m_process.state() != QProcess::NotRunning)
        ::kill(static_cast<pid_t>(m_process.processId()), signalNumber);
    const int status = waitForExit(timeoutMs);
    if (status > 0)   // a signal ends the server with 0; sanitizer findings end it with 66
        qWarning().noquote() << "Server ended with status" << status << "; its console:\n" << output();
    return status;
}

QString ServerProcess::output()
{
    m_output += m_process.readAll();
    return QString::fromLocal8Bit(m_output);
}
