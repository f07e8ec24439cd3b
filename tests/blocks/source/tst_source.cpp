// The source block against the scripted board plugin: configuration, every
// conversion of board records into payloads, the command slots, and the
// pairing of reads and frees seen in the plugin's call log.
#include "blocks/source/data_distructor_source.h"
#include "blocks/source/source.h"
#include "board_access/board.h"
#include "board_access/readout_records.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"

#include "script_plugin_fixture.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>
#include <mutex>

using scriptplugin::Call;

namespace {
const QString kEvents = QStringLiteral("endpoints\\events");
const QString kOther = QStringLiteral("endpoints\\other");
const QString kFullPath = QStringLiteral("processing/0/filter_chain/main/chain/src");

// Info lines of the whole process (workers included), kept while the tests run.
class InfoLog {
public:
    static void install() { s_previous = qInstallMessageHandler(&InfoLog::record); }
    static void clear()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        s_lines.clear();
    }
    static QStringList lines()
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        return s_lines;
    }
    static int count(const QString& line) { return lines().count(line); }

private:
    static void record(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        if (type == QtInfoMsg) {
            std::lock_guard<std::mutex> lock(s_mutex);
            s_lines << text;
        } else if (s_previous) {
            s_previous(type, context, text);
        }
    }
    static std::mutex s_mutex;
    static QStringList s_lines;
    static QtMessageHandler s_previous;
};
std::mutex InfoLog::s_mutex;
QStringList InfoLog::s_lines;
QtMessageHandler InfoLog::s_previous = nullptr;

QJsonObject command(const char* name, const char* type, const char* endpoint)
{
    return QJsonObject{{"name", name},
                       {"path", QStringLiteral("\\cmd\\%1").arg(name)},
                       {"command_type", type},
                       {"endpoint_type", endpoint}};
}

// A board with the endpoints "events" and "other" and command lists for both.
QJsonObject boardEntry(bool eventsEnabled)
{
    const QJsonArray endpoints{QJsonObject{{"name", "events"}, {"path", "\\ep\\events"}, {"enable", eventsEnabled}},
                               QJsonObject{{"name", "other"}, {"path", "\\ep\\other"}, {"enable", true}}};
    const QJsonArray commands{command("config1", "config", "events"), command("start1", "start", "events"),
                              command("stop1", "stop", "events"),     command("reset1", "reset", "events"),
                              command("config2", "config", "events"), command("start2", "start", "events"),
                              command("stop2", "stop", "events"),     command("other_start", "start", "other"),
                              command("other_reset", "reset", "other")};
    return QJsonObject{{"endpoints", endpoints}, {"commands", commands}};
}

QJsonObject parameter(const char* name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

QJsonObject sourceEntry(const QString& dataType, const QJsonArray& parameters = {},
                        const QJsonArray& sources = {QJsonObject{{"source", "dig"}, {"pin", "endpoints\\events"}}})
{
    return QJsonObject{{"block_type", "source"}, {"name", "src"}, {"data_type", dataType},
                       {"sources", sources},     {"parameters", parameters}};
}

// Messages taken from the source's output; their packets are destroyed with it.
struct Taken {
    QVector<PinMessage> messages;
    ~Taken()
    {
        for (const PinMessage& m : messages)
            delete m.packet;
    }
    int size() const { return messages.size(); }
    const PinMessage& operator[](int i) const { return messages[i]; }
    template <typename T>
    const T* item(int message, size_t index) const
    {
        const DataPacket* packet = messages[message].packet;
        return packet && index < packet->items.size() ? dynamic_cast<const T*>(packet->items[index]) : nullptr;
    }
};

// Boards opened on the scripted plugin, a source block over them and a pin
// reading its output.
struct Rig {
    QTemporaryDir dir;
    ScriptPluginFixture script{dir.path()};
    QLibrary library{ScriptPluginFixture::pluginPath()};
    QList<Board*> boards;
    QList<QuarixBlock*> blocks;
    std::unique_ptr<Source> source;
    PinInput sink{nullptr, QStringLiteral("sink")};

    ~Rig()
    {
        source.reset();
        qDeleteAll(boards);
    }

    // Writes the fixture's script and opens a board on it; null on failure.
    Board* openBoard(const ScriptPluginFixture& fixture, const QString& name = QStringLiteral("dig"),
                     bool eventsEnabled = true)
    {
        if (!fixture.write())
            return nullptr;
        auto* board = new Board(&library);
        board->name = name;
        if (board->Open(fixture.connectionString()) != 0) {
            delete board;
            return nullptr;
        }
        board->LoadEndpoints(boardEntry(eventsEnabled));
        board->LoadCommands(boardEntry(eventsEnabled));
        boards.append(board);
        return board;
    }
    Board* openBoard(bool eventsEnabled = true) { return openBoard(script, QStringLiteral("dig"), eventsEnabled); }

    Source* makeSource(const QJsonObject& entry, bool withBoardList = true)
    {
        BlockContext context;
        context.boards = withBoardList ? &boards : nullptr;
        context.blocks = &blocks;
        context.full_path = kFullPath;
        source = std::make_unique<Source>(nullptr, &context, entry);
        if (!source->outputPins().isEmpty())
            sink.Connect(source->outputPins().at(0));
        return source.get();
    }

    bool run() { return QMetaObject::invokeMethod(source.get(), "Run", Qt::DirectConnection); }

    // Waits for at least `count` messages, stops the worker and takes all it produced.
    bool collect(int count, Taken* taken, int timeoutMs = 5000)
    {
        PinOutput* output = source->outputPins().at(0);
        const bool arrived = QTest::qWaitFor([&] { return output->size() >= count; }, timeoutMs);
        source->shutdown();
        PinMessage m;
        while (sink.Pop(m) == PinInput::Taken)
            taken->messages.append(m);
        return arrived;
    }

    int outstanding() const { return boards.isEmpty() ? -1 : ScriptPluginFixture::outstanding(boards.first()->handle); }
};

QString warningInvalidPin() { return QStringLiteral("Warning: source block  \"src\"  Invalid endpoint config parameter"); }
QString warningNoBoard()
{
    return QStringLiteral("Warning: a source block  \"src\"  has been detected but the related board has not been found");
}
QString warningNoEndpoint(const QString& board)
{
    return QStringLiteral("Warning: a source block  \"src\"  has been detected but related endpoint can not be found "
                          "on board  \"%1\"")
        .arg(board);
}

// Every successful non-empty read is followed by exactly one free of that
// batch on the same path, before the next read; nothing else is freed.
QString readFreePairingProblem(const QVector<Call>& calls)
{
    for (int i = 0; i < calls.size(); ++i) {
        const Call& call = calls[i];
        if (call.name == QLatin1String("FreePointer")) {
            const bool paired = i > 0 && calls[i - 1].name == QLatin1String("ReadData") && calls[i - 1].status == 0 &&
                                calls[i - 1].count != 0 && calls[i - 1].batch == call.batch &&
                                calls[i - 1].path == call.path && call.status == 0;
            if (!paired)
                return QStringLiteral("unpaired free at line %1").arg(i);
        } else if (call.name == QLatin1String("ReadData") && call.status == 0 && call.count != 0) {
            if (i + 1 >= calls.size() || calls[i + 1].name != QLatin1String("FreePointer"))
                return QStringLiteral("read at line %1 not freed").arg(i);
        }
    }
    return QString();
}
}  // namespace

