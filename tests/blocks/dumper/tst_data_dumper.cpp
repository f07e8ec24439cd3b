// The data dumper in-process: events pushed through a pin of the test, the
// dump slots and InterpretMessage drive it, and the files it writes are
// compared byte for byte with records built here.
#include "blocks/dumper/data_dumper.h"
#include "block_test_rig.h"
#include "log_capture.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <vector>

using namespace block_test;

namespace {

struct Event {
    quint64 timestamp;
    quint32 channel;
    quint32 raw;
    quint8 flag1;
    quint8 flag2;
};
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
            body += QByteArray::number(e.timestamp) + ',' + QByteArray::number(e.channel) + ','
                    + QByteArray::number(e.raw) + ",\n";
        } else {
            body += QByteArray(i > 0 ? ",\n" : "") + "{\"timestamp\":" + QByteArray::number(e.timestamp)
                    + ",\"channel\":" + QByteArray::number(e.channel) + ",\"energy_raw\":"
                    + QByteArray::number(e.raw) + "}\n";
        }
    }
    return type == "JSON" ? body + ']' : body;
}

const QString kAccepted = QStringLiteral("[{\"response\": true}]");

// A dumper named "list" fed by a pin of the test, writing into its own storage.
class DumperRig : public UpstreamRig<DataDumper> {
public:
    explicit DumperRig(const QString& name = QStringLiteral("list"))
        : UpstreamRig("processing/0/filter_chain/rec/chain/" + name, blockEntry("dumper", name, "energy"))
    {
    }

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
            payload->energy = 1.5;
            payload->flag1 = e.flag1;
            payload->flag2 = e.flag2;
            payload->extra = 0xdeadbeef;
            packet->items.push_back(payload);
        }
        UpstreamRig::push(packet);
    }

    QString runInfo()
    {
        QString text;
        block().GetRunInfo(&text);
        return text;
    }
    // The run id is written unquoted, so the text is read field by field.
    QString runInfoField(const QString& key)
    {
        return QRegularExpression(QStringLiteral("\"%1\":([^,}]*)[,}]").arg(key)).match(runInfo()).captured(1);
    }
    qint64 storedEvents() { return runInfoField("stored_events").toLongLong(); }
    int status()
    {
        bool ok = false;
        const int value = runInfoField("status").toInt(&ok);
        return ok ? value : -1;
    }

    RunStorage storage;
};

void addFormatRows()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("extension");
    QTest::newRow("BIN") << "BIN" << ".bin";
    QTest::newRow("CSV") << "CSV" << ".csv";
    QTest::newRow("JSON") << "JSON" << ".json";
}

}  // namespace

class DataDumperTest : public QObject {
    Q_OBJECT

private slots:
    // The block itself
    void isAFileWritingBlockWithDumpSlots();
    void interpretMessageRepliesToItsCommands_data();
    void interpretMessageRepliesToItsCommands();

    // Files
    void writesEveryFormatByteForByte_data() { addFormatRows(); }
    void writesEveryFormatByteForByte();
    void orderlyShutdownClosesTheFile_data() { addFormatRows(); }
    void orderlyShutdownClosesTheFile();
    void rollsOverAfterTheMessageThatCrossesTheLimit();
    void zeroLimitGivesEachMessageItsOwnFile();
    void restartWithTheSameRunIdRewritesTheFiles();

    // Run state
    void stopClosesTheFileAtTheNextMessageOnly();
    void pausedMessagesAreDroppedAndNotCounted();
    void restartResumesTheOpenFile();
    void lowerCaseTypeStopsTheRunWithoutAFile();
    void unopenableFileIsLoggedAndStopsTheRun();

    // Run information and statistics
    void runInfoBeforeAnyRun();
    void runInfoDuringARun();
    void runInfoShowsTheRunIdVerbatim();
    void startDumpResetsTheCountersAndStartDumpCommandDoesNot();
    void statisticsFileGetsItsHeaderOncePerDataFile();
};

void DataDumperTest::isAFileWritingBlockWithDumpSlots()
{
    DumperRig rig(QStringLiteral("events"));
    QCOMPARE(rig.block().blockType(), QStringLiteral("dumper"));
    QCOMPARE(rig.block().FullPath(), QStringLiteral("processing/0/filter_chain/rec/chain/events"));
    QVERIFY(rig.block().dumpFlag());
    QCOMPARE(rig.block().inputPins().at(0)->name(), QStringLiteral("energy"));
    QVERIFY(rig.block().outputPins().isEmpty());
    // The commands block calls these by name.
    QVERIFY(hasSlots(rig.block(), {"ConfigureDump(int,QString,QString)", "StartDump(QString)", "StopDump()",
                                   "PauseDump()", "ReStartDump()", "GetRunInfo(QString*)"}));
}

