// The data dumper in-process: a PinOutput owned by the test feeds its input,
// the dump slots and InterpretMessage drive it, and the bytes of the files it
// writes are compared with records built here from the events pushed.
#include "blocks/dumper/data_dumper.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct Event {
    quint64 timestamp;
    quint32 channel;
    quint32 raw;
    quint8 flag1;
    quint8 flag2;
};

std::vector<Event> numberedEvents(int count, quint64 firstTimestamp)
{
    std::vector<Event> events;
    for (int i = 0; i < count; ++i) {
        const quint64 t = firstTimestamp + quint64(i);
        events.push_back({t, quint32(t % 8), quint32((t * 37) % 4096), quint8(t % 2), quint8((t / 2) % 2)});
    }
    return events;
}

QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

QByteArray binRecord(const Event& e)
{
    return le(e.timestamp, 8) + le(e.channel, 8) + le(e.raw, 8) + char(quint8(e.flag2 * 2 + e.flag1));
}

QByteArray csvRecord(const Event& e)
{
    return QByteArray::number(e.timestamp) + ',' + QByteArray::number(e.channel) + ',' + QByteArray::number(e.raw)
           + ",\n";
}

QByteArray jsonRecord(const Event& e)
{
    return "{\"timestamp\":" + QByteArray::number(e.timestamp) + ",\"channel\":" + QByteArray::number(e.channel)
           + ",\"energy_raw\":" + QByteArray::number(e.raw) + "}\n";
}

// The body of a closed file of these events in a form, without the BIN header.
QByteArray fileBody(const QString& type, const std::vector<Event>& events)
{
    QByteArray body;
    if (type == "JSON")
        body += '[';
    for (size_t i = 0; i < events.size(); ++i) {
        if (type == "BIN") {
            body += binRecord(events[i]);
        } else if (type == "CSV") {
            body += csvRecord(events[i]);
        } else {
            if (i > 0)
                body += ",\n";
            body += jsonRecord(events[i]);
        }
    }
    if (type == "JSON")
        body += ']';
    return body;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// Splits a BIN list file into its header time and its records; false when
// the header is not "QRXS" and ten digits.
bool splitBinFile(const QByteArray& bytes, qint64* created, QByteArray* records)
{
    if (!bytes.startsWith("QRXS") || bytes.size() < 14)
        return false;
    bool ok = false;
    *created = bytes.mid(4, 10).toLongLong(&ok);
    *records = bytes.mid(14);
    return ok;
}

// Collects the log lines of a test, from any thread.
class LogCapture {
public:
    LogCapture()
    {
        s_instance = this;
        m_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture()
    {
        qInstallMessageHandler(m_previous);
        s_instance = nullptr;
    }
    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }
    bool contains(const QString& line) const { return lines().contains(line); }

private:
    static void handler(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        if (LogCapture* self = s_instance) {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_lines.append(text);
        }
    }
    static inline LogCapture* s_instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

// A dumper named "list" fed by an output pin of the test.
class DumperRig {
public:
    explicit DumperRig(const QString& name = QStringLiteral("list")) : m_upstream(nullptr, QStringLiteral("energy"))
    {
        BlockContext context;
        context.full_path = QStringLiteral("processing/0/filter_chain/rec/chain/") + name;
        const QJsonObject entry{{"block_type", "dumper"}, {"name", name}, {"data_type", "energy"}};
        m_dumper = std::make_unique<DataDumper>(nullptr, &context, entry);
        m_dumper->inputPins().at(0)->Connect(&m_upstream);
    }

    DataDumper& block() { return *m_dumper; }
    PinOutput& upstream() { return m_upstream; }

    void push(const std::vector<Event>& events)
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
        PinMessage message;
        message.data_type = QStringLiteral("energy");
        message.packet = packet;
        QVERIFY(m_upstream.Push(message));
    }

    QString runInfoText()
    {
        QString text;
        m_dumper->GetRunInfo(&text);
        return text;
    }
    // One field of the run information; the run id is written unquoted, so
    // the text is JSON only for numeric ids and is read field by field.
    QString runInfoField(const QString& key)
    {
        const QRegularExpression field(QStringLiteral("\"%1\":([^,}]*)[,}]").arg(key));
        return field.match(runInfoText()).captured(1);
    }
    qint64 storedEvents() { return runInfoField(QStringLiteral("stored_events")).toLongLong(); }
    int status()
    {
        bool ok = false;
        const int value = runInfoField(QStringLiteral("status")).toInt(&ok);
        return ok ? value : -1;
    }

    QString command(const QString& text)
    {
        QString reply;
        m_dumper->InterpretMessage(text, &reply);
        return reply;
    }

private:
    PinOutput m_upstream;   // declared first: outlives the dumper's worker
    std::unique_ptr<DataDumper> m_dumper;
};

}  // namespace

class DataDumperTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    // The block itself
    void constructsAsAFileWritingBlock();
    void dumpSlotsAreReachableByName();
    void interpretMessageRepliesToItsCommands_data();
    void interpretMessageRepliesToItsCommands();

    // File formats
    void writesEveryFormatByteForByte_data();
    void writesEveryFormatByteForByte();
    void binHeaderCarriesTheCreationTime();

    // Roll-over
    void rollsOverAfterTheMessageThatCrossesTheLimit();
    void zeroLimitGivesEachMessageItsOwnFile();

    // Run state
    void stopClosesTheFileAtTheNextMessageOnly();
    void pausedMessagesAreDroppedAndNotCounted();
    void restartResumesTheOpenFile();
    void restartWithTheSameRunIdRewritesTheFiles();
    void lowerCaseTypeStopsTheRunWithoutAFile();
    void unopenableFileIsLoggedAndStopsTheRun();
    void orderlyShutdownClosesTheFile_data();
    void orderlyShutdownClosesTheFile();

    // Run information and statistics
    void runInfoBeforeAnyRun();
    void runInfoDuringARun();
    void runInfoShowsTheRunIdVerbatim();
    void startDumpResetsTheCountersAndStartDumpCommandDoesNot();
    void statisticsFileGetsItsHeaderOncePerDataFile();

private:
    QString runFolder(const QString& runId)
    {
        const QString path = m_storage->path() + QLatin1Char('/') + runId;
        QDir().mkpath(path);
        return path;
    }
    std::unique_ptr<QTemporaryDir> m_storage;
};

void DataDumperTest::init()
{
    m_storage = std::make_unique<QTemporaryDir>();
    QVERIFY(m_storage->isValid());
}

void DataDumperTest::constructsAsAFileWritingBlock()
{
    DumperRig rig(QStringLiteral("events"));
    QCOMPARE(rig.block().blockType(), QStringLiteral("dumper"));
    QCOMPARE(rig.block().Name(), QStringLiteral("events"));
    QCOMPARE(rig.block().FullPath(), QStringLiteral("processing/0/filter_chain/rec/chain/events"));
    QVERIFY(rig.block().dumpFlag());
    QCOMPARE(rig.block().inputPins().size(), 1);
    QCOMPARE(rig.block().inputPins().at(0)->name(), QStringLiteral("energy"));
    QVERIFY(rig.block().outputPins().isEmpty());
    QVERIFY(rig.block().configurationError().isEmpty());
}

