#include "blocks/common/dump_control.h"

#include "core/block_message.h"

#include <cmath>

namespace {
const char* const kFalse = "[{\"response\": false}]";

// The value as an int when it is a JSON number, whole, from min to max.
bool wholeNumber(const QJsonValue& value, int min, int max, int* number)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::floor(d) || d < min || d > max)
        return false;
    *number = static_cast<int>(d);
    return true;
}
}  // namespace

QString DumpSettings::baseName(const QString& blockName, int fileIndex) const
{
    return dump_file::baseName(filePath, runId, blockName, fileIndex);
}

dump_file::FileTarget DumpSettings::target(const QString& blockName, int fileIndex) const
{
    const QString below = runId + QLatin1Char('/') + blockName + QLatin1Char('_') + QString::number(fileIndex);
    return dump_file::FileTarget{root, relativeFolder.isEmpty() ? below : relativeFolder + QLatin1Char('/') + below,
                                 baseName(blockName, fileIndex)};
}

DumpControl::DumpControl(const QString& fileType, const QString& runId, const QString& storagePath)
    : m_fileType(fileType), m_filePath(storagePath), m_runId(runId), m_root(dump_file::StorageRoot::open(storagePath))
{
}

void DumpControl::setFileType(const QString& fileType)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fileType = fileType;
}

bool DumpControl::setFilePath(const QString& filePath)
{
    std::shared_ptr<const dump_file::StorageRoot> root;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        root = m_root;
    }
    // Resolved outside the lock: it asks the file system.
    QString relative;
    if (!root || !root->contains(filePath, &relative)) {
        const QString reason = root ? QStringLiteral("it is not inside the storage folder ")
                                          + dump_file::jsonString(root->path())
                                    : QStringLiteral("no storage folder is known");
        dump_file::logRefused(QStringLiteral("folder"), dump_file::shownValue(filePath), reason);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filePath = filePath;
    m_relativeFolder = relative;
    return true;
}

bool DumpControl::setRunId(const QString& runId)
{
    QString reason;
    if (!dump_file::isValidRunId(runId, &reason)) {
        dump_file::logRefused(QStringLiteral("run id"), dump_file::shownValue(runId), reason);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_runId = runId;
    return true;
}

QString DumpControl::runId() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_runId;
}

void DumpControl::configure(int dumpEvents, const QString& fileType, const QString& filePath)
{
    m_dumpEvents.store(dumpEvents);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_fileType = fileType;
        if (!m_root)
            m_root = dump_file::StorageRoot::open(filePath);
    }
    setFilePath(filePath);
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
    copy.relativeFolder = m_relativeFolder;
    copy.runId = m_runId;
    copy.root = m_root;
    return copy;
}

DumpControl::Reply DumpControl::applyRunCommand(const QString& cmd, const QJsonObject& message)
{
    if (cmd == QLatin1String("set_dump_type"))
        setFileType(message.value(QLatin1String("file_type")).toString());
    else if (cmd == QLatin1String("set_dump_path"))
        return setFilePath(message.value(QLatin1String("file_path")).toString()) ? Reply::Accepted : Reply::Refused;
    else if (cmd == QLatin1String("start_dump"))
        setStatus(DumpRunning);
    else if (cmd == QLatin1String("stop_dump"))
        setStatus(DumpStopped);
    else if (cmd == QLatin1String("pause_dump"))
        setStatus(DumpPaused);
    else
        return Reply::NotMine;
    return Reply::Accepted;
}

DumpControl::Reply DumpControl::applyLimitCommand(const QString& cmd, const QJsonObject& message)
{
    const bool events = cmd == QLatin1String("set_dump_events");
    if (!events && cmd != QLatin1String("set_dump_time"))
        return Reply::NotMine;
    const QString key = events ? QStringLiteral("dump_events") : QStringLiteral("dump_time");
    const int min = events ? kMinDumpEvents : kMinDumpTime;
    const int max = events ? kMaxDumpEvents : kMaxDumpTime;
    const QJsonValue value = message.value(key);
    int number = 0;
    if (!wholeNumber(value, min, max, &number)) {
        dump_file::logRefused(key, dump_file::shownValue(value),
                              QStringLiteral("a whole number from %1 to %2 is needed").arg(min).arg(max));
        return Reply::Refused;
    }
    if (events)
        setDumpEvents(number);
    else
        setDumpTime(number);
    return Reply::Accepted;
}

QLatin1String DumpControl::replyText(Reply reply)
{
    switch (reply) {
    case Reply::Accepted:
        return QLatin1String(block_message::kTrue);
    case Reply::Refused:
        return QLatin1String(kFalse);
    case Reply::NotMine:
        break;
    }
    return QLatin1String("");
}
