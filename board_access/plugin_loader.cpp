#include "board_access/plugin_loader.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

namespace {
// Libraries stay loaded until the process ends. The list is never destroyed,
// so it (and the library objects it points to) stays reachable at exit.
QList<QLibrary*>& libraryList()
{
    static QList<QLibrary*>* const list = new QList<QLibrary*>();
    return *list;
}

#if defined(Q_OS_WIN)
const char* const kNameFilter = "*.dll";
#elif defined(Q_OS_MACOS)
const char* const kNameFilter = "*.dylib";
#else
const char* const kNameFilter = "*.so";
#endif
}  // namespace

namespace PluginLoader {

QString defaultFolder()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/boards/");
}

void loadAll(const QString& folder)
{
    const QDir dir(folder);
    const QStringList names = dir.entryList(QStringList{QLatin1String(kNameFilter)}, QDir::Files, QDir::NoSort);
    for (const QString& fileName : names) {
        if (!fileName.startsWith(QLatin1String("VRAXDig2")) && !fileName.startsWith(QLatin1String("libVRAXDig2")))
            continue;
        auto* library = new QLibrary(folder + QLatin1Char('/') + fileName);
        if (library->load()) {
            libraryList().append(library);
            continue;
        }
        qInfo() << "Unable to load plugin: " << fileName;
        qInfo() << "Error:  " << library->errorString();
        qInfo() << "Execution terminated";
        delete library;
    }
}

const QList<QLibrary*>& libraries()
{
    return libraryList();
}

QString baseName(const QLibrary* library)
{
    const QString fileName = QFileInfo(library->fileName()).fileName();
    const int dot = fileName.indexOf(QLatin1Char('.'));
    return dot < 0 ? fileName : fileName.left(dot);
}

}  // namespace PluginLoader