void DataDumperTest::dumpSlotsAreReachableByName()
{
    // The commands block calls these by name, as here.
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("7"));
    QObject* block = &rig.block();
    QVERIFY(QMetaObject::invokeMethod(block, "ConfigureDump", Qt::DirectConnection, Q_ARG(int, 1000),
                                      Q_ARG(QString, QStringLiteral("CSV")), Q_ARG(QString, m_storage->path())));
    QVERIFY(QMetaObject::invokeMethod(block, "StartDump", Qt::DirectConnection, Q_ARG(QString, QStringLiteral("7"))));
    QCOMPARE(rig.status(), 1);
    QVERIFY(QMetaObject::invokeMethod(block, "PauseDump", Qt::DirectConnection));
    QCOMPARE(rig.status(), 2);
    QVERIFY(QMetaObject::invokeMethod(block, "ReStartDump", Qt::DirectConnection));
    QCOMPARE(rig.status(), 1);
    QString info;
    QVERIFY(QMetaObject::invokeMethod(block, "GetRunInfo", Qt::DirectConnection, Q_ARG(QString*, &info)));
    QVERIFY(info.contains(QStringLiteral("\"id\":7,")));

    const std::vector<Event> events = numberedEvents(2, 100);
    rig.push(events);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));
    QCOMPARE(readFile(folder + "/list_0.csv"), fileBody("CSV", events));
    QVERIFY(QMetaObject::invokeMethod(block, "StopDump", Qt::DirectConnection));
    QCOMPARE(rig.status(), 0);
}

void DataDumperTest::interpretMessageRepliesToItsCommands_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<int>("status");
    const QString accepted = QStringLiteral("[{\"response\": true}]");
    QTest::newRow("set_dump_events") << R"({"cmd":"set_dump_events","dump_events":10})" << accepted << 0;
    QTest::newRow("set_dump_time") << R"({"cmd":"set_dump_time","dump_time":10})" << accepted << 0;
    QTest::newRow("set_dump_type") << R"({"cmd":"set_dump_type","file_type":"BIN"})" << accepted << 0;
    QTest::newRow("set_dump_path") << R"({"cmd":"set_dump_path","file_path":"/tmp"})" << accepted << 0;
    QTest::newRow("start_dump") << R"({"cmd":"start_dump"})" << accepted << 1;
    QTest::newRow("pause_dump") << R"({"cmd":"pause_dump"})" << accepted << 2;
    QTest::newRow("stop_dump") << R"({"cmd":"stop_dump"})" << accepted << 0;
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

void DataDumperTest::writesEveryFormatByteForByte_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("extension");
    QTest::newRow("BIN") << "BIN" << ".bin";
    QTest::newRow("CSV") << "CSV" << ".csv";
    QTest::newRow("JSON") << "JSON" << ".json";
}

void DataDumperTest::writesEveryFormatByteForByte()
{
    QFETCH(QString, type);
    QFETCH(QString, extension);
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("12"));
    rig.block().ConfigureDump(1000, type, m_storage->path());
    rig.block().StartDump(QStringLiteral("12"));

    // Values that show the widths: a timestamp above 32 bits, both flags.
    const std::vector<Event> first{{1234, 3, 1024, 1, 0}, {(quint64(1) << 40) + 5, 5, 700, 0, 1}};
    const std::vector<Event> second{{7, 31, 65535, 1, 1}};
    rig.push(first);
    rig.push(second);
    QTRY_COMPARE(rig.storedEvents(), qint64(3));

    rig.block().StopDump();
    rig.push(numberedEvents(4, 900));   // closes the file and is itself dropped
    std::vector<Event> all = first;
    all.insert(all.end(), second.begin(), second.end());
    const QString path = folder + "/list_0" + extension;
    QByteArray expected = fileBody(type, all);
    if (type == "BIN") {
        QTRY_COMPARE(readFile(path).size(), 14 + 75);
        QCOMPARE(readFile(path).mid(14), expected);
    } else {
        QTRY_COMPARE(readFile(path), expected);
    }
    QCOMPARE(rig.storedEvents(), qint64(3));
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"list_0" + extension});
}

