// The oscilloscope in-process: waveform groups pushed through a pin of the test, live
// traces read with "require_data", and the waveform files compared byte for byte.
// A record is written by the first message handled more than dump_time ms after the
// file was opened or the previous record: the tests start their clock after a moment
// they can observe after the worker's, so once theirs passes dump_time the worker's has too.
#include "blocks/oscilloscope/oscilloscope.h"
#include "block_test_rig.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"
#include "log_capture.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <vector>

using namespace block_test;

namespace {

struct WaveSpec {
    std::vector<double> analog;
    std::vector<uint32_t> digital;
};
using Waves = std::vector<WaveSpec>;

// Two channels, four samples; the values show the number forms of each file type.
const Waves kTwoChannels{{{-3.7, 1.5, 1234567.0, 0.0001}, {0, 1, 2, 3}}, {{2.0, -0.5, 100.25, -1e-7}, {3, 2, 1, 0}}};
const quint64 kTimestamp = 0x1122334455ULL;
// The live traces of each channel of kTwoChannels: analog, then the two digital traces.
const QString kChannel0 = QStringLiteral(R"({"data":[-3.7,1.5,1.23457e+06,0.0001]},{"data":[0,1,0,1]},{"data":[0,0,1,1]})");
const QString kChannel1 = QStringLiteral(R"({"data":[2,-0.5,100.25,-1e-07]},{"data":[1,0,1,0]},{"data":[1,1,0,0]})");
const QString kTwoChannelTraces = '[' + kChannel0 + ',';
// Other values, to tell in the traces which group was handled last.
const Waves kOther{{{5, 5, 5, 5}, {0, 0, 0, 0}}, {{6, 6, 6, 6}, {0, 0, 0, 0}}};
const QString kOtherTraces = QStringLiteral("[{\"data\":[5,5,5,5]},");
const QString kAccepted = QStringLiteral("[{\"response\": true}]");
const QString kEnableBoth = QStringLiteral(R"({"cmd":"set_channel","ch_enable":[1,1]})");

// The BIN record of a snapshot with A = 1 and D digital traces.
QByteArray binRecord(const Waves& channels, quint32 samples, quint32 digital, quint64 timestamp)
{
    QByteArray out = le(channels.size(), 4) + le(samples, 4) + le(1, 4) + le(digital, 4) + le(0, 4) + le(1, 4)
                     + le(timestamp, 8);
    for (const WaveSpec& channel : channels) {
        for (double value : channel.analog)
            out += leDouble(value);
        for (uint32_t word : channel.digital)
            out += le(word, 4);
    }
    return out;
}

const QByteArray kCsvRecord =
    "2,4,1,2,73588229205,-3.7,1.5,1.23457e+06,0.0001,0,1,2,3,2,-0.5,100.25,-1e-07,3,2,1,0,\n";
const QByteArray kJsonRecord =
    "{\"n_channels\":2,\"n_samples\":4,\"n_analog\":1,\"n_digital\":2,\"timestamp\":73588229205,\"channels\":["
    "{\"analog_traces\": [-3,1,1234567,0],\"digital_traces\": [0,1,2,3]},"
    "{\"analog_traces\": [2,0,100,0],\"digital_traces\": [3,2,1,0]}]}";

int lineCount(const QString& path)
{
    return QFile::exists(path) ? readFile(path).count('\n') : -1;
}

QJsonArray geometry(int samples, int channels, int analog, int digital)
{
    auto parameter = [](const char* name, int value) { return QJsonObject{{"param_name", name}, {"param_value", value}}; };
    return QJsonArray{parameter("sample_number", samples), parameter("ch_number", channels),
                      parameter("ch_analog", analog), parameter("ch_digital", digital)};
}

// Waits until `ms` have passed on a clock started now.
bool waitLongerThan(int ms)
{
    QElapsedTimer clock;
    clock.start();
    return QTest::qWaitFor([&] { return clock.elapsed() > ms; }, ms + 5000);
}

class ScopeRig : public UpstreamRig<Oscilloscope> {
public:
    explicit ScopeRig(const QJsonArray& parameters)
        : UpstreamRig("processing/0/filter_chain/wave/chain/scope", blockEntry("oscilloscope", "scope", "waveform", parameters)) {}
    ScopeRig(int samples, int channels, int analog, int digital) : ScopeRig(geometry(samples, channels, analog, digital)) {}

