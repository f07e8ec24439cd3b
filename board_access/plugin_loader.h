// Finds and loads the board plugin libraries of the boards/ folder beside the
// executable. Loaded libraries are kept for the life of the process.
//
//     PluginLoader::loadAll(PluginLoader::defaultFolder());
//     for (QLibrary* library : PluginLoader::libraries()) ...
#pragma once

#include <QList>
#include <QString>

class QLibrary;

namespace PluginLoader {

// The application's folder followed by "/boards/".
QString defaultFolder();

// Loads every regular file of the folder whose name matches the platform's
// shared-library suffix and begins with "VRAXDig2" or "libVRAXDig2", in listing
// order. A file that does not load is logged and skipped.
void loadAll(const QString& folder);

// The process-wide list of loaded plugin libraries, in load order.
const QList<QLibrary*>& libraries();

// The file's base name: no folder, and nothing from the first dot on.
QString baseName(const QLibrary* library);

}  // namespace PluginLoader
