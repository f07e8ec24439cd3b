#include "core/file_watcher.h"

#include "board_access/board.h"
#include "core/config_file.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonObject>

FileWatcher::FileWatcher(const QList<Board*>& boards)
    : QFileSystemWatcher(), m_boards(boards), m_watcher(new QFileSystemWatcher(this))
{
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &FileWatcher::fileChanged);
}

bool FileWatcher::addPath(const QString& path)
{
    return m_watcher->addPath(path);
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
            qInfo() << " ---- RECONFIG BOARD: " << board->name << " ----";
            board->LoadConfigs(entry);
            board->ConfigureBoard();
        }
    }
}
