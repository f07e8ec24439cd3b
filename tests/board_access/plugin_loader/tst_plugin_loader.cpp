// Plugin discovery: which files of boards/ are loaded, and what a bad one logs.
#include "board_access/plugin_loader.h"
#include "script_plugin_fixture.h"

#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

using scriptplugin::ScriptPluginFixture;

namespace {
QStringList g_log;
void captureLog(QtMsgType, const QMessageLogContext&, const QString& text)
{
    g_log.append(text);
}

QStringList loadedNamesSince(int first)
{
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
        const int before = PluginLoader::libraries().size();
        g_log.clear();
        auto previous = qInstallMessageHandler(captureLog);
        PluginLoader::loadAll(dir.path());
        qInstallMessageHandler(previous);
        QCOMPARE(loadedNamesSince(before), (QStringList{"VRAXDig2.so", "libVRAXDig2.so"}));
        QVERIFY(g_log.isEmpty());
    }

    void aBrokenLibraryIsLoggedAndLoadingGoesOn()
    {
        QTemporaryDir dir;
        QFile broken(dir.filePath("libVRAXDig2Broken.so"));
        QVERIFY(broken.open(QIODevice::WriteOnly));
        broken.write("this is not a shared library");
        broken.close();
        QVERIFY(QFile::copy(ScriptPluginFixture::pluginPath(), dir.filePath("libVRAXDig2Good.so")));
        const int before = PluginLoader::libraries().size();
        g_log.clear();
        auto previous = qInstallMessageHandler(captureLog);
        PluginLoader::loadAll(dir.path());
        qInstallMessageHandler(previous);
        QCOMPARE(loadedNamesSince(before), QStringList{"libVRAXDig2Good.so"});
        QCOMPARE(g_log.size(), 3);
        QCOMPARE(g_log.at(0), QStringLiteral("Unable to load plugin:  \"libVRAXDig2Broken.so\""));
        QVERIFY(g_log.at(1).startsWith(QStringLiteral("Error:   \"")));
        QVERIFY(g_log.at(1).size() > 12);   // the loader's own reason follows
        QCOMPARE(g_log.at(2), QStringLiteral("Execution terminated"));
    }

    void aMissingFolderLoadsNothingQuietly()
    {
        const int before = PluginLoader::libraries().size();
        g_log.clear();
        auto previous = qInstallMessageHandler(captureLog);
        PluginLoader::loadAll(QStringLiteral("/nonexistent/boards/"));
        qInstallMessageHandler(previous);
        QCOMPARE(PluginLoader::libraries().size(), before);
        QVERIFY(g_log.isEmpty());
    }

    void baseNameDropsEverythingFromTheFirstDot()
    {
        QTemporaryDir dir;
        QVERIFY(QFile::copy(ScriptPluginFixture::pluginPath(), dir.filePath("libVRAXDig2.old.so")));
        const int before = PluginLoader::libraries().size();
        PluginLoader::loadAll(dir.path());
        QCOMPARE(PluginLoader::libraries().size(), before + 1);
        QCOMPARE(PluginLoader::baseName(PluginLoader::libraries().last()), QStringLiteral("libVRAXDig2"));
    }
};

QTEST_GUILESS_MAIN(TestPluginLoader)
#include "tst_plugin_loader.moc"
