#include "core/application/file_watcher.h"

#include "board_access/board.h"
#include "core/config_file.h"
#include "core/progress_log.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>

FileWatcher::FileWatcher(const QList<Board*>& boards)
    : QFileSystemWatcher(), m_boards(boards), m_watcher(new QFileSystemWatcher(this))
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &FileWatcher::fileChanged);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &FileWatcher::folderChanged);
}

bool FileWatcher::addPath(const QString& path)
{
    m_path = path;
    m_watcher->addPath(QFileInfo(path).absolutePath());
    return m_watcher->addPath(path);
}

void FileWatcher::folderChanged()
{
    // Only a file that came back after being deleted is new here; a watched
    // file reports its own changes.
    if (m_path.isEmpty() || m_watcher->files().contains(m_path) || !QFileInfo::exists(m_path))
        return;
    fileChanged(m_path);
}

void FileWatcher::fileChanged(QString path)
{
    // A file replaced by a rename is no longer watched; follow the new one.
    if (!m_watcher->files().contains(path))
        m_watcher->addPath(path);

    // A file missing or half written during a save parses as nothing; the
    // next notification tries again.
    const QJsonArray hardware = config_file::read(path).value(QLatin1String("Hardware")).toArray();
    for (const QJsonValue& element : hardware) {
        const QJsonObject entry = element.toObject();
        const QString boardName = entry.value(QLatin1String("board_name")).toString();
        for (Board* board : qAsConst(m_boards)) {
            if (board->name != boardName)
                continue;
            qCInfo(quarixProgress) << " ---- RECONFIG BOARD: " << board->name << " ----";
            board->LoadConfigs(entry);
            board->ConfigureBoard();
        }
    }
}