    void push(const Waves& waves, quint64 timestamp = kTimestamp, int samples = -1)
    {
        auto* group = new QuarixPayload_Waves;
        group->timestamp = timestamp;
        group->n_samples = samples >= 0 ? samples : (waves.empty() ? 0 : int(waves.front().analog.size()));
        for (const WaveSpec& spec : waves) {
            auto* wave = new QuarixPayload_Wave;
            wave->analog = new std::vector<double>(spec.analog);
            wave->digital = new std::vector<uint32_t>(spec.digital);
            group->waves.push_back(wave);
        }
        auto* packet = new DataPacket(QStringLiteral("waveform"), timestamp);
        packet->items.push_back(group);
        UpstreamRig::push(packet);
    }
    QString traces() { return command(QStringLiteral(R"({"cmd":"require_data"})")); }

    // Starts a run and waits until its first message (kOther, never recorded) has
    // opened file <name>_0.<type>; returns that path.
    QString startAndOpen(const QString& type, int dumpEvents, int dumpTime, const QString& runId)
    {
        const QString path = storage.runFolder(runId) + "/scope_0." + type.toLower();
        block().ConfigureDump(dumpEvents, dumpTime, type, storage.path());
        block().StartDump(runId);
        push(kOther);
        if (!QTest::qWaitFor([&] { return QFile::exists(path); }, 5000))
            qWarning() << "not opened:" << path;   // the test then fails on the file's contents
        return path;
    }
    // Pushes a group once the interval of the previous record (or of the opening) has passed.
    void record(int dumpTime, const Waves& waves, quint64 timestamp = kTimestamp)
    {
        QVERIFY(waitLongerThan(dumpTime));
        push(waves, timestamp);
    }

    RunStorage storage;
};

}  // namespace

