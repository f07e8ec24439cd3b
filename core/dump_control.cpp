#include "core/dump_control.h"

QString DumpSettings::baseName(const QString& blockName, int fileIndex) const
{
    return dump_file::baseName(filePath, runId, blockName, fileIndex);
}

DumpControl::DumpControl(const QString& fileType, const QString& filePath, const QString& runId)
    : m_fileType(fileType), m_filePath(filePath), m_runId(runId)
{
}

void DumpControl::setFileType(const QString& fileType)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fileType = fileType;
}

void DumpControl::setFilePath(const QString& filePath)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filePath = filePath;
}

void DumpControl::setRunId(const QString& runId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_runId = runId;
}

QString DumpControl::runId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runId;
}

void DumpControl::configure(int dumpEvents, const QString& fileType, const QString& filePath)
{
    m_dumpEvents.store(dumpEvents);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fileType = fileType;
    m_filePath = filePath;
}

DumpSettings DumpControl::settings() const
{
    DumpSettings copy;
    copy.status = m_status.load();
    copy.dumpEvents = m_dumpEvents.load();
    copy.dumpTime = m_dumpTime.load();
    std::lock_guard<std::mutex> lock(m_mutex);
    copy.fileType = m_fileType;
    copy.filePath = m_filePath;
    copy.runId = m_runId;
    return copy;
}

bool DumpControl::applyRunCommand(const QString& cmd, const QJsonObject& message)
{
    if (cmd == QLatin1String("set_dump_type"))
        setFileType(message.value(QLatin1String("file_type")).toString());
    else if (cmd == QLatin1String("set_dump_path"))
        setFilePath(message.value(QLatin1String("file_path")).toString());
    else if (cmd == QLatin1String("start_dump"))
        setStatus(DumpRunning);
    else if (cmd == QLatin1String("stop_dump"))
        setStatus(DumpStopped);
    else if (cmd == QLatin1String("pause_dump"))
        setStatus(DumpPaused);
    else
        return false;
    return true;
}

bool DumpControl::applyLimitCommand(const QString& cmd, const QJsonObject& message)
{
    if (cmd == QLatin1String("set_dump_events"))
        setDumpEvents(message.value(QLatin1String("dump_events")).toInt());
    else if (cmd == QLatin1String("set_dump_time"))
        setDumpTime(message.value(QLatin1String("dump_time")).toInt());
    else
        return false;
    return true;
}