void DataDumperTest::interpretMessageRepliesToItsCommands_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("status");
    QTest::newRow("set_dump_events") << R"({"cmd":"set_dump_events","dump_events":10})" << kAccepted << 0;
    QTest::newRow("set_dump_time") << R"({"cmd":"set_dump_time","dump_time":10})" << kAccepted << 0;
    QTest::newRow("set_dump_type") << R"({"cmd":"set_dump_type","file_type":"BIN"})" << kAccepted << 0;
    QTest::newRow("set_dump_path") << R"({"cmd":"set_dump_path","file_path":"/tmp"})" << kAccepted << 0;
    QTest::newRow("start_dump") << R"({"cmd":"start_dump"})" << kAccepted << 1;
    QTest::newRow("pause_dump") << R"({"cmd":"pause_dump"})" << kAccepted << 2;
    QTest::newRow("stop_dump") << R"({"cmd":"stop_dump"})" << kAccepted << 0;
    QTest::newRow("unknown command") << R"({"cmd":"restart_dump"})" << QString() << 0;
    QTest::newRow("upper case") << R"({"cmd":"START_DUMP"})" << QString() << 0;
    QTest::newRow("argument list shape") << R"({"args":[{"cmd":"start_dump"}]})" << QString() << 0;
    QTest::newRow("not JSON") << QStringLiteral("start_dump") << QString() << 0;
}

void DataDumperTest::interpretMessageRepliesToItsCommands()
{
    QFETCH(QString, message);
    QFETCH(QString, reply);
    QFETCH(int, status);
    DumperRig rig;
    QCOMPARE(rig.command(message), reply);
    QCOMPARE(rig.status(), status);
}

void DataDumperTest::writesEveryFormatByteForByte()
{
    QFETCH(QString, type);
    QFETCH(QString, extension);
    DumperRig rig;
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const QString folder = rig.start(type, 1000, "12");
    // Values that show the widths: a timestamp above 32 bits, both flags.
    const Events first{{1234, 3, 1024, 1, 0}, {(quint64(1) << 40) + 5, 5, 700, 0, 1}};
    const Events second{{7, 31, 65535, 1, 1}};
    rig.push(first);
    rig.push(second);
    QTRY_COMPARE(rig.storedEvents(), qint64(3));
    rig.stopAndClose();

    const QString path = folder + "/list_0" + extension;
    if (type == "BIN") {
        QTRY_COMPARE(readFile(path).size(), 14 + 75);
        // "QRXS" and the creation time in ten digits.
        QCOMPARE(readFile(path).left(4), QByteArray("QRXS"));
        const qint64 created = readFile(path).mid(4, 10).toLongLong();
        QVERIFY2(created >= before && created <= QDateTime::currentSecsSinceEpoch(), readFile(path).left(14));
        QCOMPARE(readFile(path).mid(14), fileBody(type, joined(first, second)));
    } else {
        QTRY_COMPARE(readFile(path), fileBody(type, joined(first, second)));
    }
    QCOMPARE(rig.storedEvents(), qint64(3));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"list_0" + extension});
}

void DataDumperTest::orderlyShutdownClosesTheFile()
{
    QFETCH(QString, type);
    QFETCH(QString, extension);
    DumperRig rig;
    const QString folder = rig.start(type, 1000000, "end");
    // Queued but not necessarily handled yet when the stop comes: nothing is lost.
    Events all;
    for (int m = 0; m < 40; ++m) {
        const Events message = numberedEvents(50, quint64(m) * 50);
        all = joined(all, message);
        rig.push(message);
    }
    rig.block().shutdown();
    QCOMPARE(rig.storedEvents(), qint64(2000));
    const QByteArray bytes = readFile(folder + "/list_0" + extension);
    QCOMPARE(type == "BIN" ? bytes.mid(14) : bytes, fileBody(type, all));
}

