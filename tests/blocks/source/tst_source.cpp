// The source block against the scripted board plugin: configuration, every
// conversion of board records into payloads, the command slots, and the
// pairing of reads and frees seen in the plugin's call log.
#include "blocks/source/data_distructor_source.h"
#include "blocks/source/source.h"
#include "board_access/readout_records.h"
#include "board_config_fixture.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"
#include "log_capture.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cmath>

using scriptplugin::Call;

namespace {
const QString kEvents = QStringLiteral("endpoints\\events");
const QString kOther = QStringLiteral("endpoints\\other");
const QString kFullPath = QStringLiteral("processing/0/filter_chain/main/chain/src");

// A board with the endpoints "events" and "other" and command lists for both.
QJsonObject boardEntry(bool eventsEnabled)
{
    QJsonArray commands;
    const char* list[][2] = {{"config1", "config"}, {"start1", "start"}, {"stop1", "stop"},     {"reset1", "reset"},
                             {"config2", "config"}, {"start2", "start"}, {"stop2", "stop"},     {"other_start", "start"},
                             {"other_reset", "reset"}};
    for (const auto& c : list) {
        const QString path = QStringLiteral("\\cmd\\%1").arg(c[0]);
        commands.append(QJsonObject{{"name", c[0]}, {"path", path}, {"command_type", c[1]},
                                    {"endpoint_type", path.startsWith("\\cmd\\other") ? "other" : "events"}});
    }
    const QJsonArray endpoints{QJsonObject{{"name", "events"}, {"path", "\\ep\\events"}, {"enable", eventsEnabled}},
                               QJsonObject{{"name", "other"}, {"path", "\\ep\\other"}, {"enable", true}}};
    return QJsonObject{{"endpoints", endpoints}, {"commands", commands}};
}

QJsonObject pin(const QString& board, const QString& path)
{
    return QJsonObject{{"source", board}, {"pin", path}};
}

QJsonObject sourceEntry(const QString& dataType, const QJsonArray& parameters = {},
                        const QJsonArray& sources = {pin("dig", kEvents)})
{
    return QJsonObject{{"block_type", "source"}, {"name", "src"}, {"data_type", dataType},
                       {"sources", sources},     {"parameters", parameters}};
}

QJsonArray interval(double ms)
{
    return {blockParameter("download_interval", ms)};
}

QString exact(double value)
{
    return QString::number(value, 'g', 17);
}

// The values as text, separated by spaces (doubles in their shortest exact form).
template <typename... T>
QString words(const T&... values)
{
    QStringList list;
    (list << ... << QVariant::fromValue(values).toString());
    return list.join(' ');
}

// "<data_type> <source> <header0> <header1> <packet name> <packet timestamp> <items>"
QString describe(const PinMessage& m)
{
    return words(m.data_type, m.source, m.header0, m.header1, m.packet ? m.packet->name : "-",
                 m.packet ? m.packet->timestamp : 0, m.packet ? int(m.packet->items.size()) : -1);
}

// "<type> <count> <timestamp> <channel> <raw> <energy> <flag1> <flag2> <extra> <arrival>"
QString describe(const QuarixPayload_Energy* e)
{
    return e ? words(e->type, e->event_count, e->timestamp, e->channel, e->energy_raw, e->energy, int(e->flag1),
                     int(e->flag2), e->extra, e->arrival_time)
             : QStringLiteral("not an energy event");
}

// The elements separated by commas.
template <typename T>
QString values(const std::vector<T>* v)
{
    QStringList list;
    for (const T& x : *v)
        list << QVariant::fromValue(x).toString();
    return list.join(',');
}

// "<type>|<trace headers 32a 64 32b>|<analog samples>|<digital samples>"
QString describe(const QuarixPayload_Wave* w)
{
    QStringList analog, digital;
    for (double a : w->analog ? *w->analog : std::vector<double>())
        analog << exact(a);
    for (uint32_t d : w->digital ? *w->digital : std::vector<uint32_t>())
        digital << QString::number(d);
    return w->type + '|' + words(w->trace_header32a, w->trace_header64, w->trace_header32b) + '|' +
           (w->analog ? analog.join(' ') : "null") + '|' + (w->digital ? digital.join(' ') : "null");
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

// Boards opened on the scripted plugin, a source block over them and a pin reading its output.
struct Rig {
    ScriptedBoards boards;
    ScriptPluginFixture& script = boards.script();
    QList<QuarixBlock*> blocks;
    std::unique_ptr<Source> source;
    PinInput sink{nullptr, QStringLiteral("sink")};

    ~Rig() { source.reset(); }

    Board* openBoard(bool eventsEnabled = true) { return boards.open(script, "dig", boardEntry(eventsEnabled)); }

    Source* makeSource(const QJsonObject& entry, bool withBoardList = true)
    {
        BlockContext context = boards.context(&blocks, kFullPath);
        if (!withBoardList)
            context.boards = nullptr;
        source = std::make_unique<Source>(nullptr, &context, entry);
        if (!source->outputPins().isEmpty())
            sink.Connect(source->outputPins().at(0));
        return source.get();
    }

    bool run() { return QMetaObject::invokeMethod(source.get(), "Run", Qt::DirectConnection); }

    // Opens the board, makes the source and runs it.
    bool start(const QJsonObject& entry, bool eventsEnabled = true)
    {
        return openBoard(eventsEnabled) && makeSource(entry)->hasWorker() && run();
    }

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

    int outstanding() const
    {
        return boards.boards.isEmpty() ? -1 : ScriptPluginFixture::outstanding(boards.boards.first()->handle);
    }
};

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
    void init() { m_log = std::make_unique<LogCapture>(); }
    void cleanup() { m_log.reset(); }

    void theLastOfTwoValidSourcesEntriesIsBoundAndRunStartsIt()
    {
        Rig rig;
        ScriptPluginFixture& second = rig.boards.script();
        rig.script.addEnergyBatch(kEvents, {{1, 2, 100, 0, 10, 0.0, 0, 0, 0}});
        second.addEnergyBatch(kOther, {{3, 4, 200, 1, 20, 0.0, 0, 0, 0}});
        QVERIFY(rig.boards.open(rig.script, "digA", boardEntry(true)));
        QVERIFY(rig.boards.open(second, "digB", boardEntry(true)));
        Source* source = rig.makeSource(sourceEntry("energy", {}, {pin("digA", kEvents), pin("digB", kOther)}));
        QCOMPARE(source->outputPins().size(), 1);
        QCOMPARE(source->board(), rig.boards.boards.at(1));
        QCOMPARE(source->endpointPath(), kOther);
        QCOMPARE(source->endpointIndex(), 1);
        QVERIFY(source->hasWorker() && !source->worker()->isRunning());
        QVERIFY(m_log->lines().isEmpty());

        QVERIFY(rig.run());
        Taken taken;
        QVERIFY(rig.collect(1, &taken));
        QCOMPARE(taken.size(), 1);
        QCOMPARE(taken[0].header0, quint64(3));
        QCOMPARE(taken[0].source, kOther);
        QCOMPARE(rig.script.calls({"ReadData", "FreePointer"}).size(), 0);
        QCOMPARE(second.briefs({"ReadData", "FreePointer"}).mid(0, 2),
                 QStringList({"ReadData " + kOther, "FreePointer " + kOther}));
    }

    void unusableSourcesEntriesLeaveTheBlockWithoutWorker_data()
    {
        QTest::addColumn<QJsonValue>("sources");   // undefined: no "sources" key
        QTest::addColumn<QString>("warning");      // empty: nothing logged
        const QString invalidPin = QStringLiteral("Warning: source block  \"src\"  Invalid endpoint config parameter");
        const QString noEndpoint = QStringLiteral("Warning: a source block  \"src\"  has been detected but related "
                                                  "endpoint can not be found on board  \"dig\"");
        const char* invalid[][2] = {{"three parts", "endpoints\\events\\more"}, {"trailing \\", "endpoints\\events\\"},
                                    {"capital E", "Endpoints\\events"},         {"one part", "events"},
                                    {"empty", ""},                              {"empty first part", "\\events"},
                                    {"slash", "endpoints/events"}};
        for (const auto& row : invalid)
            QTest::newRow(row[0]) << QJsonValue(QJsonArray{pin("dig", row[1])}) << invalidPin;
        QTest::newRow("later invalid") << QJsonValue(QJsonArray{pin("dig", kEvents), pin("dig", "endpoint\\events")})
                                       << invalidPin;
        QTest::newRow("board case") << QJsonValue(QJsonArray{pin("Dig", kEvents)})
                                    << "Warning: a source block  \"src\"  has been detected but the related board has not "
                                       "been found";
        QTest::newRow("unknown endpoint") << QJsonValue(QJsonArray{pin("dig", "endpoints\\missing")}) << noEndpoint;
        QTest::newRow("empty endpoint") << QJsonValue(QJsonArray{pin("dig", "endpoints\\")}) << noEndpoint;
        QTest::newRow("endpoint case") << QJsonValue(QJsonArray{pin("dig", "endpoints\\Events")}) << noEndpoint;
        QTest::newRow("no sources") << QJsonValue(QJsonValue::Undefined) << QString();
    }

    void unusableSourcesEntriesLeaveTheBlockWithoutWorker()
    {
        QFETCH(QJsonValue, sources);
        QFETCH(QString, warning);
        Rig rig;
        QVERIFY(rig.openBoard());
        QJsonObject entry = sourceEntry("energy");
        if (sources.isUndefined())
            entry.remove("sources");
        else
            entry.insert("sources", sources);
        Source* source = rig.makeSource(entry);
        QCOMPARE(m_log->lines(), warning.isEmpty() ? QStringList() : QStringList{warning});
        QVERIFY(!source->hasWorker());
        QCOMPARE(source->Name(), QStringLiteral("src"));
        QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("energy"));
        // Without a worker the slots do nothing.
        for (const char* slot : {"Run", "Start", "Stop", "Flush"})
            QVERIFY(QMetaObject::invokeMethod(source, slot, Qt::DirectConnection));
        QCOMPARE(rig.script.calls().size(), 0);
    }

