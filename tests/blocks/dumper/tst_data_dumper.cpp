// The data dumper in-process: events pushed through a pin of the test, the dump slots
// and InterpretMessage drive it, and its files are compared byte for byte with records built here.
#include "blocks/dumper/data_dumper.h"
#include "block_test_rig.h"
#include "log_capture.h"

#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <vector>

using namespace block_test;

namespace {

struct Event { quint64 timestamp; quint32 channel, raw; quint8 flag1, flag2; };
using Events = std::vector<Event>;

Events numberedEvents(int count, quint64 firstTimestamp)
{
    Events events;
    for (quint64 t = firstTimestamp; t < firstTimestamp + quint64(count); ++t)
        events.push_back({t, quint32(t % 8), quint32((t * 37) % 4096), quint8(t % 2), quint8((t / 2) % 2)});
    return events;
}

Events joined(Events a, const Events& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The body of a closed file of these events, without the BIN header.
QByteArray fileBody(const QString& type, const Events& events)
{
    QByteArray body = type == "JSON" ? "[" : "";
    for (size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        if (type == "BIN") {
            body += le(e.timestamp, 8) + le(e.channel, 8) + le(e.raw, 8) + char(quint8(e.flag2 * 2 + e.flag1));
        } else if (type == "CSV") {
            body += QByteArray::number(e.timestamp) + ',' + QByteArray::number(e.channel) + ',' + QByteArray::number(e.raw) + ",\n";
        } else {
            body += QByteArray(i > 0 ? ",\n" : "") + "{\"timestamp\":" + QByteArray::number(e.timestamp) + ",\"channel\":"
                    + QByteArray::number(e.channel) + ",\"energy_raw\":" + QByteArray::number(e.raw) + "}\n";
        }
    }
    return type == "JSON" ? body + ']' : body;
}

const QString kAccepted = QStringLiteral("[{\"response\": true}]");
const QString kRefused = QStringLiteral("[{\"response\": false}]");

// A dumper named "list" fed by a pin of the test, writing into its own storage.
class DumperRig : public UpstreamRig<DataDumper> {
public:
    explicit DumperRig(const QString& name = QStringLiteral("list"))
        : UpstreamRig("processing/0/filter_chain/rec/chain/" + name, blockEntry("dumper", name, "energy")) {}

    // Configures and starts a run; returns its (created) run folder.
    QString start(const QString& type, int limit, const QString& runId)
    {
        block().ConfigureDump(limit, type, storage.path());
        block().StartDump(runId);
        return storage.runFolder(runId);
    }
    // A stop acts when the next message arrives: that one closes the file and is dropped.
    void stopAndClose()
    {
        block().StopDump();
        push(numberedEvents(1, 99999));
    }

    void push(const Events& events)
    {
        auto* packet = new DataPacket(QStringLiteral("energy"), 0);
        for (const Event& e : events) {
            auto* payload = new QuarixPayload_Energy;
            payload->timestamp = e.timestamp;
            payload->channel = e.channel;
            payload->energy_raw = e.raw;
            payload->flag1 = e.flag1;
            payload->flag2 = e.flag2;
            packet->items.push_back(payload);
        }
        UpstreamRig::push(packet);
    }

    QString runInfo(QString text = QString())
    {
        block().GetRunInfo(&text);
        return text;
    }
    // A numeric run id is written unquoted, so the text is read field by field.
    QString runInfoField(const QString& key)
    {
        return QRegularExpression(QStringLiteral("\"%1\":([^,}]*)[,}]").arg(key)).match(runInfo()).captured(1);
    }
    qint64 storedEvents() { return runInfoField("stored_events").toLongLong(); }
    int status() { return runInfoField("status").toInt(); }

    RunStorage storage;
};

}  // namespace

class DataDumperTest : public QObject {
    Q_OBJECT
private slots:
    void interpretMessageRepliesToItsCommands_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("status");
        const QString none;
        QTest::newRow("events") << R"({"cmd":"set_dump_events","dump_events":10})" << kAccepted << 0;
        QTest::newRow("time") << R"({"cmd":"set_dump_time","dump_time":10})" << kAccepted << 0;
        QTest::newRow("type") << R"({"cmd":"set_dump_type","file_type":"BIN"})" << kAccepted << 0;
        QTest::newRow("path, no storage folder known") << R"({"cmd":"set_dump_path","file_path":"/tmp"})" << kRefused << 0;
        QTest::newRow("start") << R"({"cmd":"start_dump"})" << kAccepted << 1;
        QTest::newRow("pause") << R"({"cmd":"pause_dump"})" << kAccepted << 2;
        QTest::newRow("stop") << R"({"cmd":"stop_dump"})" << kAccepted << 0;
        QTest::newRow("unknown") << R"({"cmd":"restart_dump"})" << none << 0;
        QTest::newRow("upper case") << R"({"cmd":"START_DUMP"})" << none << 0;
        QTest::newRow("args shape") << R"({"args":[{"cmd":"start_dump"}]})" << none << 0;
        QTest::newRow("not JSON") << QStringLiteral("start_dump") << none << 0;
    }
    void interpretMessageRepliesToItsCommands()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        QFETCH(int, status);
        DumperRig rig;
        QCOMPARE(rig.command(message), reply);
        QCOMPARE(rig.status(), status);
    }

    // Messages still queued when the orderly stop comes are all written, then the list is closed.
    void orderlyShutdownWritesTheQueueAndClosesTheFile()
    {
        DumperRig rig;
        const QString folder = rig.start("JSON", 1000000, "end");
        for (int m = 0; m < 40; ++m)
            rig.push(numberedEvents(50, quint64(m) * 50));
        rig.block().shutdown();
        QCOMPARE(rig.storedEvents(), qint64(2000));
        QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", numberedEvents(2000, 0)));
    }

    void rollsOverAfterTheMessageThatCrossesTheLimit()
    {
        DumperRig rig;
        const QString folder = rig.start("BIN", 1000, "r");
        for (int m = 0; m < 5; ++m)
            rig.push(numberedEvents(300, quint64(m) * 300));
        QTRY_COMPARE(rig.storedEvents(), qint64(1500));
        // The fourth message took the first file to 1200 > 1000; the fifth opened index 1.
        QCOMPARE(readFile(folder + "/list_0.bin").mid(14), fileBody("BIN", numberedEvents(1200, 0)));
        QCOMPARE(rig.runInfoField("used_space").toInt(), 14 + 300 * 25);
        rig.stopAndClose();
        QTRY_COMPARE(readFile(folder + "/list_1.bin").mid(14), fileBody("BIN", numberedEvents(300, 1200)));
        QCOMPARE(QDir(folder).entryList(QDir::Files), (QStringList{"list_0.bin", "list_1.bin"}));
    }

    void zeroLimitGivesEachMessageItsOwnFile()
    {
        DumperRig rig;
        const QString folder = rig.start("JSON", 0, "z");
        for (int m = 0; m < 3; ++m)
            rig.push(numberedEvents(m + 1, 10 * m));
        QTRY_COMPARE(rig.storedEvents(), qint64(6));
        rig.stopAndClose();
        QTRY_COMPARE(readFile(folder + "/list_2.json"), fileBody("JSON", numberedEvents(3, 20)));
        QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", numberedEvents(1, 0)));
        QCOMPARE(readFile(folder + "/list_1.json"), fileBody("JSON", numberedEvents(2, 10)));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 3);
    }

    // A file of the run's name already there (an earlier run's) is left as it
    // is: the data file when it is opened, the statistics file after a second.
    void anExistingFileIsLeftAloneAndStopsTheRun_data()
    {
        QTest::addColumn<QString>("taken");
        QTest::newRow("data file") << "list_0.bin";
        QTest::newRow("statistics file") << "list_0.stat";
    }
    void anExistingFileIsLeftAloneAndStopsTheRun()
    {
        QFETCH(QString, taken);
        LogCapture log;
        DumperRig rig;
        const QString folder = rig.storage.runFolder("again");
        QFile file(folder + '/' + taken);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("kept\n") == 5);
        file.close();
        rig.start("BIN", 1000, "again");
        QElapsedTimer clock;
        clock.start();
        for (quint64 t = 0; rig.status() == 1 && clock.elapsed() < 10000; ++t) {
            rig.push(numberedEvents(1, t));
            QTest::qWait(20);
        }
        QCOMPARE(rig.status(), 0);
        QCOMPARE(readFile(folder + '/' + taken), QByteArray("kept\n"));
        const QString expected = QStringLiteral("Unable to open file  \"%1/%2\"  errno:  \"%3\" "
                                                ". Acquisition disabled in order to prevent software crash")
                                     .arg(folder, taken, QString::fromLocal8Bit(strerror(EEXIST)));
        QVERIFY2(log.contains(expected), qPrintable(log.lines().join('\n')));
    }

    void stopClosesTheFileAtTheNextMessageOnly()
    {
        DumperRig rig;
        const QString folder = rig.start("JSON", 1000, "s");
        rig.push(numberedEvents(2, 1));
        QTRY_COMPARE(rig.storedEvents(), qint64(2));
        rig.command(R"({"cmd":"stop_dump"})");
        // Still open: every JSON line is flushed, but the closing bracket is missing.
        QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", numberedEvents(2, 1)).chopped(1));
        QCOMPARE(rig.status(), 0);
        rig.push(numberedEvents(3, 50));
        QTRY_COMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", numberedEvents(2, 1)));
        QCOMPARE(rig.storedEvents(), qint64(2));
    }

    void restartResumesTheOpenFileAndPausedMessagesAreDropped()
    {
        DumperRig rig;
        const QString folder = rig.start("CSV", 1000, "p");
        rig.push(numberedEvents(2, 1));
        QTRY_COMPARE(rig.storedEvents(), qint64(2));
        rig.block().PauseDump();
        rig.block().ReStartDump();
        QCOMPARE(rig.status(), 1);
        rig.push(numberedEvents(1, 9));
        QTRY_COMPARE(rig.storedEvents(), qint64(3));
        rig.block().PauseDump();
        rig.push(numberedEvents(5, 100));
        rig.push(numberedEvents(5, 200));
        // The orderly stop handles what is queued, still paused, then closes the file.
        rig.block().shutdown();
        QCOMPARE(rig.upstream().size(), 0);
        QCOMPARE(rig.storedEvents(), qint64(3));
        QCOMPARE(rig.status(), 2);
        QCOMPARE(readFile(folder + "/list_0.csv"), fileBody("CSV", joined(numberedEvents(2, 1), numberedEvents(1, 9))));
        QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
    }

    void lowerCaseTypeStopsTheRunWithoutAFile()
    {
        LogCapture log;
        DumperRig rig;
        const QString folder = rig.start("csv", 1000, "lc");
        QCOMPARE(rig.status(), 1);
        rig.push(numberedEvents(2, 1));
        QTRY_COMPARE(rig.status(), 0);
        rig.block().shutdown();
        QCOMPARE(rig.storedEvents(), qint64(0));
        QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
        QVERIFY2(log.lines().filter(QRegularExpression("^Unable to open file")).isEmpty(), qPrintable(log.lines().join('\n')));
    }

    void unopenableFileIsLoggedAndStopsTheRun()
    {
        LogCapture log;
        DumperRig rig;
        // The dumper creates no folders: the run folder "missing" does not exist.
        rig.block().ConfigureDump(1000, QStringLiteral("BIN"), rig.storage.path());
        rig.block().StartDump(QStringLiteral("missing"));
        rig.push(numberedEvents(2, 1));
        const QString expected = QStringLiteral("Unable to open file  \"%1/missing/list_0.bin\"  errno:  \"%2\" "
                                                ". Acquisition disabled in order to prevent software crash")
                                     .arg(rig.storage.path(), QString::fromLocal8Bit(strerror(ENOENT)));
        QTRY_VERIFY2(log.contains(expected), qPrintable(log.lines().join('\n')));
        QCOMPARE(rig.status(), 0);
        // Nothing is written until the dumper is started again, even once the folder exists.
        const QString folder = rig.storage.runFolder("missing");
        rig.push(numberedEvents(2, 3));
        rig.block().shutdown();
        QCOMPARE(rig.storedEvents(), qint64(0));
        QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
    }

    // A run folder replaced by a symbolic link to a folder outside the storage
    // folder, after every check: the writer does not follow it.
    void aRunFolderLinkedOutsideIsNotFollowed()
    {
        LogCapture log;
        QTemporaryDir outside;
        DumperRig rig;
        QVERIFY(QFile::link(outside.path(), rig.storage.path() + "/linked"));
        rig.start("BIN", 1000, "linked");
        rig.push(numberedEvents(2, 1));
        QTRY_COMPARE(rig.status(), 0);
        QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
        const QString line = QStringLiteral("Unable to open file  \"%1/linked/list_0.bin\"").arg(rig.storage.path());
        QVERIFY2(log.lines().filter(line).size() == 1, qPrintable(log.lines().join('\n')));
    }

    void runInfoIsAppendedAndQuotesARunIdThatIsNoNumber()
    {
        DumperRig rig(QStringLiteral("list_a"));
        QCOMPARE(rig.runInfo("["), QStringLiteral("[{\"status\":0,\"name\": \"list_a\",\"event_rate\":0,\"id\":0,\"stored_events\":0,"
                                                  "\"running_time\":0,\"used_space\":0}"));
        rig.start("BIN", 1000, "run-3");
        rig.push(numberedEvents(4, 1));
        QTRY_COMPARE(rig.storedEvents(), qint64(4));
        // The rate is first computed after a second; the running time is whatever elapsed.
        const QRegularExpression shape(QStringLiteral(
            R"(^\{"status":1,"name": "list_a","event_rate":0,"id":"run-3","stored_events":4,"running_time":([0-9.e+-]+),"used_space":114\}$)"));
        const QRegularExpressionMatch match = shape.match(rig.runInfo());
        QVERIFY2(match.hasMatch(), qPrintable(rig.runInfo()));
        QVERIFY(match.captured(1).toDouble() >= 0.0 && match.captured(1).toDouble() < 1.0);
    }

    void startDumpResetsTheCountersAndStartDumpCommandDoesNot()
    {
        DumperRig rig;
        rig.start("CSV", 1000, "c");
        rig.push(numberedEvents(3, 1));
        QTRY_COMPARE(rig.storedEvents(), qint64(3));
        rig.block().StopDump();
        rig.command(R"({"cmd":"start_dump"})");
        QCOMPARE(rig.storedEvents(), qint64(3));
        rig.block().StartDump(QStringLiteral("c"));
        QCOMPARE(QStringList({rig.runInfoField("stored_events"), rig.runInfoField("used_space"),
                rig.runInfoField("running_time")}), QStringList({"0", "0", "0"}));
    }

    void statisticsFileGetsItsHeaderOncePerDataFile()
    {
        DumperRig rig;
        const QString folder = rig.start("BIN", 1000, "st");
        const QString header = QStringLiteral("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte");
        quint64 next = 0;
        auto statLines = [&](int index) {
            const QByteArray text = readFile(folder + QStringLiteral("/list_%1.stat").arg(index));
            return text == "<missing>" ? QStringList() : QString::fromLatin1(text).split('\n');
        };
        // One-event messages, each handled before the next, until the statistics hold `lines` lines.
        auto pushUntilLines = [&](int index, int lines) {
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 15000) {
                const qint64 before = rig.storedEvents();
                rig.push(numberedEvents(1, next++));
                if (!QTest::qWaitFor([&] { return rig.storedEvents() == before + 1; }, 5000))
                    return false;
                if (QTest::qWaitFor([&] { return statLines(index).size() == lines + 1; }, 50))
                    return true;
            }
            return false;
        };

        QCOMPARE(statLines(0).size(), 0);
        QVERIFY(pushUntilLines(0, 2));   // header and the first line
        QStringList lines = statLines(0);
        QCOMPARE(lines.at(0), header);
        QCOMPARE(lines.last(), QString());   // the file ends with a line end
        const QStringList fields = lines.at(1).split(',');
        QCOMPARE(fields.size(), 4);
        const double runningTime = fields.at(0).toDouble(), rate = fields.at(2).toDouble();
        QCOMPARE(fields.at(1).toULongLong(), next);
        QCOMPARE(fields.at(3).toULongLong(), 14 + 25 * next);
        QVERIFY2(runningTime > 1.0 && runningTime < 15.0, qPrintable(lines.at(1)));
        QVERIFY2(qAbs(rate - next / runningTime) <= 0.05 * rate, qPrintable(lines.at(1)));

        QVERIFY(pushUntilLines(0, 3));   // a second line, no second header
        QCOMPARE(statLines(0).count(header), 1);
        QCOMPARE(statLines(0).at(2).split(',').at(1).toULongLong(), next);

        // A new data file gets a statistics file of its own, with its own header:
        // with the limit just below the events of list_0, the next message rolls over.
        rig.command(QStringLiteral(R"({"cmd":"set_dump_events","dump_events":%1})").arg(next - 1));
        QVERIFY(pushUntilLines(1, 2));
        QCOMPARE(statLines(1).at(0), header);
        QVERIFY(statLines(1).at(1).split(',').at(0).toDouble() > 2.0);   // the running time covers the whole run
        QCOMPARE(statLines(1).at(1).split(',').at(1).toULongLong(), next);
        QCOMPARE(statLines(0).size(), 4);
        QVERIFY(!QFile::exists(folder + "/list_2.stat"));
    }
};

QTEST_GUILESS_MAIN(DataDumperTest)
#include "tst_data_dumper.moc"