void DataDumperTest::binHeaderCarriesTheCreationTime()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("5"));
    rig.block().ConfigureDump(1000, QStringLiteral("BIN"), m_storage->path());
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    rig.block().StartDump(QStringLiteral("5"));
    rig.push({{1, 2, 3, 0, 0}});
    QTRY_COMPARE(rig.storedEvents(), qint64(1));
    rig.block().shutdown();
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    qint64 created = 0;
    QByteArray records;
    QVERIFY(splitBinFile(readFile(folder + "/list_0.bin"), &created, &records));
    QVERIFY2(created >= before && created <= after, qPrintable(QString::number(created)));
    QCOMPARE(records, binRecord({1, 2, 3, 0, 0}));
}

void DataDumperTest::rollsOverAfterTheMessageThatCrossesTheLimit()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("r"));
    rig.block().ConfigureDump(1000, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("r"));
    std::vector<Event> all;
    for (int m = 0; m < 5; ++m) {
        const std::vector<Event> message = numberedEvents(300, quint64(m) * 300);
        all.insert(all.end(), message.begin(), message.end());
        rig.push(message);
    }
    QTRY_COMPARE(rig.storedEvents(), qint64(1500));
    // The fourth message took the first file to 1200 > 1000; the fifth opened index 1.
    QCOMPARE(readFile(folder + "/list_0.bin").mid(14), fileBody("BIN", std::vector<Event>(all.begin(), all.begin() + 1200)));
    QCOMPARE(rig.runInfoField("used_space").toInt(), 14 + 300 * 25);

    rig.block().StopDump();
    rig.push(numberedEvents(1, 5000));
    QTRY_COMPARE(readFile(folder + "/list_1.bin").size(), 14 + 300 * 25);
    QCOMPARE(readFile(folder + "/list_1.bin").mid(14), fileBody("BIN", std::vector<Event>(all.begin() + 1200, all.end())));
    QCOMPARE(QDir(folder).entryList(QDir::Files), (QStringList{"list_0.bin", "list_1.bin"}));
}

void DataDumperTest::zeroLimitGivesEachMessageItsOwnFile()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("z"));
    rig.block().ConfigureDump(0, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("z"));
    const std::vector<Event> a = numberedEvents(2, 10), b = numberedEvents(3, 20), c = numberedEvents(1, 30);
    rig.push(a);
    rig.push(b);
    rig.push(c);
    QTRY_COMPARE(rig.storedEvents(), qint64(6));
    rig.block().StopDump();
    rig.push(numberedEvents(1, 40));
    QTRY_COMPARE(readFile(folder + "/list_2.json"), fileBody("JSON", c));
    QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", a));
    QCOMPARE(readFile(folder + "/list_1.json"), fileBody("JSON", b));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 3);
}

void DataDumperTest::stopClosesTheFileAtTheNextMessageOnly()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("s"));
    rig.block().ConfigureDump(1000, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("s"));
    const std::vector<Event> events = numberedEvents(2, 1);
    rig.push(events);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));

    rig.command(QStringLiteral(R"({"cmd":"stop_dump"})"));
    // Still open: every JSON line is flushed, but the closing bracket is missing.
    const QByteArray open = fileBody("JSON", events).chopped(1);
    QCOMPARE(readFile(folder + "/list_0.json"), open);
    QCOMPARE(rig.status(), 0);

    rig.push(numberedEvents(3, 50));
    QTRY_COMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", events));
    QCOMPARE(rig.storedEvents(), qint64(2));
}

void DataDumperTest::pausedMessagesAreDroppedAndNotCounted()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("p"));
    rig.block().ConfigureDump(1000, QStringLiteral("CSV"), m_storage->path());
    rig.block().StartDump(QStringLiteral("p"));
    const std::vector<Event> kept = numberedEvents(2, 1);
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
    const QString folder = runFolder(QStringLiteral("q"));
    rig.block().ConfigureDump(1000, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("q"));
    const std::vector<Event> a = numberedEvents(2, 1), b = numberedEvents(1, 9);
    rig.push(a);
    QTRY_COMPARE(rig.storedEvents(), qint64(2));
    rig.block().PauseDump();
    rig.block().ReStartDump();
    rig.push(b);
    QTRY_COMPARE(rig.storedEvents(), qint64(3));
    rig.block().shutdown();
    std::vector<Event> all = a;
    all.insert(all.end(), b.begin(), b.end());
    QCOMPARE(readFile(folder + "/list_0.json"), fileBody("JSON", all));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 1);
}

