// SIGTERM or SIGINT (Ctrl+C) in the middle of a recorded run: the server
// closes every open data file properly and exits with status 0.
#include "server_process.h"
#include "ws_client.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestShutdownClosesFiles : public QObject {
    Q_OBJECT
private slots:
    void aRunInterruptedByASignalLeavesCompleteJsonFiles_data()
    {
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }

    void aRunInterruptedByASignalLeavesCompleteJsonFiles()
    {
        QFETCH(int, signalNumber);
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/quarix_config_qdcpos.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
        QJsonObject storage = config.value("storage").toObject();
        storage.insert("file_path", server.storagePath());
        storage.insert("format", "JSON");
        config.insert("storage", storage);
        QVERIFY(server.start(server.writeConfig(config)));

        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        QCOMPARE(commands.request(R"({"cmd":"start_dump","run_id":"3"})"), QStringLiteral("[{\"response\": true}]"));
        const QString run = server.storagePath() + QStringLiteral("/3/");
        // Wait until every writer has opened its file and written into it.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(run + "list_dump_0.json").size() > 1000 &&
                                     QFileInfo(run + "oscilloscope_0.json").size() > 100 &&
                                     QFileInfo(run + "rates_0.json").size() > 100,
                                 20000);
        QCOMPARE(server.terminate(20000, signalNumber), 0);
        QVERIFY(server.output().contains(QStringLiteral("Signal %1 received").arg(signalNumber)));

        for (const char* name : {"list_dump_0.json", "oscilloscope_0.json", "rates_0.json"}) {
            QFile data(run + name);
            QVERIFY(data.open(QIODevice::ReadOnly));
            const QByteArray bytes = data.readAll();
            QVERIFY2(bytes.startsWith('[') && bytes.endsWith(']'), name);
            QJsonParseError error;
            const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
            QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(QString(name) + ": " + error.errorString()));
            QVERIFY2(!document.array().isEmpty(), name);
        }
    }
};

QTEST_GUILESS_MAIN(TestShutdownClosesFiles)
#include "tst_shutdown_closes_files.moc"
