// The file-writing blocks in-process (data dumper, oscilloscope, rate-counter
// sink): the bytes of their files for known inputs, built here field by field,
// roll-over, run statistics, their run control (start, pause, restart, stop,
// orderly stop) and their replies.
#include "blocks/dumper/data_dumper.h"
#include "blocks/oscilloscope/oscilloscope.h"
#include "blocks/rate_counters/sink_rate_counter.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

using namespace block_test;

namespace {
const QString kAccepted = QStringLiteral("[{\"response\": true}]");
const QString kRefused = QStringLiteral("[{\"response\": false}]");

QByteArray csvNumber(double v) { return QByteArray::number(v, 'g', 6); }

// Waits until more than `ms` milliseconds have passed on a clock started now.
// The oscilloscope's dump interval in the tests that record waveforms.
constexpr int kDumpTimeMs = 250;

void waitLongerThan(int ms)
{
    QElapsedTimer clock;
    clock.start();
    QTest::qWaitFor([&] { return clock.elapsed() > ms; }, ms + 5000);
}

// A 16-byte BIN header of the waveform and rate files: magic, 4 zero bytes, creation time (u64 seconds).
bool binaryHeaderOk(const QByteArray& bytes, const char* magic, quint64 before)
{
    quint64 seconds = 0;
    for (int i = 0; i < 8; ++i)
        seconds |= quint64(quint8(bytes.at(8 + i))) << (8 * i);
    return bytes.left(8) == QByteArray(magic) + QByteArray(4, '\0') && seconds + 1 >= before   // time() may trail the fine clock
           && seconds <= quint64(QDateTime::currentSecsSinceEpoch());
}

// ---- data dumper
struct Energy { quint64 ts; quint32 channel, raw; quint8 flag1, flag2; };

DataPacket* listPacket(const QVector<Energy>& events, QuarixPayload* extra = nullptr)
{
    auto* packet = new DataPacket(QStringLiteral("energy"), 0);
    for (const Energy& e : events) {
        auto* p = new QuarixPayload_Energy;
        p->timestamp = e.ts;
        p->channel = e.channel;
        p->energy_raw = e.raw;
        p->flag1 = e.flag1;
        p->flag2 = e.flag2;
        p->energy = 1.5;
        packet->items.push_back(p);
    }
    if (extra)
        packet->items.push_back(extra);
    return packet;
}
QVector<Energy> numbered(int count, quint64 first = 0)
{
    QVector<Energy> events;
    for (quint64 t = first; t < first + quint64(count); ++t)
        events.append({t, quint32(t % 8), quint32(t * 37 % 4096), quint8(t % 2), quint8(t / 2 % 2)});
    return events;
}

// ---- rate counters
QuarixPayload_RateCounters* snapshot(quint64 timestamp, int seed)
{
    auto* s = new QuarixPayload_RateCounters(2);
    s->timestamp = timestamp;
    for (int i = 0; i < 2; ++i) {
        (*s->rates_in)[i] = seed * 100 + i + 0.5;
        (*s->counters_in)[i] = (quint64(1) << 33) + quint64(seed * 10 + i);   // beyond 32 bits
        (*s->rates_out)[i] = (seed * 100 + i) * 0.25;
        (*s->counters_out)[i] = quint64(seed * 1000 + i);
        (*s->rates_in_start)[i] = i * 1.5;
        (*s->rates_out_start)[i] = i / 3.0;
    }
    return s;
}
DataPacket* ratePacket(std::initializer_list<QuarixPayload_RateCounters*> snapshots)
{
    auto* packet = new DataPacket(QStringLiteral("rate_counters"), 0);
    packet->items.assign(snapshots.begin(), snapshots.end());
    return packet;
}
// The record of snapshot(_, seed) in the rate file, T milliseconds after the file was opened.
QByteArray rateRecord(const QString& type, qint64 t, int seed, bool first)
{
    std::unique_ptr<QuarixPayload_RateCounters> s(snapshot(0, seed));
    if (type == "BIN") {
        QByteArray out = le(quint64(t), 8) + le(2, 4);
        for (auto* rates : {s->rates_in, s->rates_out})
            for (double r : *rates)
                out += leFloat(float(r));
        for (auto* counts : {s->counters_in, s->counters_out})
            for (quint64 c : *counts)
                out += le(c, 8);
        return out;
    }
    QByteArrayList lists;
    for (auto* rates : {s->rates_in, s->rates_out})
        lists << csvNumber((*rates)[0]) + ',' + csvNumber((*rates)[1]);
    for (auto* counts : {s->counters_in, s->counters_out})
        lists << QByteArray::number(qulonglong((*counts)[0])) + ',' + QByteArray::number(qulonglong((*counts)[1]));
    if (type == "CSV")
        return QByteArray::number(t) + ',' + lists.join(',') + '\n';
    return QByteArray(first ? "" : ",") + "{\"timestamp\":" + QByteArray::number(t) + ",\"rate_in\":[" + lists[0] + "],\"rate_out\":["
           + lists[1] + "],\"counts_in\":[" + lists[2] + "],\"counts_out\":[" + lists[3] + "]}";
}

// ---- oscilloscope: two channels, four samples, one analog and two digital traces each
QuarixPayload_Waves* waveGroup(quint64 timestamp, double offset = 0)
{
    auto* group = new QuarixPayload_Waves;
    group->timestamp = timestamp;
    group->n_samples = 4;
    const std::vector<double> analog[2] = {{-3.7, 1.5, 1234567.0, 0.0001}, {2.0, -0.5, 100.25, -1e-7}};
    const std::vector<uint32_t> digital[2] = {{0, 1, 2, 7}, {3, 2, 1, 4}};   // bit 2 lies beyond the two traces
    for (int c = 0; c < 2; ++c) {
        auto* wave = new QuarixPayload_Wave;
        wave->analog = new std::vector<double>(analog[c]);
        for (double& v : *wave->analog)
            v += offset;
        wave->digital = new std::vector<uint32_t>(digital[c]);
        group->waves.push_back(wave);
    }
    return group;
}
DataPacket* wavePacket(QuarixPayload_Waves* group)
{
    auto* packet = new DataPacket(QStringLiteral("waveform"), group->timestamp);
    packet->items.push_back(group);
    return packet;
}
QJsonArray scopeGeometry(int digital = 2)
{
    return {parameter("sample_number", 4), parameter("ch_number", 2), parameter("ch_analog", 1), parameter("ch_digital", digital)};
}

void addFileTypes()
{
    QTest::addColumn<QString>("type");
    for (const char* type : {"BIN", "CSV", "JSON"})
        QTest::newRow(type) << QString(type);
}

// Each writer behind one interface, so that run control is tested once for all three.
struct Writer {
    virtual ~Writer() = default;
    virtual QuarixBlock& block() = 0;
    virtual RecordingControl& control() = 0;
    virtual void push(DataPacket* packet) = 0;
    virtual DataPacket* recordMessage(int i) = 0;   // a message that makes one record while running
    virtual QString file(const QString& runId) = 0;
    virtual QByteArray marker() = 0;                // the start of every JSON record
    // Waits until the worker is done with message i.
    virtual bool waitHandled(int i) = 0;
    // Waits until message i is handled, the file then holding n records.
    virtual bool waitRecorded(const QString& runId, int i, int n)
    {
        return waitHandled(i) && QTest::qWaitFor([&] { return readFile(file(runId)).count(marker()) == n; }, 5000);
    }
    void record(int i) { push(recordMessage(i)); }
    QTemporaryDir storage;
};
template <typename Block>
struct WriterOf : Writer {
    WriterOf(const QJsonObject& e) : rig(e) {}
    QuarixBlock& block() override { return rig.block(); }
    RecordingControl& control() override { return rig.block(); }
    void push(DataPacket* packet) override { rig.push(packet); }
    QString file(const QString& runId) override { return storage.path() + '/' + runId + '/' + rig.block().Name() + "_0.json"; }
    Rig<Block> rig;
};
struct DumperWriter : WriterOf<DataDumper> {
    DumperWriter() : WriterOf(entry("list")) {}
    DataPacket* recordMessage(int i) override { return energyPacket({{0, 0, quint64(i)}}); }
    QByteArray marker() override { return "{\"timestamp\""; }
    bool waitHandled(int) override { return Rig<DataDumper>::waitUntilConsumed(); }
};
struct RateWriter : WriterOf<SinkRateCounter> {
    RateWriter() : WriterOf(entry("rates", {}, "rate_counters")) {}
    DataPacket* recordMessage(int i) override { return ratePacket({snapshot(quint64(i), i)}); }
    QByteArray marker() override { return "{\"timestamp\""; }
    // The latest snapshot changes after the message's run state was read.
    bool waitHandled(int i) override
    {
        const QString latest = request({QJsonObject{{"cmd", "get_data"}}, QJsonObject{{"source", "immediate"}}});
        return QTest::qWaitFor([&] { return rig.ask(latest).contains(QStringLiteral("\"timestamp\":%1,").arg(i)); }, 5000);
    }
};
// A record is written by the first message more than dump_time (1 ms) after the file was opened
// or the previous record; the first message of a run (number 0 here) only opens the file.
struct ScopeWriter : WriterOf<Oscilloscope> {
    ScopeWriter() : WriterOf(entry("scope", scopeGeometry(), "waveform")) { rig.ask(R"({"cmd":"set_channel","ch_enable":[1,0]})"); }
    // The worker's interval starts when it handles the previous message: wait for that, then some margin.
    DataPacket* recordMessage(int i) override
    {
        if (m_last >= 0 && !waitHandled(m_last))
            qWarning("message %d was not handled", m_last);   // the record count then fails
        waitLongerThan(3);
        m_last = i;
        return wavePacket(waveGroup(quint64(i), 1000 * i));
    }
    int m_last = -1;
    QByteArray marker() override { return "{\"n_channels\""; }
    // Short records stay in the file's buffer until it closes: only the traces show what was handled.
    bool waitRecorded(const QString&, int i, int) override { return waitHandled(i); }
    // The traces change after the message's run state was read.
    bool waitHandled(int i) override
    {
        const QString first = QStringLiteral("[{\"data\":[%1,").arg(-3.7 + 1000 * i, 0, 'g', 6);
        return QTest::qWaitFor([&] { return rig.ask(R"({"cmd":"require_data"})").startsWith(first); }, 5000);
    }
};
std::unique_ptr<Writer> makeWriter(const QString& kind)
{
    if (kind == "dumper")
        return std::make_unique<DumperWriter>();
    if (kind == "rates")
        return std::make_unique<RateWriter>();
    return std::make_unique<ScopeWriter>();
}
}  // namespace