void DataDumperTest::restartWithTheSameRunIdRewritesTheFiles()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("again"));
    rig.block().ConfigureDump(2, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("again"));
    rig.push(numberedEvents(3, 1));
    rig.push(numberedEvents(3, 4));
    QTRY_COMPARE(rig.storedEvents(), qint64(6));
    rig.block().StopDump();
    rig.push(numberedEvents(1, 99));
    QTRY_COMPARE(readFile(folder + "/list_1.bin").size(), 14 + 3 * 25);

    // The same run id again: the file index is back at 0 and list_0 is truncated.
    QCOMPARE(rig.command(QStringLiteral(R"({"cmd":"start_dump"})")), QStringLiteral("[{\"response\": true}]"));
    const std::vector<Event> second = numberedEvents(1, 500);
    rig.push(second);
    QTRY_COMPARE(rig.storedEvents(), qint64(7));
    rig.block().StopDump();
    rig.push(numberedEvents(1, 600));
    QTRY_COMPARE(readFile(folder + "/list_0.bin").size(), 14 + 25);
    QCOMPARE(readFile(folder + "/list_0.bin").mid(14), fileBody("BIN", second));
    QCOMPARE(readFile(folder + "/list_1.bin").size(), 14 + 3 * 25);
}

void DataDumperTest::lowerCaseTypeStopsTheRunWithoutAFile()
{
    LogCapture log;
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("lc"));
    rig.block().ConfigureDump(1000, QStringLiteral("csv"), m_storage->path());
    rig.block().StartDump(QStringLiteral("lc"));
    QCOMPARE(rig.status(), 1);
    rig.push(numberedEvents(2, 1));
    QTRY_COMPARE(rig.status(), 0);
    rig.block().shutdown();
    QCOMPARE(rig.storedEvents(), qint64(0));
    QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
    for (const QString& line : log.lines())
        QVERIFY2(!line.startsWith(QStringLiteral("Unable to open file")), qPrintable(line));
}

void DataDumperTest::unopenableFileIsLoggedAndStopsTheRun()
{
    LogCapture log;
    DumperRig rig;
    // The dumper creates no folders: the run folder "missing" does not exist.
    rig.block().ConfigureDump(1000, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("missing"));
    rig.push(numberedEvents(2, 1));
    const QString expected = QStringLiteral("Unable to open file  \"%1/missing/list_0.bin\"  errno:  \"%2\" "
                                            ". Acquisition disabled in order to prevent software crash")
                                 .arg(m_storage->path(), QString::fromLocal8Bit(strerror(ENOENT)));
    QTRY_VERIFY2(log.contains(expected), qPrintable(log.lines().join('\n')));
    QCOMPARE(rig.status(), 0);

    // Nothing is written until the dumper is started again, even once the folder exists.
    const QString folder = runFolder(QStringLiteral("missing"));
    rig.push(numberedEvents(2, 3));
    rig.block().shutdown();
    QCOMPARE(rig.storedEvents(), qint64(0));
    QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
}

void DataDumperTest::orderlyShutdownClosesTheFile_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("extension");
    QTest::newRow("BIN") << "BIN" << ".bin";
    QTest::newRow("CSV") << "CSV" << ".csv";
    QTest::newRow("JSON") << "JSON" << ".json";
}