class OscilloscopeTest : public QObject {
    Q_OBJECT

private slots:
    // The block itself
    void refusesAnUnusableGeometry_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<QString>("key");
        QJsonArray text = geometry(4, 2, 1, 2);
        text.append(QJsonObject{{"param_name", "ch_number"}, {"param_value", "2"}});   // later entry wins; not a number
        QTest::newRow("none") << QJsonArray() << "sample_number";
        QTest::newRow("ch_number 0") << geometry(4, 0, 1, 2) << "ch_number";
        QTest::newRow("ch_analog -1") << geometry(4, 2, -1, 2) << "ch_analog";
        QTest::newRow("ch_digital 0") << geometry(4, 2, 1, 0) << "ch_digital";
        QTest::newRow("ch_digital 33") << geometry(4, 2, 1, 33) << "ch_digital";
        QTest::newRow("ch_number text") << text << "ch_number";
    }
    void refusesAnUnusableGeometry()
    {
        QFETCH(QJsonArray, parameters);
        QFETCH(QString, key);
        ScopeRig rig(parameters);
        QVERIFY2(rig.block().configurationError().contains('"' + key + '"'), qPrintable(rig.block().configurationError()));
        // Pins exist, but no worker takes the data: an orderly stop leaves it queued.
        rig.push(kTwoChannels);
        rig.block().shutdown();
        QCOMPARE(rig.upstream().size(), 1);
        QCOMPARE(rig.traces(), QStringLiteral("[]"));
    }
    void interpretMessageRepliesToItsCommands_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        for (const char* set : {R"("set_channel","ch_enable":[0,0])", R"("set_dump_events","dump_events":3)",
                                 R"("set_dump_time","dump_time":3)", R"("set_dump_type","file_type":"CSV")",
                                 R"("start_dump")", R"("stop_dump")", R"("pause_dump")"})
            QTest::newRow(set) << QStringLiteral("{\"cmd\":%1}").arg(set) << kAccepted;
        QTest::newRow("path, no storage folder known") << R"({"cmd":"set_dump_path","file_path":"/tmp"})"
                                                       << QStringLiteral("[{\"response\": false}]");
        QTest::newRow("unknown") << R"({"cmd":"get_data"})" << QString();
        QTest::newRow("not JSON") << "require_data" << QString();
    }
    void interpretMessageRepliesToItsCommands()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        ScopeRig rig(4, 2, 1, 2);
        QCOMPARE(rig.command(message), reply);
    }

    // Live traces
    void traceReplyListsEnabledChannelsInOrder()
    {
        ScopeRig rig(4, 2, 1, 2);
        QCOMPARE(rig.traces(), QStringLiteral("[]"));   // no channel is enabled at first
        rig.command(kEnableBoth);
        QCOMPARE(rig.traces(), '[' + QVector<QString>(6, QStringLiteral("{\"data\":[0,0,0,0]}")).toList().join(',') + ']');
        rig.push(kTwoChannels);
        QTRY_COMPARE(rig.traces(), '[' + kChannel0 + ',' + kChannel1 + ']');
    }
    void setChannelEnablesOnlyTheNumberOne_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("reply");
        QTest::newRow("[1, true]") << "[1, true]" << '[' + kChannel0 + ']';
        QTest::newRow("[true, 1]") << "[true, 1]" << '[' + kChannel1 + ']';
        QTest::newRow("[\"1\", 2]") << "[\"1\", 2]" << "[]";
        QTest::newRow("[1.0, 1, 1] beyond N") << "[1.0, 1, 1]" << '[' + kChannel0 + ',' + kChannel1 + ']';
        QTest::newRow("[0] keeps channel 1") << "[0]" << '[' + kChannel1 + ']';   // flags beyond the array keep [1, 1]
        QTest::newRow("not an array") << "1" << '[' + kChannel0 + ',' + kChannel1 + ']';
    }
    void setChannelEnablesOnlyTheNumberOne()
    {
        QFETCH(QString, flags);
        QFETCH(QString, reply);
        ScopeRig rig(4, 2, 1, 2);
        rig.push(kTwoChannels);
        rig.block().shutdown();   // the buffers hold the group from here on
        rig.command(kEnableBoth);
        QCOMPARE(rig.command(QStringLiteral(R"({"cmd":"set_channel","ch_enable":%1})").arg(flags)), kAccepted);
        QCOMPARE(rig.traces(), reply);
    }
    void wavesAndSamplesBeyondTheGeometryAreIgnored()
    {
        ScopeRig rig(3, 1, 1, 1);
        rig.command(kEnableBoth);
        const Waves wide{{{1, 2, 3, 4, 5}, {1, 0, 1, 0, 1}}, {{7, 7, 7, 7, 7}, {1, 1, 1, 1, 1}}};
        rig.push(wide, 5);
        QTRY_COMPARE(rig.traces(), QStringLiteral("[{\"data\":[1,2,3]},{\"data\":[1,0,1]}]"));
        // A group shorter than the buffers overwrites only its own samples.
        rig.push({{{9, 9}, {0, 0}}}, 6, 2);
        QTRY_COMPARE(rig.traces(), QStringLiteral("[{\"data\":[9,9,3]},{\"data\":[0,0,1]}]"));

        // The record holds one channel (the group's waves, at most N) of S samples.
        const QString path = rig.startAndOpen("BIN", 10, 5, "9");
        rig.record(5, wide, 8);
        rig.block().shutdown();
        QCOMPARE(readFile(path).mid(16), binRecord({{{1, 2, 3}, {1, 0, 1}}}, 3, 1, 8));
    }
    void thirtyTwoDigitalTracesUseTheWholeWord()
    {
        ScopeRig rig(1, 1, 1, 32);
        rig.command(R"({"cmd":"set_channel","ch_enable":[1]})");
        const QString path = rig.startAndOpen("CSV", 10, 5, "w");
        rig.record(5, {{{0.5}, {0x80000001u}}}, 11);
        QTRY_COMPARE(readFile(path), QByteArray("1,1,1,32,11,0.5,2147483649,\n"));
        QStringList expected{QStringLiteral("{\"data\":[0.5]}"), QStringLiteral("{\"data\":[1]}")};
        for (int d = 1; d < 31; ++d)
            expected.append(QStringLiteral("{\"data\":[0]}"));
        expected.append(QStringLiteral("{\"data\":[1]}"));
        QCOMPARE(rig.traces(), '[' + expected.join(',') + ']');
    }

    // Recording (the digital word of each sample is rebuilt from its traces)
    void startsANewFileAfterDumpEventsPlusOneRecords_data()
    {
        QTest::addColumn<int>("dumpEvents");
        QTest::addColumn<QList<int>>("recordsPerFile");
        QTest::newRow("dump_events 0") << 0 << QList<int>{1, 1, 1};
        QTest::newRow("dump_events 1") << 1 << QList<int>{2, 1};
    }
    void startsANewFileAfterDumpEventsPlusOneRecords()
    {
        QFETCH(int, dumpEvents);
        QFETCH(QList<int>, recordsPerFile);
        ScopeRig rig(4, 2, 1, 2);
        const QString folder = rig.storage.runFolder("roll");
        auto path = [&](int index) { return folder + QStringLiteral("/scope_%1.csv").arg(index); };
        rig.startAndOpen("CSV", dumpEvents, 10, "roll");

        // Three records, each written once the interval after the one before has passed.
        for (int written = 1; written <= 3; ++written) {
            rig.record(10, kTwoChannels);
            QTRY_COMPARE(lineCount(path(0)) + qMax(lineCount(path(1)), 0) + qMax(lineCount(path(2)), 0), written);
        }
        rig.block().shutdown();
        for (int index = 0; index < recordsPerFile.size(); ++index)
            QCOMPARE(readFile(path(index)), kCsvRecord.repeated(recordsPerFile.at(index)));
        QVERIFY(!QFile::exists(path(recordsPerFile.size())));
    }
    void pauseKeepsTheFileOpenAndWritesNothing()
    {
        ScopeRig rig(4, 2, 1, 2);
        rig.command(kEnableBoth);
        const QString path = rig.startAndOpen("JSON", 10, 5, "p");
        rig.record(5, kTwoChannels);   // the traces show it only after its run state was read
        QTRY_VERIFY(rig.traces().startsWith(kTwoChannelTraces));
        rig.command(R"({"cmd":"pause_dump"})");
        rig.record(5, kOther);
        rig.push(kOther);
        rig.block().shutdown();
        // One record, and the file was still open to be closed.
        QCOMPARE(readFile(path), QByteArray('[' + kJsonRecord + ']'));
    }
    void stopClosesTheFileAtTheNextMessage()
    {
        LogCapture log;
        ScopeRig rig(4, 2, 1, 2);
        rig.command(kEnableBoth);
        const QString path = rig.startAndOpen("JSON", 0, 5, "s");
        rig.record(5, kTwoChannels);
        QTRY_VERIFY(rig.traces().startsWith(kTwoChannelTraces));

        rig.block().StopDump();
        QVERIFY(waitLongerThan(5));
        QCOMPARE(readFile(path), QByteArray());   // still open: nothing flushed yet
        rig.push(kOther);                         // closes the file; the file index goes back to 0
        QTRY_COMPARE(readFile(path), QByteArray('[' + kJsonRecord + ']'));
        QVERIFY(rig.traces().startsWith(kOtherTraces));

        // A new run of the same id finds scope_0 taken: it leaves it as it is and stops.
        rig.block().StartDump(QStringLiteral("s"));
        rig.push(kTwoChannels);
        rig.record(5, kTwoChannels);
        rig.block().shutdown();
        QCOMPARE(readFile(path), QByteArray('[' + kJsonRecord + ']'));
        QVERIFY(!QFile::exists(rig.storage.path() + "/s/scope_1.json"));
        const QString taken = QStringLiteral("Unable to open file  \"%1\"  errno:  \"%2\" ")
                                  .arg(path, QString::fromLocal8Bit(strerror(EEXIST)));
        QCOMPARE(log.lines().filter(taken).size(), 1);
    }
    void emptyMessageChangesNothing()
    {
        ScopeRig rig(4, 2, 1, 2);
        rig.command(kEnableBoth);
        const QString path = rig.startAndOpen("JSON", 10, 5, "e");
        const QString before = rig.traces();
        QVERIFY(waitLongerThan(5));
        rig.UpstreamRig::push(new DataPacket(QStringLiteral("waveform"), 0));   // past the interval, but nothing to record
        rig.block().shutdown();
        QCOMPARE(rig.upstream().size(), 0);
        QCOMPARE(readFile(path), QByteArray("[]"));   // a file without records still closes as a list
        QCOMPARE(rig.traces(), before);
    }
    void unknownTypeOpensNoFile()
    {
        ScopeRig rig(4, 2, 1, 2);
        const QString folder = rig.storage.runFolder("u");
        rig.block().ConfigureDump(0, 5, QStringLiteral("json"), rig.storage.path());
        rig.block().StartDump(QStringLiteral("u"));
        for (int i = 0; i < 3; ++i)
            rig.record(5, kTwoChannels);
        rig.block().shutdown();
        QCOMPARE(rig.upstream().size(), 0);
        QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
    }
    void unopenableFileIsLoggedAndStopsRecording()
    {
        LogCapture log;
        ScopeRig rig(4, 2, 1, 2);
        rig.block().ConfigureDump(10, 5, QStringLiteral("BIN"), rig.storage.path());
        rig.block().StartDump(QStringLiteral("absent"));
        rig.push(kTwoChannels);
        const QString expected = QStringLiteral("Unable to open file  \"%1/absent/scope_0.bin\"  errno:  \"%2\" "
                                                ". Acquisition disabled in order to prevent software crash")
                                     .arg(rig.storage.path(), QString::fromLocal8Bit(strerror(ENOENT)));
        QTRY_VERIFY2(log.contains(expected), qPrintable(log.lines().join('\n')));

        // Recording stays off although the folder exists now.
        const QString folder = rig.storage.runFolder("absent");
        rig.record(5, kTwoChannels);
        rig.block().shutdown();
        QVERIFY(QDir(folder).entryList(QDir::Files).isEmpty());
        QCOMPARE(log.lines().filter(QStringLiteral("Unable to open file")).size(), 1);
    }
};

QTEST_GUILESS_MAIN(OscilloscopeTest)
#include "tst_oscilloscope.moc"