class TestSource : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { InfoLog::install(); }
    void init() { InfoLog::clear(); }

    // Configuration.
    void constructionBindsTheNamedEndpointWithoutStartingTheWorker();
    void anInvalidPinIsRefused_data();
    void anInvalidPinIsRefused();
    void anUnknownBoardIsRefused();
    void anUnknownEndpointIsRefused_data();
    void anUnknownEndpointIsRefused();
    void theLastOfTwoValidSourcesEntriesIsUsed();
    void aLaterInvalidSourcesEntryRefusesTheBlock();
    void withoutBoardListNothingIsRead();
    void withoutSourcesEntryThereIsNoWorker();
    void downloadIntervalIsReadAsANumber_data();
    void downloadIntervalIsReadAsANumber();
    void aLongDownloadIntervalPausesBetweenReads();

    // Conversions.
    void anEnergyBatchBecomesOnePacket();
    void calibratedEnergy_data();
    void calibratedEnergy();
    void energyPairsBecomeOnePacketPerRecord();
    void energyPairsAreCalibratedPerChannel();
    void aWaveformBatchBecomesOneGroup();
    void waveformRecordsWithoutSamplesOrTraces_data();
    void waveformRecordsWithoutSamplesOrTraces();
    void aWaveformSourceConfiguresAndStartsItsEndpointFirst_data();
    void aWaveformSourceConfiguresAndStartsItsEndpointFirst();
    void rateCountersBecomeOnePacketPerSnapshot();
    void theRateTimeBaseRestartsAtFlushAndStart();
    void anUnknownDataTypeConvertsNothingButFrees();

    // Commands.
    void commandSlotsSendTheEndpointsLists_data();
    void commandSlotsSendTheEndpointsLists();

    // Reads and frees.
    void everySuccessfulNonEmptyReadIsFreedExactlyOnce();
    void shutdownCutsAPauseShortAndStillFreesTheBatch();
    void destroyingTheBlockStopsItsWorkerFirst();
    void theDeleterHandsABatchBackToThePlugin();
};

void TestSource::constructionBindsTheNamedEndpointWithoutStartingTheWorker()
{
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", {}, {QJsonObject{{"source", "dig"}, {"pin", kOther}}}));
    QCOMPARE(source->blockType(), QStringLiteral("source"));
    QCOMPARE(source->Name(), QStringLiteral("src"));
    QCOMPARE(source->FullPath(), kFullPath);
    QCOMPARE(source->inputPins().size(), 0);
    QCOMPARE(source->outputPins().size(), 1);
    QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("energy"));
    QCOMPARE(source->board(), rig.boards.first());
    QCOMPARE(source->endpointPath(), kOther);
    QCOMPARE(source->endpointIndex(), 1);
    QVERIFY(source->hasWorker());
    QVERIFY(!source->worker()->isRunning());
    QCOMPARE(source->worker()->parent(), source);
    QVERIFY(InfoLog::lines().isEmpty());
}

void TestSource::anInvalidPinIsRefused_data()
{
    QTest::addColumn<QString>("pin");
    QTest::newRow("three parts") << "endpoints\\events\\more";
    QTest::newRow("trailing backslash") << "endpoints\\events\\";
    QTest::newRow("capital E") << "Endpoints\\events";
    QTest::newRow("one part") << "events";
    QTest::newRow("empty") << "";
    QTest::newRow("empty first part") << "\\events";
    QTest::newRow("slash instead of backslash") << "endpoints/events";
}