    void withoutBoardListNothingIsRead()
    {
        Rig rig;
        QVERIFY(rig.openBoard());
        Source* source = rig.makeSource(sourceEntry("energy"), false);
        QCOMPARE(source->Name(), QString());
        QCOMPARE(source->FullPath(), kFullPath);
        QCOMPARE(source->outputPins().size(), 1);
        QCOMPARE(source->outputPins().at(0)->name(), QString());
        QVERIFY(!source->hasWorker());
        QVERIFY(m_log->lines().isEmpty());
    }

    void downloadIntervalIsReadAsANumber_data()
    {
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<double>("interval");
        QTest::newRow("absent: 10") << QJsonArray() << 10.0;
        QTest::newRow("number") << interval(25.5) << 25.5;
        QTest::newRow("string: 0") << QJsonArray{blockParameter("download_interval", "20")} << 0.0;
        QTest::newRow("boolean: 0") << QJsonArray{blockParameter("download_interval", true)} << 0.0;
        QTest::newRow("twice: later") << QJsonArray{interval(5)[0], interval(7)[0]} << 7.0;
        QTest::newRow("name not a string")
            << QJsonArray{QJsonObject{{"param_name", QJsonArray{"download_interval"}}, {"param_value", 3}}} << 10.0;
    }

    void downloadIntervalIsReadAsANumber()
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

