// The configuration watcher: every change of the file re-applies the stored
// configuration of each opened board that an element names, also after the
// file was saved by rename or deleted and written anew.
#include "board_access/board.h"
#include "core/application/file_watcher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QByteArray configText(const QString& board, const QString& gain)
{
    const QJsonObject gainParameter{{"name", "Gain"}, {"path", "\\par\\Gain"}, {"value_type", "u32"}, {"value", gain}};
    const QJsonObject entry{{"board_name", board}, {"configs", QJsonArray{QJsonObject{{"elements", QJsonArray{gainParameter}}}}}};
    return QJsonDocument(QJsonObject{{"Hardware", QJsonArray{entry}}}).toJson();
}
}  // namespace

class TestFileWatcher : public QObject {
    Q_OBJECT
private slots:
    void reappliesTheFileAfterEveryKindOfSave()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("quarix_config.json");
        auto write = [&](const QByteArray& text) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size());
        };
        Board b1, b2;
        b1.name = "B1";
        b2.name = "B2";
        auto gain = [](const Board& board) { return board.parameters.isEmpty() ? QString() : board.parameters.first().value; };
        write(configText("B1", "1"));
        FileWatcher watcher({&b1, &b2});
        QVERIFY(watcher.addPath(path));

        write(configText("B1", "7"));   // edited in place
        QTRY_COMPARE(gain(b1), QStringLiteral("7"));
        QCOMPARE(gain(b2), QString());   // not named

        QSaveFile renamed(path);         // a new file renamed over the old one
        QVERIFY(renamed.open(QIODevice::WriteOnly));
        renamed.write(configText("B1", "8"));
        QVERIFY(renamed.commit());
        QTRY_COMPARE(gain(b1), QStringLiteral("8"));

        QVERIFY(QFile::remove(path));    // deleted, then written anew
        QTest::qWait(50);
        write(configText("B2", "9"));
        QTRY_COMPARE(gain(b2), QStringLiteral("9"));
        QCOMPARE(gain(b1), QStringLiteral("8"));
        write(configText("B1", "10"));   // and still followed
        QTRY_COMPARE(gain(b1), QStringLiteral("10"));
    }
};

QTEST_GUILESS_MAIN(TestFileWatcher)
#include "tst_file_watcher.moc"