void TestSource::anInvalidPinIsRefused()
{
    QFETCH(QString, pin);
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", {}, {QJsonObject{{"source", "dig"}, {"pin", pin}}}));
    QCOMPARE(InfoLog::lines(), QStringList{warningInvalidPin()});
    QVERIFY(!source->hasWorker());
    QCOMPARE(source->outputPins().size(), 1);
    QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("energy"));

    // Without a worker the slots do nothing.
    rig.script.clearLog();
    for (const char* slot : {"Run", "Start", "Stop", "Flush"})
        QVERIFY(QMetaObject::invokeMethod(source, slot, Qt::DirectConnection));
    QCOMPARE(rig.script.calls().size(), 0);
}

void TestSource::anUnknownBoardIsRefused()
{
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", {}, {QJsonObject{{"source", "Dig"}, {"pin", kEvents}}}));
    QCOMPARE(InfoLog::lines(), QStringList{warningNoBoard()});
    QVERIFY(!source->hasWorker());
    QVERIFY(!source->board());
    QCOMPARE(source->outputPins().size(), 1);
}

void TestSource::anUnknownEndpointIsRefused_data()
{
    QTest::addColumn<QString>("pin");
    QTest::newRow("unknown name") << "endpoints\\missing";
    QTest::newRow("empty name") << "endpoints\\";
    QTest::newRow("names are case-sensitive") << "endpoints\\Events";
}

void TestSource::anUnknownEndpointIsRefused()
{
    QFETCH(QString, pin);
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", {}, {QJsonObject{{"source", "dig"}, {"pin", pin}}}));
    QCOMPARE(InfoLog::lines(), QStringList{warningNoEndpoint("dig")});
    QVERIFY(!source->hasWorker());
    QCOMPARE(source->outputPins().size(), 1);
}

void TestSource::theLastOfTwoValidSourcesEntriesIsUsed()
{
    Rig rig;
    ScriptPluginFixture first(rig.dir.path(), QStringLiteral("first"));
    ScriptPluginFixture second(rig.dir.path(), QStringLiteral("second"));
    first.addEnergyBatch(kEvents, {{1, 2, 100, 0, 10, 0.0, 0, 0, 0}});
    second.addEnergyBatch(kOther, {{3, 4, 200, 1, 20, 0.0, 0, 0, 0}});
    QVERIFY(rig.openBoard(first, QStringLiteral("digA")));
    QVERIFY(rig.openBoard(second, QStringLiteral("digB")));
    Source* source = rig.makeSource(sourceEntry("energy", {},
                                                {QJsonObject{{"source", "digA"}, {"pin", kEvents}},
                                                 QJsonObject{{"source", "digB"}, {"pin", kOther}}}));
    QVERIFY(source->hasWorker());
    QCOMPARE(source->board(), rig.boards.at(1));
    QCOMPARE(source->endpointPath(), kOther);
    QCOMPARE(source->endpointIndex(), 1);

    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    QCOMPARE(taken.size(), 1);
    QCOMPARE(taken[0].header0, quint64(3));
    QCOMPARE(taken[0].source, kOther);
    QCOMPARE(first.calls({"ReadData", "FreePointer"}).size(), 0);
    QCOMPARE(second.briefs({"ReadData", "FreePointer"}).mid(0, 2),
             QStringList({"ReadData " + kOther, "FreePointer " + kOther}));
}

void TestSource::aLaterInvalidSourcesEntryRefusesTheBlock()
{
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", {},
                                                {QJsonObject{{"source", "dig"}, {"pin", kEvents}},
                                                 QJsonObject{{"source", "dig"}, {"pin", "endpoint\\events"}}}));
    QCOMPARE(InfoLog::lines(), QStringList{warningInvalidPin()});
    QVERIFY(!source->hasWorker());
}

void TestSource::withoutBoardListNothingIsRead()
{
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy"), false);
    QCOMPARE(source->Name(), QString());
    QCOMPARE(source->FullPath(), kFullPath);
    QCOMPARE(source->outputPins().size(), 1);
    QCOMPARE(source->outputPins().at(0)->name(), QString());
    QVERIFY(!source->hasWorker());
    QVERIFY(InfoLog::lines().isEmpty());
}

void TestSource::withoutSourcesEntryThereIsNoWorker()
{
    Rig rig;
    QVERIFY(rig.openBoard());
    QJsonObject entry = sourceEntry("rate_counters");
    entry.remove("sources");
    Source* source = rig.makeSource(entry);
    QCOMPARE(source->Name(), QStringLiteral("src"));
    QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("rate_counters"));
    QVERIFY(!source->hasWorker());
    QVERIFY(InfoLog::lines().isEmpty());
}

void TestSource::downloadIntervalIsReadAsANumber_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<double>("interval");
    QTest::newRow("absent: 10 ms") << QJsonArray() << 10.0;
    QTest::newRow("number") << QJsonArray{parameter("download_interval", 25.5)} << 25.5;
    QTest::newRow("string: 0 ms") << QJsonArray{parameter("download_interval", "20")} << 0.0;
    QTest::newRow("boolean: 0 ms") << QJsonArray{parameter("download_interval", true)} << 0.0;
    QTest::newRow("given twice: the later one") << QJsonArray{parameter("download_interval", 5),
                                                              parameter("download_interval", 7)}
                                                << 7.0;
    QTest::newRow("name must be a string")
        << QJsonArray{QJsonObject{{"param_name", QJsonArray{"download_interval"}}, {"param_value", 3}}} << 10.0;
}

void TestSource::downloadIntervalIsReadAsANumber()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(double, interval);
    Rig rig;
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy", parameters));
    QCOMPARE(source->downloadInterval(), interval);
    QVERIFY(source->hasWorker());
    QCOMPARE(source->worker()->downloadInterval(), interval);   // the worker reads the block's value
}