    void energyRecordsBecomePackets_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<QStringList>("described");   // per message: the message, then its items
        // Energy: both header words from entry 0; the packet time is the last event's, not the largest.
        QTest::newRow("energy") << "energy" << QStringList{
            "energy " + kEvents + " 11 12 energy 2000 3", "energy 1 3000 3 4000 12.5 1 0 7 0",
            "energy 1 1000 4294967295 0 -1.25 0 1 4294967295 0", "energy 1 2000 7 4100 13 255 254 8 0"};
        // Pairs: one packet per record, channels 2p and 2p+1; header0 is the record's timestamp,
        // header1 entry 0's second header word for every record.
        QTest::newRow("pairs") << "energy_pair" << QStringList{
            "energy " + kEvents + " 5000 102 energy 5000 2", "energy 1 5000 0 700 7 1 0 42 0", "energy 1 5000 1 800 8 1 0 42 0",
            "energy " + kEvents + " 4000 102 energy 4000 2", "energy 1 4000 10 900 9 0 1 43 0", "energy 1 4000 11 1000 10 0 1 43 0"};
    }

    void energyRecordsBecomePackets()
    {
        QFETCH(QString, dataType);
        QFETCH(QStringList, described);
        Rig rig;
        if (dataType == "energy")
            rig.script.addEnergyBatch(kEvents, {{11, 12, 3000, 3, 4000, 12.5, 1, 0, 7},
                                                {21, 22, 1000, 4294967295u, 0, -1.25, 0, 1, 0xFFFFFFFFu},
                                                {31, 32, 2000, 7, 4100, 13.0, 255, 254, 8}});
        else
            rig.script.addPairBatch(kEvents, {{101, 102, 5000, 0, 700, 800, 7.0, 8.0, 1, 0, 42},
                                              {201, 202, 4000, 5, 900, 1000, 9.0, 10.0, 0, 1, 43}});
        QVERIFY(rig.start(sourceEntry(dataType, {blockParameter("use_board_kev", true)})));
        QCOMPARE(rig.source->outputPins().at(0)->name(), dataType);
        Taken taken;
        QVERIFY(rig.collect(dataType == "energy" ? 1 : 2, &taken));
        QStringList seen;
        for (int m = 0; m < taken.size(); ++m) {
            QVERIFY(!taken[m].raw_data && taken[m].reserved == 0);
            seen << describe(taken[m]);
            for (size_t i = 0; i < taken[m].packet->items.size(); ++i)
                seen << describe(taken.item<QuarixPayload_Energy>(m, i));
        }
        QCOMPARE(seen, described);
    }

    void calibratedEnergy_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<QJsonArray>("parameters");
        QTest::addColumn<double>("first");
        QTest::addColumn<double>("second");
        const auto expr = [](const char* text) { return blockParameter("energy_calibration_expression", text); };
        const QJsonObject boardKev = blockParameter("use_board_kev", true);
        // Energy events: raw 1000 with board value 12.5, raw 3 with board value 0.75.
        QTest::newRow("nothing: 0") << "energy" << QJsonArray() << 0.0 << 0.0;
        QTest::newRow("board value wins") << "energy" << QJsonArray{expr("2*x"), boardKev} << 12.5 << 0.75;
        QTest::newRow("2*x") << "energy" << QJsonArray{expr("2*x")} << 2000.0 << 6.0;
        QTest::newRow("later empty: 0") << "energy" << QJsonArray{expr("2*x"), expr("")} << 0.0 << 0.0;
        QTest::newRow("kev as text") << "energy" << QJsonArray{blockParameter("use_board_kev", "true"), expr("x+1")}
                                     << 1001.0 << 4.0;
        // An energy pair: raw 100 on channel 4, raw 300 on channel 5.
        QTest::newRow("pairs") << "energy_pair" << QJsonArray{expr("x/2+1")} << 51.0 << 151.0;
    }

    void calibratedEnergy()
    {
        QFETCH(QString, dataType);
        QFETCH(QJsonArray, parameters);
        QFETCH(double, first);
        QFETCH(double, second);
        Rig rig;
        if (dataType == "energy")
            rig.script.addEnergyBatch(kEvents, {{0, 0, 10, 0, 1000, 12.5, 0, 0, 0}, {0, 0, 20, 1, 3, 0.75, 0, 0, 0}});
        else
            rig.script.addPairBatch(kEvents, {{0, 0, 50, 2, 100, 300, 7.0, 8.0, 0, 0, 0}});
        QVERIFY(rig.start(sourceEntry(dataType, parameters)));
        Taken taken;
        QVERIFY(rig.collect(1, &taken));
        QVERIFY(taken.size() == 1 && taken.item<QuarixPayload_Energy>(0, 1));
        QCOMPARE(taken.item<QuarixPayload_Energy>(0, 0)->energy, first);
        QCOMPARE(taken.item<QuarixPayload_Energy>(0, 1)->energy, second);
    }

    void aWaveformBatchBecomesOneGroup()
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
        QVERIFY(rig.start(sourceEntry("waveform")));
        Taken taken;
        QVERIFY(rig.collect(1, &taken));
        QCOMPARE(taken.size(), 1);

        // The header words, the time and the group values are the last record's.
        QCOMPARE(describe(taken[0]), "waveform " + kEvents + " 3 4 waveform 6000 1");
        const auto* group = taken.item<QuarixPayload_Waves>(0, 0);
        QVERIFY(group);
        QCOMPARE(words(group->type, group->event_count, group->timestamp, group->header64, group->n_samples,
                       group->header32a, group->header32b),
                 QStringLiteral("waveform 0 6000 99 2 20 21"));
        QStringList waves;
        for (const QuarixPayload_Wave* wave : group->waves)
            waves << describe(wave);
        // Trace-major samples: trace t of a record is samples t*S .. t*S+S-1.
        QCOMPARE(waves, QStringList({"|100 101 102|0 -1000 2000|1 2 4", "|100 101 102|-3000 4000 -5000|8 16 32",
                                     "|100 101 102|6000 -7000 8000|64 128 256",
                                     "|100 101 102|-9000 10000 -11000|512 1024 2048",
                                     "|200 201 202|-2147483648 2147483647|4294967295 0", "|200 201 202|5 -5|3 4"}));
        QCOMPARE(m_log->count("W OK"), 1);
    }

    void waveformRecordsWithoutSamplesOrTraces_data()
    {
        QTest::addColumn<int>("samples");
        QTest::addColumn<int>("traces");
        QTest::addColumn<QStringList>("waves");
        QTest::newRow("no samples: empty waves") << 0 << 3 << QStringList({"|0 0 0||", "|0 0 0||", "|0 0 0||"});
        QTest::newRow("no traces: no waves") << 4 << 0 << QStringList();
    }

    void waveformRecordsWithoutSamplesOrTraces()
    {
        QFETCH(int, samples);
        QFETCH(int, traces);
        QFETCH(QStringList, waves);
        scriptplugin::Waveform record;
        record.timestamp = 77;
        record.nSamples = samples;
        record.nTraces = traces;
        Rig rig;
        rig.script.addWaveformBatch(kEvents, {record});
        QVERIFY(rig.start(sourceEntry("waveform")));
        Taken taken;
        QVERIFY(rig.collect(1, &taken));
        const auto* group = taken.item<QuarixPayload_Waves>(0, 0);
        QVERIFY(group);
        QCOMPARE(group->timestamp, quint64(77));
        QCOMPARE(group->n_samples, samples);
        QStringList seen;
        for (const QuarixPayload_Wave* wave : group->waves)
            seen << describe(wave);
        QCOMPARE(seen, waves);
    }

    void aWaveformSourceConfiguresAndStartsItsEndpointFirst_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QStringList>("commands");
        QTest::newRow("enabled") << true << QStringList{"\\cmd\\config1", "\\cmd\\config2", "\\cmd\\start1", "\\cmd\\start2"};
        QTest::newRow("disabled") << false << QStringList{"\\cmd\\config1", "\\cmd\\config2"};
    }

    void aWaveformSourceConfiguresAndStartsItsEndpointFirst()
    {
        QFETCH(bool, enabled);
        QFETCH(QStringList, commands);
        Rig rig;
        rig.script.addFailedRead(kEvents, -7);
        QVERIFY(rig.start(sourceEntry("waveform"), enabled));
        QTRY_VERIFY(m_log->count("W ERR") >= 1);   // the failed read, then the empty ones
        rig.source->shutdown();

        QStringList sent;
        for (const Call& call : rig.script.calls({"SendCommand", "ReadData"}))
            sent << (call.name == QLatin1String("ReadData") ? QStringLiteral("read") : call.path);
        QCOMPARE(sent.mid(0, commands.size() + 1), commands + QStringList{"read"});
        QCOMPARE(sent.count("read"), sent.size() - commands.size());
        QCOMPARE(m_log->count("W OK"), 0);
    }

    void rateCountersBecomeOnePacketPerSnapshot()
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
        QVERIFY(rig.start(sourceEntry("rate_counters")));
        Taken taken;
        QVERIFY(rig.collect(2, &taken));
        QCOMPARE(taken.size(), 2);   // the snapshot with no channels yields nothing
        QCOMPARE(describe(taken[0]), "rate_counters " + kEvents + " 9000 9001 rate_counters 9000 1");
        QCOMPARE(describe(taken[1]), "rate_counters " + kEvents + " 9200 9201 rate_counters 9200 1");

        const auto* a = taken.item<QuarixPayload_RateCounters>(0, 0);
        const auto* b = taken.item<QuarixPayload_RateCounters>(1, 0);
        QVERIFY(a && b && a->elapsed_time >= 0.001);
        // Rates in, rates out, counters in, counters out; rates are converted as unsigned, null arrays read as zeros.
        QCOMPARE(words(a->type, a->timestamp, a->nchannels, values(a->rates_in), values(a->rates_out),
                       values(a->counters_in), values(a->counters_out)),
                 "rate_counters 9000 2 1500," + words(double(big)) + " 1400,3 100000," + words(big) + " 90000,7");
        QCOMPARE(words(b->nchannels, values(b->rates_in), values(b->rates_out), values(b->counters_in),
                       values(b->counters_out), values(b->rates_in_start)),
                 QStringLiteral("3 1,2,3 0,0,0 0,0,0 40,50,60 0,0,0"));
        // The mean rates since the time base started.
        QCOMPARE(*a->rates_in_start, std::vector<double>({100000.0 / a->elapsed_time, double(big) / a->elapsed_time}));
        QCOMPARE(*a->rates_out_start, std::vector<double>({90000.0 / a->elapsed_time, 7.0 / a->elapsed_time}));
        QCOMPARE(*b->rates_out_start,
                 std::vector<double>({40.0 / b->elapsed_time, 50.0 / b->elapsed_time, 60.0 / b->elapsed_time}));
    }

    void theRateTimeBaseRestartsAtFlushAndStart()
    {
        scriptplugin::RateCounters snapshot;
        snapshot.nChannels = 1;
        snapshot.countersIn = QVector<uint64_t>{5000};
        Rig rig;
        // Each batch waits for its trigger: a command that leaves the time base
        // alone, then the endpoint's reset (Flush) and start (Start) commands.
        const char* triggers[] = {"\\cmd\\poke", "\\cmd\\reset1", "\\cmd\\start1"};
        for (int i = 0; i < 3; ++i) {
            snapshot.header0 = uint64_t(i + 1);
            rig.script.addRateBatch(kEvents, {snapshot}).holdLastBatchUntilCommand(kEvents, triggers[i]);
        }
        QVERIFY(rig.start(sourceEntry("rate_counters", interval(0))));
        PinOutput* output = rig.source->outputPins().at(0);
        // The time base has run since the worker was made: a snapshot reflects that.
        QTest::qWait(300);
        rig.boards.boards.first()->SendCommand("\\cmd\\poke");
        QTRY_COMPARE(output->size(), 1);

        double bounds[2];
        const char* restarts[] = {"Flush", "Start"};
        for (int i = 0; i < 2; ++i) {
            QTest::qWait(300);
            QElapsedTimer since;
            since.start();
            QVERIFY(QMetaObject::invokeMethod(rig.source.get(), restarts[i], Qt::DirectConnection));
            QTRY_COMPARE(output->size(), i + 2);
            bounds[i] = 0.001 + double(since.elapsed() + 1) / 1000.0;
        }
        Taken taken;
        QVERIFY(rig.collect(3, &taken));
        QCOMPARE(taken.size(), 3);
        QVERIFY2(taken.item<QuarixPayload_RateCounters>(0, 0)->elapsed_time >= 0.301,
                 qPrintable(QString::number(taken.item<QuarixPayload_RateCounters>(0, 0)->elapsed_time)));
        for (int i = 0; i < 2; ++i) {
            const double elapsed = taken.item<QuarixPayload_RateCounters>(i + 1, 0)->elapsed_time;
            QVERIFY2(elapsed >= 0.001 && elapsed <= bounds[i],
                     qPrintable(QStringLiteral("%1: %2 > %3").arg(restarts[i]).arg(elapsed).arg(bounds[i])));
        }
        const auto* flushed = taken.item<QuarixPayload_RateCounters>(1, 0);
        QCOMPARE((*flushed->rates_in_start)[0], 5000.0 / flushed->elapsed_time);
        // Whole milliseconds: the time base reads 0.001 s plus a multiple of 1 ms.
        const double ms = (flushed->elapsed_time - 0.001) * 1000.0;
        QCOMPARE(std::round(ms), ms);
    }

    void anUnknownDataTypeConvertsNothingButFrees()
    {
        Rig rig;
        rig.script.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 0, 0, 0}});
        QVERIFY(rig.start(sourceEntry("Energy")));
        QTRY_COMPARE(rig.script.calls("FreePointer").size(), 1);
        Taken taken;
        rig.collect(0, &taken);
        QCOMPARE(taken.size(), 0);
        QCOMPARE(rig.outstanding(), 0);
    }

    void commandSlotsSendTheEndpointsLists_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QStringList>("sent");
        const QStringList stops{"SendCommand \\cmd\\stop1", "SendCommand \\cmd\\stop2"};
        QTest::newRow("Stop") << "Stop" << true << stops;
        QTest::newRow("Stop, disabled") << "Stop" << false << stops;
        QTest::newRow("Flush") << "Flush" << true << QStringList{"SendCommand \\cmd\\reset1"};
        QTest::newRow("Start") << "Start" << true << QStringList{"SendCommand \\cmd\\start1", "SendCommand \\cmd\\start2"};
        QTest::newRow("Start, disabled") << "Start" << false << QStringList();
    }

    void commandSlotsSendTheEndpointsLists()
    {
        QFETCH(QString, slot);
        QFETCH(bool, enabled);
        QFETCH(QStringList, sent);
        Rig rig;
        QVERIFY(rig.openBoard(enabled));
        // Called by name, as the start-up and the commands block do; the worker is not running.
        QVERIFY(QMetaObject::invokeMethod(rig.makeSource(sourceEntry("energy")), slot.toLatin1().constData(),
                                          Qt::DirectConnection));
        QCOMPARE(rig.script.briefs({"SendCommand", "ReadData"}), sent);
    }

    void everySuccessfulNonEmptyReadIsFreedExactlyOnce()
    {
        Rig rig;
        rig.script.addEnergyBatch(kEvents, {{1, 0, 10, 0, 1, 0.0, 0, 0, 0}, {1, 0, 11, 0, 1, 0.0, 0, 0, 0}})
            .addFailedRead(kEvents, -7)
            .addEmptyRead(kEvents)
            .addEnergyBatch(kEvents, {{2, 0, 20, 0, 1, 0.0, 0, 0, 0}})
            .addFailedRead(kEvents, -3);
        QVERIFY(rig.start(sourceEntry("energy", interval(1))));
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
            sequence << QStringLiteral("%1 %2 %3 %4").arg(call.name).arg(call.batch).arg(call.status).arg(call.timeout);
        QCOMPARE(sequence, QStringList({"ReadData 0 0 1000", "FreePointer 0 0 0", "ReadData 1 -7 1000",
                                        "ReadData 2 0 1000", "ReadData 3 0 1000", "FreePointer 3 0 0",
                                        "ReadData 4 -3 1000"}));
        const QStringList reads = rig.script.paths("ReadData");
        QCOMPARE(QSet<QString>(reads.begin(), reads.end()), QSet<QString>{kEvents});
        QCOMPARE(rig.outstanding(), 0);
    }

    void shutdownCutsAPauseShortAndStillFreesTheBatch()
    {
        scriptplugin::RateCounters snapshot;
        snapshot.nChannels = 1;
        snapshot.countersIn = QVector<uint64_t>{1};
        Rig rig;
        rig.script.addRateBatch(kEvents, {snapshot});
        QVERIFY(rig.start(sourceEntry("rate_counters", interval(60000))));
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

    void destroyingTheBlockStopsItsWorkerFirst()
    {
        Rig rig;
        for (int i = 0; i < 2000; ++i)
            rig.script.addFailedRead(kEvents, -1);
        QVERIFY(rig.start(sourceEntry("energy", interval(0))));
        QPointer<Source_Thread> worker = rig.source->worker();
        QTRY_VERIFY(rig.script.calls("ReadData").size() >= 3);

        rig.source.reset();
        QVERIFY(worker.isNull());   // deleted with the block, after it stopped
        const int reads = rig.script.calls("ReadData").size();
        QTest::qWait(50);
        QCOMPARE(rig.script.calls("ReadData").size(), reads);
        QCOMPARE(rig.outstanding(), 0);
    }

    void theDeleterHandsABatchBackToThePlugin()
    {
        Rig rig;
        rig.script.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 0, 0, 0}});
        Board* board = rig.openBoard();
        QVERIFY(board);
        readout::DataList list{nullptr, 0, 0};
        QCOMPARE(board->ReadData(kEvents.toLatin1(), &list), 0);
        QCOMPARE(rig.outstanding(), 1);

        DataDistructorSource deleter(board, kEvents);
        PinMessage message;
        deleter.Release(&message);   // no board data behind the message: nothing to give back
        QCOMPARE(rig.script.calls("FreePointer").size(), 0);
        message.raw_data = &list;
        deleter.Release(&message);
        QCOMPARE(rig.outstanding(), 0);
        QCOMPARE(rig.script.briefs({"FreePointer"}), QStringList{"FreePointer " + kEvents});
        QCOMPARE(rig.script.calls("FreePointer").first().status, 0);
        QVERIFY(!message.raw_data);
    }

private:
    std::unique_ptr<LogCapture> m_log;
};

QTEST_GUILESS_MAIN(TestSource)
#include "tst_source.moc"
