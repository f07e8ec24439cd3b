// Plugin discovery: which files of boards/ are loaded, and what a bad one logs.
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

    void aBrokenLibraryIsLoggedAndLoadingGoesOn()
    {
        QTemporaryDir dir;
        QFile broken(dir.filePath("libVRAXDig2Broken.so"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("this is not a shared library");
        broken.close();
        QVERIFY(QFile::copy(ScriptPluginFixture::pluginPath(), dir.filePath("libVRAXDig2Good.so")));
        QStringList log;
        QCOMPARE(loadAll(dir.path(), &log), QStringList{"libVRAXDig2Good.so"});
        QCOMPARE(log.size(), 3);
        QCOMPARE(log.at(0), QStringLiteral("Unable to load plugin:  \"libVRAXDig2Broken.so\""));
        QVERIFY(log.at(1).startsWith(QStringLiteral("Error:   \"")));
        QVERIFY(log.at(1).size() > 12);   // the loader's own reason follows
        QCOMPARE(log.at(2), QStringLiteral("Execution terminated"));
    }

    void aMissingFolderLoadsNothingQuietly()
    {
        QStringList log;
        QCOMPARE(loadAll(QStringLiteral("/nonexistent/boards/"), &log), QStringList());
        QVERIFY(log.isEmpty());
    }

    void baseNameDropsEverythingFromTheFirstDot()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(ScriptPluginFixture::pluginPath(), dir.filePath("libVRAXDig2.old.so")));
        QStringList log;
        QCOMPARE(loadAll(dir.path(), &log).size(), 1);
        QCOMPARE(PluginLoader::baseName(PluginLoader::libraries().last()), QStringLiteral("libVRAXDig2"));
    }
};

QTEST_GUILESS_MAIN(TestPluginLoader)
#include "tst_plugin_loader.moc"