void TestSource::aLongDownloadIntervalPausesBetweenReads()
{
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{1, 1, 10, 0, 1, 0.0, 0, 0, 0}})
        .addEnergyBatch(kEvents, {{2, 2, 20, 0, 2, 0.0, 0, 0, 0}});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy", {parameter("download_interval", 400)}));
    PinOutput* output = rig.source->outputPins().at(0);
    QVERIFY(rig.run());
    QTRY_COMPARE(output->size(), 1);
    QElapsedTimer sinceFirst;
    sinceFirst.start();
    QTRY_COMPARE_WITH_TIMEOUT(output->size(), 2, 5000);
    QVERIFY2(sinceFirst.elapsed() >= 300, qPrintable(QString::number(sinceFirst.elapsed())));
    Taken taken;
    QVERIFY(rig.collect(2, &taken));
}

void TestSource::anEnergyBatchBecomesOnePacket()
{
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{11, 12, 3000, 3, 4000, 12.5, 1, 0, 7},
                                        {21, 22, 1000, 4294967295u, 0, -1.25, 0, 1, 0xFFFFFFFFu},
                                        {31, 32, 2000, 7, 4100, 13.0, 255, 254, 8}});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy", {parameter("use_board_kev", true)}));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    QCOMPARE(taken.size(), 1);

    const PinMessage& m = taken[0];
    QCOMPARE(m.data_type, QStringLiteral("energy"));
    QCOMPARE(m.source, kEvents);
    QCOMPARE(m.header0, quint64(11));   // both header words come from entry 0
    QCOMPARE(m.header1, quint64(12));
    QVERIFY(!m.raw_data);
    QCOMPARE(m.reserved, quint64(0));
    QCOMPARE(m.packet->name, QStringLiteral("energy"));
    QCOMPARE(m.packet->timestamp, quint64(2000));   // the last event's, not the largest
    QCOMPARE(m.packet->items.size(), size_t(3));

    struct Expected {
        quint64 timestamp;
        quint32 channel, raw;
        double energy;
        quint8 flag1, flag2;
        quint32 extra;
    };
    const Expected expected[] = {{3000, 3, 4000, 12.5, 1, 0, 7},
                                 {1000, 4294967295u, 0, -1.25, 0, 1, 0xFFFFFFFFu},
                                 {2000, 7, 4100, 13.0, 255, 254, 8}};
    for (int i = 0; i < 3; ++i) {
        const auto* event = taken.item<QuarixPayload_Energy>(0, size_t(i));
        QVERIFY(event);
        QCOMPARE(event->type, QStringLiteral("energy"));
        QCOMPARE(event->event_count, 1);
        QCOMPARE(event->timestamp, expected[i].timestamp);
        QCOMPARE(event->channel, expected[i].channel);
        QCOMPARE(event->energy_raw, expected[i].raw);
        QCOMPARE(event->energy, expected[i].energy);
        QCOMPARE(event->flag1, expected[i].flag1);
        QCOMPARE(event->flag2, expected[i].flag2);
        QCOMPARE(event->extra, expected[i].extra);
        QCOMPARE(event->arrival_time, quint64(0));
    }
}

void TestSource::calibratedEnergy_data()
{
    QTest::addColumn<QJsonArray>("parameters");
    QTest::addColumn<double>("first");
    QTest::addColumn<double>("second");
    // Raw 1000 with board value 12.5, raw 3 with board value 0.75.
    QTest::newRow("nothing configured: 0") << QJsonArray() << 0.0 << 0.0;
    QTest::newRow("board value") << QJsonArray{parameter("use_board_kev", true)} << 12.5 << 0.75;
    QTest::newRow("board value wins over an expression")
        << QJsonArray{parameter("energy_calibration_expression", "2*x"), parameter("use_board_kev", true)} << 12.5
        << 0.75;
    QTest::newRow("2*x") << QJsonArray{parameter("energy_calibration_expression", "2*x")} << 2000.0 << 6.0;
    QTest::newRow("linear") << QJsonArray{parameter("energy_calibration_expression", "x*0.125+3.5")} << 128.5
                            << 3.875;
    QTest::newRow("functions") << QJsonArray{parameter("energy_calibration_expression", "sqrt(x)+ln(e)")}
                               << std::sqrt(1000.0) + 1.0 << std::sqrt(3.0) + 1.0;
    QTest::newRow("syntax error: 0") << QJsonArray{parameter("energy_calibration_expression", "2*(x")} << 0.0 << 0.0;
    QTest::newRow("later empty expression: 0")
        << QJsonArray{parameter("energy_calibration_expression", "2*x"), parameter("energy_calibration_expression", "")}
        << 0.0 << 0.0;
    QTest::newRow("use_board_kev as text is false")
        << QJsonArray{parameter("use_board_kev", "true"), parameter("energy_calibration_expression", "x+1")} << 1001.0
        << 4.0;
}

void TestSource::calibratedEnergy()
{
    QFETCH(QJsonArray, parameters);
    QFETCH(double, first);
    QFETCH(double, second);
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{0, 0, 10, 0, 1000, 12.5, 0, 0, 0}, {0, 0, 20, 1, 3, 0.75, 0, 0, 0}});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy", parameters));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    QCOMPARE(taken.size(), 1);
    QVERIFY(taken.item<QuarixPayload_Energy>(0, 1));
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 0)->energy, first);
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 1)->energy, second);
}