void DataDumperTest::orderlyShutdownClosesTheFile()
{
    QFETCH(QString, type);
    QFETCH(QString, extension);
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("end"));
    rig.block().ConfigureDump(1000000, type, m_storage->path());
    rig.block().StartDump(QStringLiteral("end"));
    // Queued but not necessarily handled yet when the stop comes: nothing is lost.
    std::vector<Event> all;
    for (int m = 0; m < 40; ++m) {
        const std::vector<Event> message = numberedEvents(50, quint64(m) * 50);
        all.insert(all.end(), message.begin(), message.end());
        rig.push(message);
    }
    rig.block().shutdown();
    QCOMPARE(rig.storedEvents(), qint64(2000));
    const QByteArray bytes = readFile(folder + "/list_0" + extension);
    QCOMPARE(type == "BIN" ? bytes.mid(14) : bytes, fileBody(type, all));
}

void DataDumperTest::runInfoBeforeAnyRun()
{
    DumperRig rig(QStringLiteral("list_a"));
    QCOMPARE(rig.runInfoText(),
             QStringLiteral("{\"status\":0,\"name\": \"list_a\",\"event_rate\":0,\"id\":0,\"stored_events\":0,"
                            "\"running_time\":0,\"used_space\":0}"));
    // Appended, not replaced.
    QString text = QStringLiteral("[");
    rig.block().GetRunInfo(&text);
    QVERIFY(text.startsWith(QStringLiteral("[{\"status\":0,")));
}

void DataDumperTest::runInfoDuringARun()
{
    DumperRig rig;
    runFolder(QStringLiteral("17"));
    rig.block().ConfigureDump(1000, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("17"));
    rig.push(numberedEvents(4, 1));
    QTRY_COMPARE(rig.storedEvents(), qint64(4));
    // The rate is first computed after a second; the running time is whatever elapsed.
    const QRegularExpression shape(QStringLiteral(
        R"(^\{"status":1,"name": "list","event_rate":0,"id":17,"stored_events":4,"running_time":([0-9.e+-]+),"used_space":114\}$)"));
    const QString text = rig.runInfoText();
    const QRegularExpressionMatch match = shape.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    const double runningTime = match.captured(1).toDouble();
    QVERIFY(runningTime >= 0.0 && runningTime < 1.0);
}

void DataDumperTest::runInfoShowsTheRunIdVerbatim()
{
    DumperRig rig;
    rig.block().StartDump(QStringLiteral("run-3"));
    QVERIFY2(rig.runInfoText().contains(QStringLiteral(",\"id\":run-3,")), qPrintable(rig.runInfoText()));
}

void DataDumperTest::startDumpResetsTheCountersAndStartDumpCommandDoesNot()
{
    DumperRig rig;
    runFolder(QStringLiteral("c"));
    rig.block().ConfigureDump(1000, QStringLiteral("CSV"), m_storage->path());
    rig.block().StartDump(QStringLiteral("c"));
    rig.push(numberedEvents(3, 1));
    QTRY_COMPARE(rig.storedEvents(), qint64(3));
    rig.block().StopDump();
    rig.command(QStringLiteral(R"({"cmd":"start_dump"})"));
    QCOMPARE(rig.storedEvents(), qint64(3));
    rig.block().StartDump(QStringLiteral("c"));
    QCOMPARE(rig.storedEvents(), qint64(0));
    QCOMPARE(rig.runInfoField("used_space").toInt(), 0);
    QCOMPARE(rig.runInfoField("running_time").toDouble(), 0.0);
}

void DataDumperTest::statisticsFileGetsItsHeaderOncePerDataFile()
{
    DumperRig rig;
    const QString folder = runFolder(QStringLiteral("st"));
    rig.block().ConfigureDump(1000, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("st"));
    const QString header = QStringLiteral("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte");

    quint64 nextTimestamp = 0;
    auto statLines = [&](int index) {
        QString text = QString::fromLatin1(readFile(folder + QStringLiteral("/list_%1.stat").arg(index)));
        if (text == QLatin1String("<missing>"))
            return QStringList();
        return text.split('\n');
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
