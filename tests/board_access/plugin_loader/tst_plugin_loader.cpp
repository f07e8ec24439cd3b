// Plugin discovery: which files of boards/ are loaded. A file that does not load
// is checked through the server's start-up (tst_startup).
#include "board_access/plugin_loader.h"
#include "log_capture.h"
#include "script_plugin_fixture.h"

#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

using scriptplugin::ScriptPluginFixture;

namespace {
// Loads the folder; returns the file names of the libraries it added, sorted, and the log lines.
QStringList loadAll(const QString& folder, QStringList* log)
{
    const int first = PluginLoader::libraries().size();
    {
        LogCapture capture;
        PluginLoader::loadAll(folder);
        *log = capture.lines();
    }
    QStringList names;
    const QList<QLibrary*>& libraries = PluginLoader::libraries();
    for (int i = first; i < libraries.size(); ++i)
        names << QFileInfo(libraries.at(i)->fileName()).fileName();
    names.sort();
    return names;
}
}  // namespace

class TestPluginLoader : public QObject {
    Q_OBJECT
private slots:
    void onlyMatchingLibrariesAreLoaded()
    {
        QTemporaryDir dir;
        for (const char* name : {"VRAXDig2.so", "libVRAXDig2.so", "vraxdig2_old.so", "other.so", "VRAXDig2.so.bak"})
            QVERIFY(QFile::copy(ScriptPluginFixture::pluginPath(), dir.filePath(name)));
        QStringList log;
        QCOMPARE(loadAll(dir.path(), &log), (QStringList{"VRAXDig2.so", "libVRAXDig2.so"}));
        QVERIFY(log.isEmpty());
    }

    void aMissingFolderLoadsNothingQuietly()
    {
        QStringList log;
        QCOMPARE(loadAll(QStringLiteral("/nonexistent/boards/"), &log), QStringList());
        QVERIFY(log.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestPluginLoader)
#include "tst_plugin_loader.moc"