void TestSource::energyPairsBecomeOnePacketPerRecord()
{
    Rig rig;
    rig.script.addPairBatch(kEvents, {{101, 102, 5000, 0, 700, 800, 7.0, 8.0, 1, 0, 42},
                                      {201, 202, 4000, 5, 900, 1000, 9.0, 10.0, 0, 1, 43}});
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("energy_pair", {parameter("use_board_kev", true)}));
    QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("energy_pair"));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(2, &taken));
    QCOMPARE(taken.size(), 2);

    struct Side {
        quint32 channel, raw;
        double energy;
    };
    const quint64 timestamps[] = {5000, 4000};
    const Side sides[2][2] = {{{0, 700, 7.0}, {1, 800, 8.0}}, {{10, 900, 9.0}, {11, 1000, 10.0}}};
    const quint8 flag1[] = {1, 0}, flag2[] = {0, 1};
    const quint32 extra[] = {42, 43};
    for (int r = 0; r < 2; ++r) {
        const PinMessage& m = taken[r];
        QCOMPARE(m.data_type, QStringLiteral("energy"));
        QCOMPARE(m.source, kEvents);
        QCOMPARE(m.header0, timestamps[r]);   // the record's timestamp
        QCOMPARE(m.header1, quint64(102));    // entry 0's second header word, for every record
        QCOMPARE(m.packet->name, QStringLiteral("energy"));
        QCOMPARE(m.packet->timestamp, timestamps[r]);
        QCOMPARE(m.packet->items.size(), size_t(2));
        for (int s = 0; s < 2; ++s) {
            const auto* event = taken.item<QuarixPayload_Energy>(r, size_t(s));
            QVERIFY(event);
            QCOMPARE(event->timestamp, timestamps[r]);
            QCOMPARE(event->channel, sides[r][s].channel);
            QCOMPARE(event->energy_raw, sides[r][s].raw);
            QCOMPARE(event->energy, sides[r][s].energy);
            QCOMPARE(event->flag1, flag1[r]);
            QCOMPARE(event->flag2, flag2[r]);
            QCOMPARE(event->extra, extra[r]);
        }
    }
}

void TestSource::energyPairsAreCalibratedPerChannel()
{
    Rig rig;
    rig.script.addPairBatch(kEvents, {{0, 0, 50, 2, 100, 300, 7.0, 8.0, 0, 0, 0}});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy_pair", {parameter("energy_calibration_expression", "x/2+1")}));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    QVERIFY(taken.item<QuarixPayload_Energy>(0, 1));
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 0)->channel, 4u);
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 0)->energy, 51.0);
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 1)->channel, 5u);
    QCOMPARE(taken.item<QuarixPayload_Energy>(0, 1)->energy, 151.0);
}

void TestSource::aWaveformBatchBecomesOneGroup()
{
    // header0, header1, timestamp, header64, S, header32a, header32b, T, trace headers 32a/64/32b, samples
    scriptplugin::Waveform four{1, 2, 7000, 0x1122334455667788ull, 3, 10, 11, 4, 100, 101, 102, {}, {}};
    for (int i = 0; i < 12; ++i) {
        four.analog << (i % 2 ? -i * 1000 : i * 1000);
        four.digital << quint32(1u << i);
    }
    const scriptplugin::Waveform two{3, 4, 6000, 99, 2, 20, 21, 2, 200, 201, 202,
                                     {-2147483647 - 1, 2147483647, 5, -5}, {0xFFFFFFFFu, 0, 3, 4}};
    Rig rig;
    rig.script.addWaveformBatch(kEvents, {four, two});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("waveform"));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    QCOMPARE(taken.size(), 1);

    const PinMessage& m = taken[0];
    QCOMPARE(m.data_type, QStringLiteral("waveform"));
    QCOMPARE(m.source, kEvents);
    QCOMPARE(m.header0, quint64(3));   // the last entry's header words
    QCOMPARE(m.header1, quint64(4));
    QCOMPARE(m.packet->name, QStringLiteral("waveform"));
    QCOMPARE(m.packet->timestamp, quint64(6000));
    QCOMPARE(m.packet->items.size(), size_t(1));
    const auto* group = taken.item<QuarixPayload_Waves>(0, 0);
    QVERIFY(group);
    QCOMPARE(group->type, QStringLiteral("waveform"));
    QCOMPARE(group->event_count, 0);
    QCOMPARE(group->timestamp, quint64(6000));   // the second record's values
    QCOMPARE(group->header64, quint64(99));
    QCOMPARE(group->n_samples, 2);
    QCOMPARE(group->header32a, 20u);
    QCOMPARE(group->header32b, 21u);
    QCOMPARE(group->waves.size(), size_t(6));

    for (int w = 0; w < 6; ++w) {
        const QuarixPayload_Wave* wave = group->waves[size_t(w)];
        const scriptplugin::Waveform& record = w < 4 ? four : two;
        const int t = w < 4 ? w : w - 4;
        const int samples = record.nSamples;
        QVERIFY(wave && wave->analog && wave->digital);
        QCOMPARE(wave->type, QString());
        QCOMPARE(wave->trace_header32a, record.traceHeader32a);
        QCOMPARE(wave->trace_header64, record.traceHeader64);
        QCOMPARE(wave->trace_header32b, record.traceHeader32b);
        QCOMPARE(int(wave->analog->size()), samples);
        QCOMPARE(int(wave->digital->size()), samples);
        for (int s = 0; s < samples; ++s) {
            QCOMPARE((*wave->analog)[size_t(s)], double(record.analog[t * samples + s]));
            QCOMPARE((*wave->digital)[size_t(s)], record.digital[t * samples + s]);
        }
    }
    QCOMPARE(InfoLog::count("W OK"), 1);
}

