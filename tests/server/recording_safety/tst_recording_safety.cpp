// Recording safety through the real server on the demo configuration and
// real WebSocket clients: hostile run ids and folders are refused and leave
// nothing outside the storage folder, a stopped run's files are never
// rewritten, bad numbers are refused, and the run information stays JSON.
#include "server_process.h"
#include "ws_client.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cstring>
#include <map>

namespace {
const QString kTrue = QStringLiteral("[{\"response\": true}]");
const QString kFalse = QStringLiteral("[{\"response\": false}]");
const QString kExistingFolder = QStringLiteral("[{\"response\": \"Existing Folder\"}]");
const QString kRates = QStringLiteral("processing/0/filter_chain/rates/chain/rates");

QString json(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QString command(const QString& cmd, const QString& key = QString(), const QJsonValue& value = QJsonValue())
{
    QJsonObject message{{"cmd", cmd}};
    if (!key.isEmpty())
        message.insert(key, value);
    return json(message);
}

// A rate-sink message: the command in "args", the setting at the top level.
QString rateCommand(const QString& cmd, const QString& key, const QString& value)
{
    return json(QJsonObject{{"path", kRates}, {"args", QJsonArray{QJsonObject{{"cmd", cmd}}}}, {key, value}});
}

// The demo configuration with the test's storage folder and a lower event rate.
QJsonObject demoConfig(const QString& storage)
{
    QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/quarix_config_qdcpos.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject storageObject = config.value("storage").toObject();
    storageObject.insert("file_path", storage);
    config.insert("storage", storageObject);
    QJsonArray hardware = config.value("Hardware").toArray();
    QJsonObject digitizer = hardware.at(0).toObject();
    QJsonArray groups = digitizer.value("configs").toArray();
    QJsonObject group = groups.at(0).toObject();
    QJsonArray elements = group.value("elements").toArray();
    QJsonObject rate = elements.at(0).toObject();
    rate.insert("value", "500");
    elements.replace(0, rate);
    group.insert("elements", elements);
    groups.replace(0, group);
    digitizer.insert("configs", groups);
    hardware.replace(0, digitizer);
    config.insert("Hardware", hardware);
    return config;
}

// Every entry below `folder` (symbolic links not followed) with the hash of a file's bytes.
std::map<QString, QByteArray> tree(const QString& folder)
{
    std::map<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        QByteArray hash = "-";
        if (!it.fileInfo().isSymLink() && it.fileInfo().isFile() && file.open(QIODevice::ReadOnly))
            hash = QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
        entries[path] = hash;
    }
    return entries;
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}
}  // namespace

class TestRecordingSafety : public QObject {
    Q_OBJECT
private:
    ServerProcess m_server;
    WsClient m_commands, m_dumper, m_scope, m_query;
    std::map<QString, QByteArray> m_stoppedRun;   // the files of the stopped run r1