void DataDumperTest::rollsOverAfterTheMessageThatCrossesTheLimit()
{
    DumperRig rig;
    const QString folder = rig.start("BIN", 1000, "r");
    Events all;
    for (int m = 0; m < 5; ++m) {
        const Events message = numberedEvents(300, quint64(m) * 300);
        all = joined(all, message);
        rig.push(message);
    }
    QTRY_COMPARE(rig.storedEvents(), qint64(1500));
    // The fourth message took the first file to 1200 > 1000; the fifth opened index 1.
    QCOMPARE(readFile(folder + "/list_0.bin").mid(14), fileBody("BIN", Events(all.begin(), all.begin() + 1200)));
    QCOMPARE(rig.runInfoField("used_space").toInt(), 14 + 300 * 25);

    rig.stopAndClose();
    QTRY_COMPARE(readFile(folder + "/list_1.bin").size(), 14 + 300 * 25);
    QCOMPARE(readFile(folder + "/list_1.bin").mid(14), fileBody("BIN", Events(all.begin() + 1200, all.end())));
    QCOMPARE(QDir(folder).entryList(QDir::Files), (QStringList{"list_0.bin", "list_1.bin"}));
}

void DataDumperTest::zeroLimitGivesEachMessageItsOwnFile()
{
    DumperRig rig;
    const QString folder = rig.start("JSON", 0, "z");
    const Events a = numberedEvents(2, 10), b = numberedEvents(3, 20), c = numberedEvents(1, 30);
    rig.push(a);
    rig.push(b);
    rig.push(c);
    QTRY_COMPARE(rig.storedEvents(), qint64(6));
    rig.stopAndClose();
    QTRY_COMPARE(readFile(folder + "/list_2.json"), fileBody("JSON", c));
    QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", a));
    QCOMPARE(readFile(folder + "/list_1.json"), fileBody("JSON", b));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 3);
}

void DataDumperTest::restartWithTheSameRunIdRewritesTheFiles()
{
    DumperRig rig;
    const QString folder = rig.start("BIN", 2, "again");
    rig.push(numberedEvents(3, 1));
    rig.push(numberedEvents(3, 4));
    QTRY_COMPARE(rig.storedEvents(), qint64(6));
    rig.stopAndClose();
    QTRY_COMPARE(readFile(folder + "/list_1.bin").size(), 14 + 3 * 25);

    // The same run id again: the file index is back at 0 and list_0 is truncated.
    QCOMPARE(rig.command(R"({"cmd":"start_dump"})"), kAccepted);
    const Events second = numberedEvents(1, 500);
    rig.push(second);
    QTRY_COMPARE(rig.storedEvents(), qint64(7));
    rig.stopAndClose();
    QTRY_COMPARE(readFile(folder + "/list_0.bin").size(), 14 + 25);
    QCOMPARE(readFile(folder + "/list_0.bin").mid(14), fileBody("BIN", second));
    QCOMPARE(readFile(folder + "/list_1.bin").size(), 14 + 3 * 25);
}

void DataDumperTest::stopClosesTheFileAtTheNextMessageOnly()
{
    DumperRig rig;
    const QString folder = rig.start("JSON", 1000, "s");
    const Events events = numberedEvents(2, 1);
    rig.push(events);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));

    rig.command(R"({"cmd":"stop_dump"})");
    // Still open: every JSON line is flushed, but the closing bracket is missing.
    QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", events).chopped(1));
    QCOMPARE(rig.status(), 0);
    rig.push(numberedEvents(3, 50));
    QTRY_COMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", events));
    QCOMPARE(rig.storedEvents(), qint64(2));
}

void DataDumperTest::pausedMessagesAreDroppedAndNotCounted()
{
    DumperRig rig;
    const QString folder = rig.start("CSV", 1000, "p");
    const Events kept = numberedEvents(2, 1);
    rig.push(kept);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));

    rig.block().PauseDump();
    rig.push(numberedEvents(5, 100));
    rig.push(numberedEvents(5, 200));
    // The orderly stop handles what is queued, still paused, then closes the file.
    rig.block().shutdown();
    QCOMPARE(rig.upstream().size(), 0);
    QCOMPARE(rig.storedEvents(), qint64(2));
    QCOMPARE(rig.status(), 2);
    QCOMPARE(readFile(folder + "/list_0.csv"), fileBody("CSV", kept));
}

void DataDumperTest::restartResumesTheOpenFile()
{
    DumperRig rig;
    const QString folder = rig.start("JSON", 1000, "q");
    const Events a = numberedEvents(2, 1), b = numberedEvents(1, 9);
    rig.push(a);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));
    rig.block().PauseDump();
    rig.block().ReStartDump();
    QCOMPARE(rig.status(), 1);
    rig.push(b);
    QTRY_COMPARE(rig.storedEvents(), qint64(3));
    rig.block().shutdown();
    QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", joined(a, b)));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
}