void TestSource::waveformRecordsWithoutSamplesOrTraces_data()
{
    QTest::addColumn<int>("samples");
    QTest::addColumn<int>("traces");
    QTest::addColumn<int>("waves");
    QTest::newRow("no samples: empty waves") << 0 << 3 << 3;
    QTest::newRow("no traces: a group without waves") << 4 << 0 << 0;
}

void TestSource::waveformRecordsWithoutSamplesOrTraces()
{
    QFETCH(int, samples);
    QFETCH(int, traces);
    QFETCH(int, waves);
    scriptplugin::Waveform record;
    record.timestamp = 77;
    record.nSamples = samples;
    record.nTraces = traces;
    for (int i = 0; i < samples * traces; ++i) {
        record.analog << i;
        record.digital << quint32(i);
    }
    Rig rig;
    rig.script.addWaveformBatch(kEvents, {record});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("waveform"));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(1, &taken));
    const auto* group = taken.item<QuarixPayload_Waves>(0, 0);
    QVERIFY(group);
    QCOMPARE(group->timestamp, quint64(77));
    QCOMPARE(group->n_samples, samples);
    QCOMPARE(int(group->waves.size()), waves);
    for (const QuarixPayload_Wave* wave : group->waves) {
        QVERIFY(wave->analog && wave->digital);
        QCOMPARE(int(wave->analog->size()), samples);
    }
}

void TestSource::aWaveformSourceConfiguresAndStartsItsEndpointFirst_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("commands");
    QTest::newRow("enabled endpoint") << true
                                      << QStringList{"\\cmd\\config1", "\\cmd\\config2", "\\cmd\\start1", "\\cmd\\start2"};
    QTest::newRow("disabled endpoint") << false << QStringList{"\\cmd\\config1", "\\cmd\\config2"};
}

void TestSource::aWaveformSourceConfiguresAndStartsItsEndpointFirst()
{
    QFETCH(bool, enabled);
    QFETCH(QStringList, commands);
    Rig rig;
    rig.script.addFailedRead(kEvents, -7);
    QVERIFY(rig.openBoard(enabled));
    rig.makeSource(sourceEntry("waveform"));
    QVERIFY(rig.run());
    QTRY_VERIFY(InfoLog::count("W ERR") >= 1);   // the failed read, then the empty ones
    rig.source->shutdown();

    const QVector<Call> calls = rig.script.calls({"SendCommand", "ReadData"});
    QVERIFY(calls.size() > commands.size());
    QStringList sent;
    for (int i = 0; i < commands.size(); ++i) {
        QCOMPARE(calls[i].name, QStringLiteral("SendCommand"));
        sent << calls[i].path;
    }
    QCOMPARE(sent, commands);
    QCOMPARE(calls[commands.size()].name, QStringLiteral("ReadData"));
    QCOMPARE(rig.script.calls("SendCommand").size(), commands.size());
    QCOMPARE(InfoLog::count("W OK"), 0);
}

void TestSource::rateCountersBecomeOnePacketPerSnapshot()
{
    const quint64 big = (quint64(1) << 63) + 5;
    using Values = QVector<uint64_t>;
    // header0, header1, N, rates in, rates out, counters in, counters out (nullopt: a null array)
    const scriptplugin::RateCounters full{9000, 9001, 2, Values{1500, big}, Values{1400, 3}, Values{100000, big},
                                          Values{90000, 7}};
    const scriptplugin::RateCounters none{9100, 0, 0, std::nullopt, std::nullopt, std::nullopt, std::nullopt};
    const scriptplugin::RateCounters partial{9200, 9201, 3, Values{1, 2, 3}, std::nullopt, std::nullopt,
                                             Values{40, 50, 60}};

    Rig rig;
    rig.script.addRateBatch(kEvents, {full, none, partial});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("rate_counters"));
    QVERIFY(rig.run());
    Taken taken;
    QVERIFY(rig.collect(2, &taken));
    QCOMPARE(taken.size(), 2);   // the snapshot with no channels yields nothing

    QCOMPARE(taken[0].data_type, QStringLiteral("rate_counters"));
    QCOMPARE(taken[0].source, kEvents);
    QCOMPARE(taken[0].header0, quint64(9000));
    QCOMPARE(taken[0].header1, quint64(9001));
    QCOMPARE(taken[0].packet->name, QStringLiteral("rate_counters"));
    QCOMPARE(taken[0].packet->timestamp, quint64(9000));
    QCOMPARE(taken[1].header0, quint64(9200));
    QCOMPARE(taken[1].header1, quint64(9201));
    QCOMPARE(taken[1].packet->timestamp, quint64(9200));

    const auto* a = taken.item<QuarixPayload_RateCounters>(0, 0);
    QVERIFY(a);
    QCOMPARE(a->type, QStringLiteral("rate_counters"));
    QCOMPARE(a->timestamp, quint64(9000));
    QCOMPARE(a->nchannels, 2);
    QVERIFY(a->elapsed_time >= 0.001);
    QCOMPARE(*a->rates_in, std::vector<double>({1500.0, double(big)}));   // converted as unsigned
    QCOMPARE(*a->rates_out, std::vector<double>({1400.0, 3.0}));
    QCOMPARE(*a->counters_in, std::vector<uint64_t>({100000, big}));
    QCOMPARE(*a->counters_out, std::vector<uint64_t>({90000, 7}));
    QCOMPARE(*a->rates_in_start, std::vector<double>({100000.0 / a->elapsed_time, double(big) / a->elapsed_time}));
    QCOMPARE(*a->rates_out_start, std::vector<double>({90000.0 / a->elapsed_time, 7.0 / a->elapsed_time}));

    const auto* b = taken.item<QuarixPayload_RateCounters>(1, 0);
    QVERIFY(b);
    QCOMPARE(b->nchannels, 3);
    QCOMPARE(*b->rates_in, std::vector<double>({1.0, 2.0, 3.0}));
    QCOMPARE(*b->rates_out, std::vector<double>({0.0, 0.0, 0.0}));      // null array
    QCOMPARE(*b->counters_in, std::vector<uint64_t>({0, 0, 0}));       // null array
    QCOMPARE(*b->rates_in_start, std::vector<double>({0.0, 0.0, 0.0}));
    QCOMPARE(*b->counters_out, std::vector<uint64_t>({40, 50, 60}));
    QCOMPARE(*b->rates_out_start,
             std::vector<double>({40.0 / b->elapsed_time, 50.0 / b->elapsed_time, 60.0 / b->elapsed_time}));
}