class TestWriters : public QObject {
    Q_OBJECT
private slots:
    void runControl_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("dumper") << "dumper";
        QTest::newRow("oscilloscope") << "scope";
        QTest::newRow("rate sink") << "rates";
    }
    // Start writes, pause drops, restart appends to the same file, stop closes it at the next
    // message (which is not recorded), a new run gets its own file, and the orderly stop closes it.
    void runControl()
    {
        QFETCH(QString, kind);
        auto w = makeWriter(kind);
        QDir(w->storage.path()).mkpath("r1");
        QDir(w->storage.path()).mkpath("r2");
        w->control().configureRecording(1000, 1, "JSON", w->storage.path());
        w->control().startRecording("r1");
        if (kind == "scope")
            w->record(0);   // opens the file
        w->record(1);
        QVERIFY(w->waitRecorded("r1", 1, 1));
        w->control().pauseRecording();
        w->record(2);
        QVERIFY(w->waitHandled(2));
        w->control().restartRecording();
        w->record(3);
        QVERIFY(w->waitRecorded("r1", 3, 2));
        w->control().stopRecording();
        QVERIFY(!readFile(w->file("r1")).endsWith(']'));   // still open until the next message
        w->record(4);
        QTRY_VERIFY(readFile(w->file("r1")).endsWith(']'));
        const QJsonArray records = QJsonDocument::fromJson(readFile(w->file("r1"))).array();
        QCOMPARE(records.size(), 2);
        if (kind != "rates")   // the rate file stamps records with its own clock
            QCOMPARE(records.at(1).toObject().value("timestamp").toInt(), 3);
        w->control().startRecording("r2");
        if (kind == "scope")
            w->record(0);
        w->record(5);
        QVERIFY(w->waitRecorded("r2", 5, 1));
        w->block().shutdown();
        QCOMPARE(QJsonDocument::fromJson(readFile(w->file("r2"))).array().size(), 1);
        QCOMPARE(QDir(w->storage.path() + "/r1").entryList(QDir::Files).filter(QRegularExpression("json$")).size(), 1);
    }

    // The dumper's list files: BIN records are 25 little-endian bytes, other payloads their own forms.
    void dumperFileBytes_data() { addFileTypes(); }
    void dumperFileBytes()
    {
        QFETCH(QString, type);
        RunStorage storage;
        Rig<DataDumper> rig(entry("list"));
        const quint64 before = quint64(QDateTime::currentSecsSinceEpoch());
        rig.block().ConfigureDump(1000, type, storage.path());
        rig.block().StartDump(QStringLiteral("7"));
        const QString folder = storage.runFolder("7");
        const QVector<Energy> events{{0x0102030405060708ULL, 3, 1024, 1, 0}, {18446744073709551615ULL, 4294967295u, 0, 1, 1},
                                     {5, 0, 4294967295u, 0, 1}};
        auto* rates = new QuarixPayload_RateCounters(2);
        rates->timestamp = 42;
        *rates->rates_in = {12.5, 2.0};
        *rates->counters_in = {0x100000005ULL, 20};   // BIN keeps the low 32 bits
        *rates->rates_out = {10.25, 1e6};
        *rates->counters_out = {9, 18};
        rig.push(listPacket(events.mid(0, 2)));
        rig.push(listPacket(events.mid(2), rates));
        rig.block().shutdown();

        QByteArray expected;
        const QByteArray file = readFile(folder + "/list_0." + type.toLower());
        if (type == "BIN") {
            QVERIFY(file.startsWith("QRXS"));
            const quint64 created = file.mid(4, 10).toULongLong();
            QVERIFY(created + 1 >= before && created <= quint64(QDateTime::currentSecsSinceEpoch()));
            expected = file.left(14);
            for (const Energy& e : events)
                expected += le(e.ts, 8) + le(e.channel, 8) + le(e.raw, 8) + char(e.flag2 * 2 + e.flag1);
            expected += le(42, 8) + le(2, 8) + leFloat(12.5) + le(5, 4) + leFloat(10.25) + le(9, 4) + leFloat(2.0) + le(20, 4)
                        + leFloat(1e6) + le(18, 4);
        } else if (type == "CSV") {
            for (const Energy& e : events)
                expected += QByteArray::number(e.ts) + ',' + QByteArray::number(e.channel) + ',' + QByteArray::number(e.raw) + ",\n";
            expected += "42,2,12.500000,4294967301,10.250000,9,2.000000,20,1000000.000000,18,\n";
        } else {
            QByteArrayList records;
            for (const Energy& e : events)
                records << "{\"timestamp\":" + QByteArray::number(e.ts) + ",\"channel\":" + QByteArray::number(e.channel)
                               + ",\"energy_raw\":" + QByteArray::number(e.raw) + "}\n";
            records << "{\"timestamp\":42,\"nchannels\":2,\"rates_in\": [ 12.500000,2.000000], \"counters_in\": [ 4294967301,20], "
                       "\"rates_out\": [ 10.250000,1000000.000000], \"counters_out\": [ 9,18] }\n";
            expected = '[' + records.join(",\n") + ']';
        }
        QCOMPARE(file, expected);
    }

    // A file ends with the message that takes it beyond dump_events.
    void dumperRollsOverAfterTheMessageBeyondTheLimit_data()
    {
        QTest::addColumn<int>("limit");
        QTest::addColumn<QList<int>>("linesPerFile");   // three messages of two events
        QTest::newRow("limit 3") << 3 << QList<int>{4, 2};
        QTest::newRow("limit 4") << 4 << QList<int>{6};
        QTest::newRow("limit 1") << 1 << QList<int>{2, 2, 2};
    }
    void dumperRollsOverAfterTheMessageBeyondTheLimit()
    {
        QFETCH(int, limit);
        QFETCH(QList<int>, linesPerFile);
        RunStorage storage;
        Rig<DataDumper> rig(entry("list"));
        rig.block().ConfigureDump(limit, "CSV", storage.path());
        rig.block().StartDump("r");
        const QString folder = storage.runFolder("r");
        for (int m = 0; m < 3; ++m)
            rig.push(listPacket(numbered(2, quint64(2 * m))));
        rig.block().shutdown();
        QList<int> lines;
        for (const QString& name : QDir(folder).entryList({"*.csv"}, QDir::Files, QDir::Name))
            lines << readFile(folder + '/' + name).count('\n');
        QCOMPARE(lines, linesPerFile);
    }

    // Run information and, once more than a second has passed, a line of the statistics file.
    void dumperRunStatistics()
    {
        RunStorage storage;
        Rig<DataDumper> rig(entry("list"));
        auto info = [&] {
            QString text = "[";
            rig.block().GetRunInfo(&text);
            return text;
        };
        QCOMPARE(info(), QStringLiteral(R"([{"status":0,"name": "list","event_rate":0,"id":0,"stored_events":0,"running_time":0,"used_space":0})"));
        rig.block().ConfigureDump(1000, "BIN", storage.path());
        rig.block().StartDump("run-3");
        const QString folder = storage.runFolder("run-3");
        rig.push(listPacket(numbered(3)));
        const QRegularExpression shape(R"(^\[\{"status":1,"name": "list","event_rate":0,"id":"run-3","stored_events":3,"running_time":[0-9.e-]+,"used_space":89\}$)");
        QTRY_VERIFY2(shape.match(info()).hasMatch(), qPrintable(info()));
        waitLongerThan(1000);
        rig.push(listPacket(numbered(2, 3)));
        QTRY_VERIFY(QFile::exists(folder + "/list_0.stat"));
        const QList<QByteArray> lines = readFile(folder + "/list_0.stat").split('\n');
        QCOMPARE(lines.size(), 3);   // header, one line, and the file ends with a line end
        QCOMPARE(lines[0], QByteArray("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte"));
        const QList<QByteArray> fields = lines[1].split(',');
        QCOMPARE(fields.size(), 4);
        const double runningTime = fields[0].toDouble(), rate = fields[2].toDouble();
        QVERIFY2(runningTime > 1.0 && runningTime < 10.0, lines[1]);
        QCOMPARE(fields[1], QByteArray("5"));
        QVERIFY2(qAbs(rate - 5 / runningTime) <= 0.05 * rate, lines[1]);   // events per second
        QCOMPARE(fields[3], QByteArray::number(14 + 5 * 25));
        QTRY_VERIFY(info().contains(QStringLiteral("\"event_rate\":%1,").arg(QString::fromLatin1(fields[2]))));
        rig.block().StopDump();
        rig.block().StartDump("7");
        QVERIFY(info().startsWith(R"([{"status":1,"name": "list","event_rate":0,"id":7,"stored_events":0,"running_time":0,"used_space":0})"));
    }

    // The limits every writer checks, and the replies of the run commands.
    void dumpCommandReplies_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::newRow("events 1") << R"({"cmd":"set_dump_events","dump_events":1})" << kAccepted;
        QTest::newRow("events 0") << R"({"cmd":"set_dump_events","dump_events":0})" << kRefused;
        QTest::newRow("events 2^31-1") << R"({"cmd":"set_dump_events","dump_events":2147483647})" << kAccepted;
        QTest::newRow("events 2^31") << R"({"cmd":"set_dump_events","dump_events":2147483648})" << kRefused;
        QTest::newRow("events 2.5") << R"({"cmd":"set_dump_events","dump_events":2.5})" << kRefused;
        QTest::newRow("events text") << R"({"cmd":"set_dump_events","dump_events":"5"})" << kRefused;
        QTest::newRow("time one day") << R"({"cmd":"set_dump_time","dump_time":86400000})" << kAccepted;
        QTest::newRow("time beyond") << R"({"cmd":"set_dump_time","dump_time":86400001})" << kRefused;
        QTest::newRow("type") << R"({"cmd":"set_dump_type","file_type":"CSV"})" << kAccepted;
        QTest::newRow("path outside the storage") << R"({"cmd":"set_dump_path","file_path":"/"})" << kRefused;
        QTest::newRow("start") << R"({"cmd":"start_dump"})" << kAccepted;
        QTest::newRow("unknown") << R"({"cmd":"restart_dump"})" << "";
        QTest::newRow("not JSON") << "start_dump" << "";
    }
    void dumpCommandReplies()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        RunStorage storage;
        Rig<DataDumper> rig(entry("list"), storage.path());
        QCOMPARE(rig.ask(message), reply);
    }

    // The oscilloscope's waveform records: the digital word of each sample rebuilt from its traces.
    void oscilloscopeFileBytes_data() { addFileTypes(); }
    void oscilloscopeFileBytes()
    {
        QFETCH(QString, type);
        RunStorage storage;
        Rig<Oscilloscope> rig(entry("scope", scopeGeometry(), "waveform"));
        const quint64 before = quint64(QDateTime::currentSecsSinceEpoch());
        // The dump interval is long enough that the first group, which opens
        // the file, is never also recorded, however slow the machine.
        rig.block().ConfigureDump(10, kDumpTimeMs, type, storage.path());
        rig.block().StartDump("9");
        const QString path = storage.runFolder("9") + "/scope_0." + type.toLower();
        rig.push(wavePacket(waveGroup(1, 5)));   // opens the file, records nothing
        QTRY_VERIFY(QFile::exists(path));
        waitLongerThan(kDumpTimeMs);
        rig.push(wavePacket(waveGroup(0x1122334455ULL)));
        rig.block().shutdown();
        const QByteArray file = readFile(path);
        const quint32 words[2][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}};
        QByteArray expected;
        if (type == "BIN") {
            QVERIFY(binaryHeaderOk(file, "QRXO", before));
            expected = file.left(16) + le(2, 4) + le(4, 4) + le(1, 4) + le(2, 4) + le(0, 4) + le(1, 4) + le(0x1122334455ULL, 8);
            const double analog[2][4] = {{-3.7, 1.5, 1234567.0, 0.0001}, {2.0, -0.5, 100.25, -1e-7}};
            for (int c = 0; c < 2; ++c) {
                for (double v : analog[c])
                    expected += leFloat(v);
                for (quint32 w : words[c])
                    expected += le(w, 4);
            }
        } else if (type == "CSV") {
            expected = "2,4,1,2,73588229205,-3.7,1.5,1.23457e+06,0.0001,0,1,2,3,2,-0.5,100.25,-1e-07,3,2,1,0,\n";
        } else {
            expected = "[{\"n_channels\":2,\"n_samples\":4,\"n_analog\":1,\"n_digital\":2,\"timestamp\":73588229205,\"channels\":["
                       "{\"analog_traces\": [-3,1,1234567,0],\"digital_traces\": [0,1,2,3]},"
                       "{\"analog_traces\": [2,0,100,0],\"digital_traces\": [3,2,1,0]}]}]";
        }
        QCOMPARE(file, expected);
    }

    // A waveform file holds dump_events + 1 records.
    void oscilloscopeRollsOverAfterDumpEventsPlusOneRecords()
    {
        RunStorage storage;
        Rig<Oscilloscope> rig(entry("scope", scopeGeometry(), "waveform"));
        rig.block().ConfigureDump(1, kDumpTimeMs, "CSV", storage.path());
        rig.block().StartDump("roll");
        const QString folder = storage.runFolder("roll");
        rig.push(wavePacket(waveGroup(0)));
        QTRY_VERIFY(QFile::exists(folder + "/scope_0.csv"));
        for (int i = 1; i <= 3; ++i) {
            waitLongerThan(kDumpTimeMs);
            rig.push(wavePacket(waveGroup(quint64(i))));
            QTRY_COMPARE(readFile(folder + "/scope_0.csv").count('\n') + qMax(0, readFile(folder + "/scope_1.csv").count('\n')), i);
        }
        rig.block().shutdown();
        QCOMPARE(readFile(folder + "/scope_0.csv").count('\n'), 2);
        QCOMPARE(readFile(folder + "/scope_1.csv").count('\n'), 1);
        QVERIFY(!QFile::exists(folder + "/scope_2.csv"));
    }

    // Live traces of the enabled channels: the analog trace, then one trace per digital bit.
    void oscilloscopeTraces_data()
    {
        QTest::addColumn<QString>("enable");
        QTest::addColumn<QString>("reply");
        const QString c0 = R"({"data":[-3.7,1.5,1.23457e+06,0.0001]},{"data":[0,1,0,1]},{"data":[0,0,1,1]})";
        const QString c1 = R"({"data":[2,-0.5,100.25,-1e-07]},{"data":[1,0,1,0]},{"data":[1,1,0,0]})";
        QTest::newRow("both") << "[1,1]" << '[' + c0 + ',' + c1 + ']';
        QTest::newRow("second") << "[0,1]" << '[' + c1 + ']';
        QTest::newRow("only the number 1 enables") << "[true,2]" << "[]";
        QTest::newRow("beyond the channels") << "[1,0,1]" << '[' + c0 + ']';
    }
    void oscilloscopeTraces()
    {
        QFETCH(QString, enable);
        QFETCH(QString, reply);
        Rig<Oscilloscope> rig(entry("scope", scopeGeometry(), "waveform"));
        QCOMPARE(rig.ask(R"({"cmd":"require_data"})"), QStringLiteral("[]"));   // nothing enabled at first
        rig.push(wavePacket(waveGroup(1)));
        rig.block().shutdown();   // the group is in the buffers from here on
        QCOMPARE(rig.ask(QStringLiteral(R"({"cmd":"set_channel","ch_enable":%1})").arg(enable)), kAccepted);
        QCOMPARE(rig.ask(R"({"cmd":"require_data"})"), reply);
    }

    void oscilloscopeRefusesMoreThan32DigitalTraces()
    {
        Rig<Oscilloscope> rig(entry("scope", scopeGeometry(33), "waveform"));
        QVERIFY2(rig.block().configurationError().startsWith(R"(key "ch_digital": must be at most 32)"), qPrintable(rig.block().configurationError()));
        Rig<Oscilloscope> widest(entry("scope", scopeGeometry(32), "waveform"));
        QCOMPARE(widest.block().configurationError(), QString());
    }

    // The rate file: T is the milliseconds since the file was opened.
    void rateFileBytes_data() { addFileTypes(); }
    void rateFileBytes()
    {
        QFETCH(QString, type);
        RunStorage storage;
        Rig<SinkRateCounter> rig(entry("rates", {}, "rate_counters"));
        const quint64 before = quint64(QDateTime::currentSecsSinceEpoch());
        rig.block().ConfigureDump(0, type, storage.path());
        rig.block().StartDump("r");
        const QString path = storage.runFolder("r") + "/rates_0." + type.toLower();
        QElapsedTimer sinceStart;
        sinceStart.start();
        rig.push(ratePacket({snapshot(100, 1), snapshot(101, 2)}));
        QTRY_VERIFY(QFile::exists(path));
        waitLongerThan(60);
        rig.push(ratePacket({snapshot(102, 3)}));
        rig.block().shutdown();
        const qint64 bound = sinceStart.elapsed();
        const QByteArray file = readFile(path);

        // The record times, read back, then checked against the clock of the test.
        QList<qint64> t;
        QByteArray expected;
        if (type == "BIN") {
            QVERIFY(binaryHeaderOk(file, "QRXR", before));
            expected = file.left(16);
            for (int i = 0; i < 3 && file.size() >= 16 + (i + 1) * 60; ++i)
                t << qint64(qFromLittleEndian<quint64>(file.constData() + 16 + i * 60));
        } else {
            QString text = QString::fromLatin1(file);
            QRegularExpressionMatchIterator it = QRegularExpression(type == "CSV" ? "\n(\\d+)," : "\"timestamp\":(\\d+)").globalMatch(text);
            while (it.hasNext())
                t << it.next().captured(1).toLongLong();
        }
        QCOMPARE(t.size(), 3);
        QVERIFY2(t[0] >= 0 && t[1] >= t[0] && t[2] - t[1] >= 60 && t[2] <= bound, qPrintable(QString::number(t[2])));
        if (type == "CSV") {
            QByteArray header = "timestamp";
            for (const char* group : {"rate_in_ch:rate_in_T0", "rate_out_ch:DUMMY1", "counts_in_ch:counts_in_T0", "counts_out_ch:DUMMY2"}) {
                const QList<QByteArray> names = QByteArray(group).split(':');
                for (int i = 0; i < 32; ++i)
                    header += ',' + names[0] + QByteArray::number(i);
                header += ',' + names[1];
            }
            expected = header + '\n';
        }
        if (type == "JSON")
            expected = "[";
        for (int i = 0; i < 3; ++i)
            expected += rateRecord(type, t[i], i + 1, i == 0);
        if (type == "JSON")
            expected += "]";
        QCOMPARE(file, expected);
    }

    // The latest snapshot and the history (newest first, at most 10001; "reset" empties it).
    void rateSinkReplies()
    {
        Rig<SinkRateCounter> rig(entry("rates", {}, "rate_counters"));
        const QString latest = request({QJsonObject{{"cmd", "get_data"}}, QJsonObject{{"source", "immediate"}}});
        const QString history = request({QJsonObject{{"cmd", "get_data"}, {"source", "data"}}});
        QCOMPARE(rig.ask(latest), QStringLiteral(R"({"status": "nodata"})"));
        QCOMPARE(rig.ask(history), QStringLiteral(R"({"data":[]})"));
        rig.push(ratePacket({snapshot(5, 1), snapshot(77, 2)}));
        QTRY_VERIFY(rig.ask(latest).contains("\"timestamp\":77,"));
        QCOMPARE(rig.ask(latest), QStringLiteral(R"({"status": "ok", "timestamp":77,"rates_in":[200.5,201.5],"counts_in":[8589934612,8589934613],)"
                                                 R"("rates_out":[50,50.25],"counts_out":[2000,2001],"rates_in_start":[0,1.5],"rates_out_start":[0,0.333333]})"));
        QCOMPARE(rig.ask(history), QStringLiteral(R"({"data":[{"timestamp":77,"rates_in":[200.5,201.5],"counts_in":[8589934612,8589934613],)"
                                                  R"("rates_out":[50,50.25],"counts_out":[2000,2001]},{"timestamp":5,"rates_in":[100.5,101.5],)"
                                                  R"("counts_in":[8589934602,8589934603],"rates_out":[25,25.25],"counts_out":[1000,1001]}]})"));
        QCOMPARE(rig.ask(command("reset")), kAccepted);
        QCOMPARE(rig.ask(history), QStringLiteral(R"({"data":[]})"));
        QVERIFY(rig.ask(latest).contains("\"timestamp\":77,"));

        auto* many = new DataPacket(QStringLiteral("rate_counters"), 0);
        for (quint64 t = 1; t <= 10002; ++t)
            many->items.push_back(new QuarixPayload_RateCounters(0));
        for (quint64 t = 1; t <= 10002; ++t)
            many->items[t - 1]->timestamp = t;
        rig.push(many);
        QTRY_VERIFY(rig.ask(latest).contains("\"timestamp\":10002,"));
        const QJsonArray kept = QJsonDocument::fromJson(rig.ask(history).toUtf8()).object().value("data").toArray();
        QCOMPARE(kept.size(), 10001);
        QCOMPARE(kept.first().toObject().value("timestamp").toInt(), 10002);
        QCOMPARE(kept.last().toObject().value("timestamp").toInt(), 2);
    }
};

QTEST_GUILESS_MAIN(TestWriters)
#include "tst_writers.moc"