void DataDumperTest::lowerCaseTypeStopsTheRunWithoutAFile()
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

void DataDumperTest::unopenableFileIsLoggedAndStopsTheRun()
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

void DataDumperTest::runInfoBeforeAnyRun()
{
    DumperRig rig(QStringLiteral("list_a"));
    // Appended to what the text already holds.
    QString text = QStringLiteral("[");
    rig.block().GetRunInfo(&text);
    QCOMPARE(text, QStringLiteral("[{\"status\":0,\"name\": \"list_a\",\"event_rate\":0,\"id\":0,\"stored_events\":0,"
                                  "\"running_time\":0,\"used_space\":0}"));
}

void DataDumperTest::runInfoDuringARun()
{
    DumperRig rig;
    rig.start("BIN", 1000, "17");
    rig.push(numberedEvents(4, 1));
    QTRY_COMPARE(rig.storedEvents(), qint64(4));
    // The rate is first computed after a second; the running time is whatever elapsed.
    const QRegularExpression shape(QStringLiteral(
        R"(^\{"status":1,"name": "list","event_rate":0,"id":17,"stored_events":4,"running_time":([0-9.e+-]+),"used_space":114\}$)"));
    const QString text = rig.runInfo();
    const QRegularExpressionMatch match = shape.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(match.captured(1).toDouble() >= 0.0 && match.captured(1).toDouble() < 1.0);
}

void DataDumperTest::runInfoShowsTheRunIdVerbatim()
{
    DumperRig rig;
    rig.block().StartDump(QStringLiteral("run-3"));
    QVERIFY2(rig.runInfo().contains(QStringLiteral(",\"id\":run-3,")), qPrintable(rig.runInfo()));
}

void DataDumperTest::startDumpResetsTheCountersAndStartDumpCommandDoesNot()
{
    DumperRig rig;
    rig.start("CSV", 1000, "c");
    rig.push(numberedEvents(3, 1));
    QTRY_COMPARE(rig.storedEvents(), qint64(3));
    rig.block().StopDump();
    rig.command(R"({"cmd":"start_dump"})");
    QCOMPARE(rig.storedEvents(), qint64(3));
    rig.block().StartDump(QStringLiteral("c"));
    QCOMPARE(rig.storedEvents(), qint64(0));
    QCOMPARE(rig.runInfoField("used_space").toInt(), 0);
    QCOMPARE(rig.runInfoField("running_time").toDouble(), 0.0);
}

void DataDumperTest::statisticsFileGetsItsHeaderOncePerDataFile()
{
    DumperRig rig;
    const QString folder = rig.start("BIN", 1000, "st");
    const QString header = QStringLiteral("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte");

    quint64 nextTimestamp = 0;
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
            rig.push(numberedEvents(1, nextTimestamp++));
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
    QStringList fields = lines.at(1).split(',');
    QCOMPARE(fields.size(), 4);
    const double runningTime = fields.at(0).toDouble();
    const qint64 stored = fields.at(1).toLongLong();
    const double rate = fields.at(2).toDouble();
    QCOMPARE(stored, qint64(nextTimestamp));
    QCOMPARE(fields.at(3).toLongLong(), 14 + 25 * stored);
    QVERIFY2(runningTime > 1.0 && runningTime < 15.0, qPrintable(lines.at(1)));
    QVERIFY2(qAbs(rate - stored / runningTime) <= 0.05 * rate, qPrintable(lines.at(1)));

    QVERIFY(pushUntilLines(0, 3));   // a second line, no second header
    lines = statLines(0);
    QCOMPARE(lines.count(header), 1);
    QCOMPARE(lines.at(2).split(',').at(1).toLongLong(), qint64(nextTimestamp));

    // A new data file gets a statistics file of its own, with its own header:
    // with the limit just below the events of list_0, the next message rolls over.
    rig.command(QStringLiteral(R"({"cmd":"set_dump_events","dump_events":%1})").arg(nextTimestamp - 1));
    QVERIFY(pushUntilLines(1, 2));
    QCOMPARE(statLines(1).at(0), header);
    fields = statLines(1).at(1).split(',');
    QVERIFY(fields.at(0).toDouble() > 2.0);   // the running time covers the whole run
    QCOMPARE(fields.at(1).toLongLong(), qint64(nextTimestamp));
    QCOMPARE(statLines(0).size(), 4);
    QVERIFY(!QFile::exists(folder + "/list_2.stat"));
}

QTEST_GUILESS_MAIN(DataDumperTest)
#include "tst_data_dumper.moc"