void TestSource::theRateTimeBaseRestartsAtFlushAndStart()
{
    scriptplugin::RateCounters snapshot;
    snapshot.nChannels = 1;
    snapshot.countersIn = QVector<uint64_t>{5000};
    Rig rig;
    // Each batch waits for its trigger: a command that leaves the time base
    // alone, then the endpoint's reset (Flush) and start (Start) commands.
    snapshot.header0 = 1;
    rig.script.addRateBatch(kEvents, {snapshot}).holdLastBatchUntilCommand(kEvents, "\\cmd\\poke");
    snapshot.header0 = 2;
    rig.script.addRateBatch(kEvents, {snapshot}).holdLastBatchUntilCommand(kEvents, "\\cmd\\reset1");
    snapshot.header0 = 3;
    rig.script.addRateBatch(kEvents, {snapshot}).holdLastBatchUntilCommand(kEvents, "\\cmd\\start1");
    Board* board = rig.openBoard();
    QVERIFY(board);
    Source* source = rig.makeSource(sourceEntry("rate_counters", {parameter("download_interval", 0)}));
    PinOutput* output = source->outputPins().at(0);
    QVERIFY(rig.run());

    // The time base has run since the worker was made: a snapshot reflects that.
    QTest::qWait(300);
    board->SendCommand("\\cmd\\poke");
    QTRY_COMPARE(output->size(), 1);

    QTest::qWait(300);
    QElapsedTimer sinceFlush;
    sinceFlush.start();
    QVERIFY(QMetaObject::invokeMethod(source, "Flush", Qt::DirectConnection));
    QTRY_COMPARE(output->size(), 2);
    const double flushBound = 0.001 + double(sinceFlush.elapsed() + 1) / 1000.0;

    QTest::qWait(300);
    QElapsedTimer sinceStart;
    sinceStart.start();
    QVERIFY(QMetaObject::invokeMethod(source, "Start", Qt::DirectConnection));
    QTRY_COMPARE(output->size(), 3);
    const double startBound = 0.001 + double(sinceStart.elapsed() + 1) / 1000.0;

    Taken taken;
    QVERIFY(rig.collect(3, &taken));
    QCOMPARE(taken.size(), 3);
    const auto* poked = taken.item<QuarixPayload_RateCounters>(0, 0);
    const auto* flushed = taken.item<QuarixPayload_RateCounters>(1, 0);
    const auto* started = taken.item<QuarixPayload_RateCounters>(2, 0);
    QVERIFY(poked && flushed && started);
    QVERIFY2(poked->elapsed_time >= 0.301, qPrintable(QString::number(poked->elapsed_time)));
    QVERIFY2(flushed->elapsed_time >= 0.001 && flushed->elapsed_time <= flushBound,
             qPrintable(QStringLiteral("%1 > %2").arg(flushed->elapsed_time).arg(flushBound)));
    QVERIFY2(started->elapsed_time >= 0.001 && started->elapsed_time <= startBound,
             qPrintable(QStringLiteral("%1 > %2").arg(started->elapsed_time).arg(startBound)));
    QCOMPARE((*flushed->rates_in_start)[0], 5000.0 / flushed->elapsed_time);
    // Whole milliseconds: the time base reads 0.001 s plus a multiple of 1 ms.
    const double ms = (flushed->elapsed_time - 0.001) * 1000.0;
    QCOMPARE(std::round(ms), ms);
}

void TestSource::anUnknownDataTypeConvertsNothingButFrees()
{
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 0, 0, 0}});
    QVERIFY(rig.openBoard());
    Source* source = rig.makeSource(sourceEntry("Energy"));
    QVERIFY(source->hasWorker());
    QVERIFY(rig.run());
    QTRY_COMPARE(rig.script.calls("FreePointer").size(), 1);
    Taken taken;
    rig.collect(0, &taken);
    QCOMPARE(taken.size(), 0);
    QCOMPARE(rig.outstanding(), 0);
}

void TestSource::commandSlotsSendTheEndpointsLists_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QStringList>("sent");
    QTest::newRow("Stop") << "Stop" << true << QStringList{"SendCommand \\cmd\\stop1", "SendCommand \\cmd\\stop2"};
    QTest::newRow("Stop, disabled endpoint") << "Stop" << false
                                             << QStringList{"SendCommand \\cmd\\stop1", "SendCommand \\cmd\\stop2"};
    QTest::newRow("Flush") << "Flush" << true << QStringList{"SendCommand \\cmd\\reset1"};
    QTest::newRow("Start") << "Start" << true << QStringList{"SendCommand \\cmd\\start1", "SendCommand \\cmd\\start2"};
    QTest::newRow("Start, disabled endpoint") << "Start" << false << QStringList();
}