    QString outside() const { return m_server.dir() + "/outside"; }
    QString run(const QString& id) const { return m_server.storagePath() + '/' + id; }
    WsClient& client(const QString& route)
    {
        return route == "commands" ? m_commands : route == "list_dump" ? m_dumper : route == "oscilloscope" ? m_scope : m_query;
    }
    // The files of a run once the writers have closed them (no change for 700 ms).
    std::map<QString, QByteArray> settledFiles(const QString& id)
    {
        std::map<QString, QByteArray> before = tree(run(id));
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(700);
            std::map<QString, QByteArray> now = tree(run(id));
            if (now == before)
                return now;
            before = now;
        }
        return {};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        const QJsonObject config = demoConfig(m_server.storagePath());
        QVERIFY(!config.isEmpty());
        // A folder beside the storage folder holding a file, and a link to it from inside.
        QVERIFY(QDir().mkpath(outside()));
        QFile precious(outside() + "/precious.txt");
        QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("recorded yesterday\n") > 0);
        precious.close();
        QVERIFY(QFile::link(outside(), m_server.storagePath() + "/link"));
        QVERIFY(m_server.start(m_server.writeConfig(config)));
        QVERIFY(m_commands.connectTo("commands") && m_dumper.connectTo("list_dump") && m_scope.connectTo("oscilloscope")
                && m_query.connectTo("query_by_json"));
    }

    void cleanupTestCase() { QCOMPARE(m_server.terminate(), 0); }

    void hostileRunIdsAndFoldersAreRefused_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("log");   // the start of the line that says why

        const QString runId = QStringLiteral("Refused run id ");
        const QString folder = QStringLiteral("Refused folder \"%1\"");
        const QString precious = QStringLiteral("../outside/precious.txt") + QChar(0);
        const QString longId(10000, 'a');
        QTest::newRow("../outside/x") << "commands" << command("start_dump", "run_id", "../outside/x") << kFalse
                                      << runId + "\"../outside/x\"";
        QTest::newRow("trailing NUL") << "commands" << command("start_dump", "run_id", precious) << kFalse
                                      << runId + "\"../outside/precious.txt\\u0000\"";
        QTest::newRow("newline") << "commands" << command("start_dump", "run_id", "r\nx") << kFalse << runId + "\"r\\nx\"";
        QTest::newRow("10000 characters") << "commands" << command("start_dump", "run_id", longId) << kFalse
                                          << runId + '"' + QString(64, 'a') + "\"...";
        QTest::newRow(".") << "commands" << command("start_dump", "run_id", ".") << kFalse << runId + "\".\"";
        QTest::newRow("..") << "commands" << command("start_dump", "run_id", "..") << kFalse << runId + "\"..\"";
        QTest::newRow("absolute path") << "commands" << command("start_dump", "run_id", "<dir>/outside/abs") << kFalse
                                       << runId + "\"<dir>/outside/abs\"";
        QTest::newRow("link to outside as run id") << "commands" << command("start_dump", "run_id", "link")
                                                   << kExistingFolder << QString();
        QTest::newRow("rate sink run id") << "query_by_json" << rateCommand("start_dump", "run_id", "../outside")
                                          << kFalse << runId + "\"../outside\"";
        QTest::newRow("rate sink folder") << "query_by_json" << rateCommand("set_dump_path", "file_path", "<dir>/outside")
                                          << kFalse << folder.arg("<dir>/outside");
        QTest::newRow("dumper folder through the link")
            << "list_dump" << command("set_dump_path", "file_path", "<dir>/storage/link") << kFalse
            << folder.arg("<dir>/storage/link");
        QTest::newRow("oscilloscope folder ..") << "oscilloscope" << command("set_dump_path", "file_path", "<dir>/storage/..")
                                                << kFalse << folder.arg("<dir>/storage/..");
        QTest::newRow("dumper relative folder") << "list_dump" << command("set_dump_path", "file_path", "../outside")
                                                << kFalse << folder.arg("../outside");
    }

    void hostileRunIdsAndFoldersAreRefused()
    {
        QFETCH(QString, route);
        QFETCH(QString, message);
        QFETCH(QString, reply);
        QFETCH(QString, log);
        // "<dir>" stands for the server's temporary folder, which holds bin/, storage/ and outside/.
        message.replace("<dir>", m_server.dir());
        log.replace("<dir>", m_server.dir());
        const std::map<QString, QByteArray> before = tree(m_server.dir());

        QCOMPARE(client(route).request(message), reply);
        if (!log.isEmpty())
            QVERIFY2(m_server.waitForOutput(log + ": ", 5000), qPrintable(m_server.output().right(2000)));
        QTest::qWait(300);   // time for a writer that was wrongly started to create its files
        QVERIFY(tree(m_server.dir()) == before);
    }

    // Run r1 is recorded for a few seconds and stopped; its files are kept for the next test.
    void aRunIsRecordedAndStopped()
    {
        QCOMPARE(m_commands.request(command("start_dump", "run_id", "r1")), kTrue);
        // The statistics line after a second, then time for a waveform record.
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(run("r1") + "/list_dump_0.stat"), 10000);
        QTest::qWait(1500);
        QCOMPARE(m_commands.request(command("stop_dump")), kTrue);
        m_stoppedRun = settledFiles("r1");
        for (const char* name : {"list_dump_0.bin", "list_dump_0.stat", "oscilloscope_0.bin", "rates_0.bin"})
            QVERIFY2(bytesOf(run("r1") + '/' + name).size() > 16, name);
        QCOMPARE(m_stoppedRun.size(), size_t(4));
    }

    void aStoppedRunIsNeverRewritten_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("file");
        QTest::newRow("dumper") << "list_dump" << command("start_dump") << "list_dump_0.bin";
        QTest::newRow("oscilloscope") << "oscilloscope" << command("start_dump") << "oscilloscope_0.bin";
        QTest::newRow("rate sink") << "query_by_json" << rateCommand("start_dump", "run_id", "r1") << "rates_0.bin";
    }

    void aStoppedRunIsNeverRewritten()
    {
        QFETCH(QString, route);
        QFETCH(QString, message);
        QFETCH(QString, file);
        QVERIFY(!m_stoppedRun.empty());
        // The writer answers at once; it finds the file taken when it opens it, and stops.
        QCOMPARE(client(route).request(message), kTrue);
        const QString line = QStringLiteral("Unable to open file  \"%1/%2\"  errno:  \"%3\" . Acquisition disabled")
                                 .arg(run("r1"), file, QString::fromLocal8Bit(strerror(EEXIST)));
        QVERIFY2(m_server.waitForOutput(line, 5000), qPrintable(m_server.output().right(2000)));
        QTest::qWait(500);
        QVERIFY(tree(run("r1")) == m_stoppedRun);
    }

    void badNumbersAreRefusedAndTheLimitIsKept()
    {
        QCOMPARE(m_commands.request(command("start_dump", "run_id", "r2")), kTrue);
        // The run's limit is the configuration's 1000000 events per file; each
        // refused value would otherwise give every message a file of its own.
        for (const QJsonValue& bad : {QJsonValue("abc"), QJsonValue(0), QJsonValue(-1), QJsonValue(2.5), QJsonValue(1e10),
                                      QJsonValue(QJsonValue::Null)}) {
            const QString text = QString::fromUtf8(QJsonDocument(QJsonArray{bad}).toJson(QJsonDocument::Compact));
            QCOMPARE(m_dumper.request(command("set_dump_events", "dump_events", bad)), kFalse);
            QCOMPARE(m_scope.request(command("set_dump_events", "dump_events", bad)), kFalse);
            QCOMPARE(m_scope.request(command("set_dump_time", "dump_time", bad)), kFalse);
            QVERIFY2(m_server.waitForOutput("Refused dump_time " + text.mid(1, text.size() - 2) + ": ", 5000), qPrintable(text));
        }
        QCOMPARE(m_scope.request(command("set_dump_time", "dump_time", 1000)), kTrue);
        QTest::qWait(1500);
        QCOMPARE(m_commands.request(command("stop_dump")), kTrue);
        settledFiles("r2");
        QCOMPARE(QDir(run("r2")).entryList({"list_dump_*.bin"}, QDir::Files), QStringList{"list_dump_0.bin"});
        QVERIFY(bytesOf(run("r2") + "/list_dump_0.bin").size() > 14 + 25);
    }

    void runInformationIsJsonWhateverTheRunId()
    {
        QCOMPARE(m_commands.request(command("start_dump", "run_id", "run-A.1")), kTrue);
        QJsonParseError error;
        const QString text = m_commands.request(command("get_run_info"));
        const QJsonDocument info = QJsonDocument::fromJson(text.toUtf8(), &error);
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(text));
        QCOMPARE(info.array().at(0).toObject().value("id"), QJsonValue("run-A.1"));
        QCOMPARE(m_commands.request(command("stop_dump")), kTrue);
        // A decimal run id is written as a number, as before.
        QCOMPARE(m_commands.request(command("start_dump", "run_id", "7")), kTrue);
        QVERIFY2(m_commands.request(command("get_run_info")).contains(",\"id\":7,\"stored_events\":"), "id 7");
        QCOMPARE(m_commands.request(command("stop_dump")), kTrue);
    }

    void nothingOutsideTheStorageFolderChanged()
    {
        const std::map<QString, QByteArray> files = tree(outside());
        QCOMPARE(files.size(), size_t(1));
        QCOMPARE(bytesOf(outside() + "/precious.txt"), QByteArray("recorded yesterday\n"));
        QCOMPARE(QDir(m_server.dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 (QStringList{"bin", "config.json", "outside", "storage"}));
    }
};

QTEST_GUILESS_MAIN(TestRecordingSafety)
#include "tst_recording_safety.moc"
