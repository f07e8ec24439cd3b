// Follows the configuration file while the server runs: at every change it
// re-reads the "Hardware" section and re-applies the stored configuration of
// each opened board that an element names (LoadConfigs, then ConfigureBoard).
// Chains, plugins and connections are not touched; they change at the next start.
//
//   auto* watcher = new FileWatcher(boards);
//   watcher->addPath(configPath);
//
// The path is watched by an inner watcher owned by this object. It is added
// again after every notification, because an editor that saves by renaming a
// new file over the old one ends the watch of the old file. The folder that
// holds it is watched too: a file deleted and then written anew is followed
// again as soon as it reappears.
#pragma once

#include <QFileSystemWatcher>
#include <QList>
#include <QString>

class Board;

class FileWatcher : public QFileSystemWatcher {
    Q_OBJECT
public:
    explicit FileWatcher(const QList<Board*>& boards);

    // Watches the path with the inner watcher (hides QFileSystemWatcher::addPath).
    bool addPath(const QString& path);

private slots:
    void fileChanged(QString path);
    void folderChanged();

private:
    QString m_path;
    QList<Board*> m_boards;
    QFileSystemWatcher* m_watcher;
};