void TestSource::commandSlotsSendTheEndpointsLists()
{
    QFETCH(QString, slot);
    QFETCH(bool, enabled);
    QFETCH(QStringList, sent);
    Rig rig;
    QVERIFY(rig.openBoard(enabled));
    Source* source = rig.makeSource(sourceEntry("energy"));
    rig.script.clearLog();
    // Called by name, as the start-up and the commands block do; the worker is not running.
    QVERIFY(QMetaObject::invokeMethod(source, slot.toLatin1().constData(), Qt::DirectConnection));
    QCOMPARE(rig.script.briefs({"SendCommand", "ReadData"}), sent);
}

void TestSource::everySuccessfulNonEmptyReadIsFreedExactlyOnce()
{
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{1, 0, 10, 0, 1, 0.0, 0, 0, 0}, {1, 0, 11, 0, 1, 0.0, 0, 0, 0}})
        .addFailedRead(kEvents, -7)
        .addEmptyRead(kEvents)
        .addEnergyBatch(kEvents, {{2, 0, 20, 0, 1, 0.0, 0, 0, 0}})
        .addFailedRead(kEvents, -3);
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy", {parameter("download_interval", 1)}));
    QVERIFY(rig.run());
    QTRY_COMPARE(rig.script.calls("ReadData").size(), 5);
    Taken taken;
    QVERIFY(rig.collect(2, &taken));
    QCOMPARE(taken.size(), 2);   // the failed and the empty reads produce nothing
    QCOMPARE(taken[0].header0, quint64(1));
    QCOMPARE(taken[1].header0, quint64(2));

    const QVector<Call> calls = rig.script.calls({"ReadData", "FreePointer"});
    QCOMPARE(readFreePairingProblem(calls), QString());
    QStringList sequence;
    for (const Call& call : calls)
        sequence << QStringLiteral("%1 %2 %3").arg(call.name).arg(call.batch).arg(call.status);
    QCOMPARE(sequence, QStringList({"ReadData 0 0", "FreePointer 0 0", "ReadData 1 -7", "ReadData 2 0", "ReadData 3 0",
                                    "FreePointer 3 0", "ReadData 4 -3"}));
    for (const Call& call : rig.script.calls("ReadData")) {
        QCOMPARE(call.path, kEvents);
        QCOMPARE(call.timeout, 1000);
    }
    QCOMPARE(rig.outstanding(), 0);
}

void TestSource::shutdownCutsAPauseShortAndStillFreesTheBatch()
{
    scriptplugin::RateCounters snapshot;
    snapshot.nChannels = 1;
    snapshot.countersIn = QVector<uint64_t>{1};
    Rig rig;
    rig.script.addRateBatch(kEvents, {snapshot});
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("rate_counters", {parameter("download_interval", 60000)}));
    QVERIFY(rig.run());
    // A rate-counter batch is held for 500 ms before it is freed.
    QTRY_COMPARE(rig.script.calls("ReadData").size(), 1);
    QCOMPARE(rig.outstanding(), 1);
    QCOMPARE(rig.script.calls("FreePointer").size(), 0);

    QElapsedTimer stopping;
    stopping.start();
    rig.source->shutdown();
    QVERIFY2(stopping.elapsed() < 400, qPrintable(QString::number(stopping.elapsed())));
    QVERIFY(rig.source->worker()->isFinished());
    QCOMPARE(rig.outstanding(), 0);
    QCOMPARE(readFreePairingProblem(rig.script.calls({"ReadData", "FreePointer"})), QString());
    QCOMPARE(rig.script.calls("FreePointer").size(), 1);
    QCOMPARE(rig.source->outputPins().at(0)->size(), 1);
}

void TestSource::destroyingTheBlockStopsItsWorkerFirst()
{
    Rig rig;
    for (int i = 0; i < 2000; ++i)
        rig.script.addFailedRead(kEvents, -1);
    QVERIFY(rig.openBoard());
    rig.makeSource(sourceEntry("energy", {parameter("download_interval", 0)}));
    QPointer<Source_Thread> worker = rig.source->worker();
    QVERIFY(rig.run());
    QTRY_VERIFY(rig.script.calls("ReadData").size() >= 3);

    rig.source.reset();

    QVERIFY(worker.isNull());   // deleted with the block, after it stopped
    const int reads = rig.script.calls("ReadData").size();
    QTest::qWait(50);
    QCOMPARE(rig.script.calls("ReadData").size(), reads);
    QCOMPARE(rig.outstanding(), 0);
}

void TestSource::theDeleterHandsABatchBackToThePlugin()
{
    Rig rig;
    rig.script.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 0, 0, 0}});
    Board* board = rig.openBoard();
    QVERIFY(board);
    readout::DataList list{nullptr, 0, 0};
    QCOMPARE(board->ReadData(kEvents.toLatin1(), &list), 0);
    QCOMPARE(list.count, 1);
    QCOMPARE(rig.outstanding(), 1);

    DataDistructorSource deleter(board, kEvents);
    PinMessage message;
    deleter.Release(&message);   // no board data behind the message: nothing to give back
    QCOMPARE(rig.script.calls("FreePointer").size(), 0);
    message.raw_data = &list;
    deleter.Release(&message);
    QCOMPARE(rig.outstanding(), 0);
    QCOMPARE(rig.script.paths("FreePointer"), QStringList{kEvents});
    QCOMPARE(rig.script.calls("FreePointer").first().status, 0);
    QVERIFY(!message.raw_data);
}

QTEST_GUILESS_MAIN(TestSource)
#include "tst_source.moc"
