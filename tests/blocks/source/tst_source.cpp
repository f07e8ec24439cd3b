// The source block on a board opened from the scripted plugin, its output pin
// read by the test: configuration, every record kind converted field by field,
// the calibration, the pairing of reads and frees, the loss counters, the
// command slots and the stop of the worker.
#include "blocks/source/record_conversion.h"
#include "blocks/source/source.h"
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

namespace {
const QString kEvents = QStringLiteral("endpoints\\events");
const std::string kPath = "endpoints\\events";

// A board with the endpoints "events" and "other" and command lists for both.
QJsonObject boardEntry(bool eventsEnabled = true)
{
    QJsonArray commands;
    for (const char* c : {"config1", "start1", "stop1", "reset1", "config2", "start2", "stop2", "other_start"}) {
        const QString name = c;
        commands.append(QJsonObject{{"path", "\\cmd\\" + name}, {"command_type", name.section('_', -1).remove(QRegExp("\\d"))},
                                    {"endpoint_type", name.startsWith("other") ? "other" : "events"}});
    }
    const QJsonArray endpoints{QJsonObject{{"name", "events"}, {"enable", eventsEnabled}},
                               QJsonObject{{"name", "other"}, {"enable", true}},
                               QJsonObject{{"name", "scope"}, {"type", "waveform"}, {"enable", true}}};
    return QJsonObject{{"endpoints", endpoints}, {"commands", commands}};
}

QJsonObject pin(const QString& board, const QString& path) { return QJsonObject{{"source", board}, {"pin", path}}; }

QJsonObject sourceEntry(const QString& dataType, const QJsonArray& parameters = {},
                        const QJsonArray& sources = {pin("dig", kEvents)})
{
    return QJsonObject{{"block_type", "source"}, {"name", "src"}, {"data_type", dataType},
                       {"sources", sources}, {"parameters", parameters}};
}

QString text(const QString& s) { return s; }
QString text(const char* s) { return QString::fromLatin1(s); }
QString text(bool b) { return QString::fromLatin1(b ? "true" : "false"); }
template <typename T>
QString text(const T& v)
{
    return QVariant::fromValue(v).toString();
}

template <typename... T>
QString words(const T&... values)
{
    QStringList list;
    (list << ... << text(values));
    return list.join(' ');
}

template <typename T>
QString joined(const std::vector<T>* v)
{
    QStringList list;
    for (const T& x : *v)
        list << QVariant::fromValue(x).toString();
    return list.join(',');
}

// One line for the message, then one per payload (and per wave of a group).
QStringList describe(const PinMessage& m)
{
    QStringList out{words(m.data_type, m.source, m.header0, m.header1, m.packet->name, m.packet->timestamp,
                          int(m.packet->items.size()), m.raw_data == nullptr, m.reserved)};
    for (const QuarixPayload* item : m.packet->items) {
        if (const auto* e = dynamic_cast<const QuarixPayload_Energy*>(item)) {
            out << words("E", e->type, e->event_count, e->timestamp, e->channel, e->energy_raw, e->energy,
                         int(e->flag1), int(e->flag2), e->extra);
        } else if (const auto* g = dynamic_cast<const QuarixPayload_Waves*>(item)) {
            out << words("G", g->type, g->timestamp, g->header64, g->n_samples, g->header32a, g->header32b);
            for (const QuarixPayload_Wave* w : g->waves)
                out << words("W", w->trace_header32a, w->trace_header64, w->trace_header32b, joined(w->analog),
                             joined(w->digital));
        } else if (const auto* r = dynamic_cast<const QuarixPayload_RateCounters*>(item)) {
            out << words("R", r->type, r->timestamp, r->nchannels, joined(r->rates_in), joined(r->rates_out),
                         joined(r->counters_in), joined(r->counters_out));
            // The mean rates since the time base started.
            for (int c = 0; c < r->nchannels; ++c)
                if ((*r->rates_in_start)[c] != double((*r->counters_in)[c]) / r->elapsed_time ||
                    (*r->rates_out_start)[c] != double((*r->counters_out)[c]) / r->elapsed_time || r->elapsed_time < 0.001)
                    out << QStringLiteral("wrong mean rate of channel %1").arg(c);
        }
    }
    return out;
}

readout::EnergyEvent ev(uint64_t ts, uint32_t channel, uint32_t raw, double energy, uint8_t f1 = 0, uint8_t f2 = 0,
                           uint32_t extra = 0)
{
    return readout::EnergyEvent{ts, channel, raw, energy, f1, f2, {}, extra};
}

readout::EnergyPair energyPair(uint64_t ts, uint32_t index, uint32_t raw0, uint32_t raw1, double e0, double e1,
                               uint8_t f1, uint8_t f2, uint32_t extra)
{
    return readout::EnergyPair{{}, ts, index, {raw0, raw1}, 0, {e0, e1}, {}, f1, f2, {}, extra};
}

scripted::Wave wave(uint64_t ts, uint64_t h64, int32_t samples, uint32_t h32a, uint32_t h32b, int32_t traces,
                    std::vector<int32_t> analog, std::vector<uint32_t> digital, uint32_t base)
{
    return scripted::Wave{readout::Waveform{ts, h64, samples, h32a, h32b, traces, nullptr},
                          readout::TraceBlock{base, 0, base + 1ull, base + 2, 0, nullptr, nullptr}, std::move(analog),
                          std::move(digital)};
}

// A board opened on the scripted plugin, a source block over it and a pin reading its output.
struct Rig {
    ScriptedBoards boards;
    QList<QuarixBlock*> blocks;
    std::unique_ptr<Source> source;
    PinInput sink{nullptr, QStringLiteral("sink")};

    ~Rig() { source.reset(); }

    Source* make(const QJsonObject& entry, bool eventsEnabled = true)
    {
        if (boards.boards.isEmpty() && !boards.open("dig", boardEntry(eventsEnabled)))
            return nullptr;
        BlockContext context = boards.context(&blocks, "processing/0/filter_chain/main/chain/src");
        source.reset(createBlock<Source>(nullptr, &context, entry));   // stops its worker before it goes
        sink.Connect(source->outputPins().at(0));
        return source.get();
    }
    bool start(const QJsonObject& entry, bool eventsEnabled = true)
    {
        return make(entry, eventsEnabled) && source->hasWorker() &&
               QMetaObject::invokeMethod(source.get(), "Run", Qt::DirectConnection);
    }
    // Waits for `count` messages, stops the worker and describes everything it produced.
    QStringList collect(int count)
    {
        const bool arrived = QTest::qWaitFor([&] { return source->outputPins().at(0)->size() >= count; }, 5000);
        source->shutdown();
        QStringList out;
        PinMessage m;
        while (sink.Pop(m) == PinInput::Taken) {
            out << describe(m);
            delete m.packet;
        }
        return arrived ? out : out << QStringLiteral("timed out");
    }
    QStringList calls(const QString& function) const
    {
        QStringList out;
        for (const scripted::Call& c : boards.plugin->calls(function.toStdString()))
            out << words(QString::fromStdString(c.path), c.status, c.count);
        return out;
    }
};
}  // namespace

class TestSource : public QObject {
    Q_OBJECT
private slots:
    void configuration_data()
    {
        QTest::addColumn<QJsonObject>("entry");
        QTest::addColumn<int>("endpoint");   // -1: no worker
        QTest::addColumn<double>("interval");
        QTest::addColumn<QString>("warning");   // "error": none, but a configuration error
        const QString invalid = QStringLiteral("Warning: source block  \"src\"  Invalid endpoint config parameter");
        const QString noBoard = "Warning: a source block  \"src\"  has been detected but the related board has not been found";
        const QString noEndpoint = QStringLiteral("Warning: a source block  \"src\"  has been detected but related "
                                                  "endpoint can not be found on board  \"dig\"");
        const auto entry = [](const QJsonArray& sources, const QJsonArray& parameters = {}) {
            return sourceEntry("energy", parameters, sources);
        };
        const auto interval = [](const QJsonValue& v) { return QJsonArray{blockParameter("download_interval", v)}; };
        QTest::newRow("bound") << entry({pin("dig", kEvents)}) << 0 << 10.0 << "";
        QTest::newRow("last of two") << entry({pin("dig", kEvents), pin("dig", "endpoints\\other")}) << 1 << 10.0 << "";
        QTest::newRow("interval") << entry({pin("dig", kEvents)}, interval(25.5)) << 0 << 25.5 << "";
        QTest::newRow("interval as text: 0") << entry({pin("dig", kEvents)}, interval("20")) << 0 << 0.0 << "";
        QTest::newRow("three parts") << entry({pin("dig", "endpoints\\events\\more")}) << -1 << 10.0 << invalid;
        QTest::newRow("later invalid") << entry({pin("dig", kEvents), pin("dig", "endpoint\\events")}) << -1 << 10.0 << invalid;
        QTest::newRow("board case") << entry({pin("Dig", kEvents)}) << -1 << 10.0 << noBoard;
        QTest::newRow("endpoint case") << entry({pin("dig", "endpoints\\Events")}) << -1 << 10.0 << noEndpoint;
        QTest::newRow("no sources") << entry({}) << -1 << 10.0 << "";
        QTest::newRow("endpoint of another type") << entry({pin("dig", "endpoints\\scope")}) << -1 << 10.0 << "error";
    }
    void configuration()
    {
        QFETCH(QJsonObject, entry);
        QFETCH(int, endpoint);
        QFETCH(double, interval);
        QFETCH(QString, warning);
        Rig rig;
        LogCapture log;
        Source* source = rig.make(entry);
        QVERIFY(source);
        QCOMPARE(log.lines(), warning.isEmpty() || warning == "error" ? QStringList() : QStringList{warning});
        QCOMPARE(source->outputPins().at(0)->name(), QStringLiteral("energy"));
        QCOMPARE(source->hasWorker(), endpoint >= 0);
        QCOMPARE(source->configurationError().isEmpty(), !warning.startsWith("error"));
        QCOMPARE(source->downloadInterval(), interval);
        if (endpoint >= 0) {
            QCOMPARE(source->endpointIndex(), endpoint);
            QCOMPARE(source->worker()->downloadInterval(), interval);
        }
        for (const char* slot : {"Run", "Start", "Stop", "Flush"})   // without a worker: nothing
            QVERIFY(endpoint >= 0 || QMetaObject::invokeMethod(source, slot, Qt::DirectConnection));
        QCOMPARE(rig.boards.briefs(), QStringList());
    }

    void recordsBecomePayloads_data()
    {
        QTest::addColumn<QString>("dataType");
        QTest::addColumn<QJsonArray>("calibration");
        QTest::addColumn<int>("messages");
        QTest::addColumn<QStringList>("expected");
        const QString ev = " " + kEvents + " ";
        const QJsonArray boardKev{blockParameter("use_board_kev", true)};
        const auto expression = [](const char* text) { return QJsonArray{blockParameter("energy_calibration_expression", text)}; };
        // Energy: one packet; header words of entry 0, packet time the last event's (not the largest).
        const QString energyHead = "energy" + ev + "11 12 energy 2000 3 true 0";
        QTest::newRow("energy, board keV") << "energy" << boardKev << 1 << QStringList{energyHead,
            "E energy 1 3000 3 4000 12.5 1 0 7", "E energy 1 1000 4294967295 0 -1.25 0 1 4294967295", "E energy 1 2000 7 4100 13 255 254 8"};
        QTest::newRow("energy, expression") << "energy" << expression("x*0.125+3.5") << 1 << QStringList{energyHead,
            "E energy 1 3000 3 4000 503.5 1 0 7", "E energy 1 1000 4294967295 0 3.5 0 1 4294967295", "E energy 1 2000 7 4100 516 255 254 8"};
        QTest::newRow("energy, board keV wins") << "energy" << QJsonArray{expression("2*x")[0], boardKev[0]} << 1 << QStringList{
            energyHead, "E energy 1 3000 3 4000 12.5 1 0 7", "E energy 1 1000 4294967295 0 -1.25 0 1 4294967295", "E energy 1 2000 7 4100 13 255 254 8"};
        QTest::newRow("energy, keV as text: none") << "energy" << QJsonArray{blockParameter("use_board_kev", "true")} << 1
            << QStringList{energyHead, "E energy 1 3000 3 4000 0 1 0 7", "E energy 1 1000 4294967295 0 0 0 1 4294967295",
                           "E energy 1 2000 7 4100 0 255 254 8"};
        // Pairs: one packet per record, channels 2p and 2p+1; header0 the record's time, header1 entry 0's.
        QTest::newRow("pairs, board keV") << "energy_pair" << boardKev << 2 << QStringList{
            "energy" + ev + "5000 102 energy 5000 2 true 0", "E energy 1 5000 0 700 7 1 0 42", "E energy 1 5000 1 800 8 1 0 42",
            "energy" + ev + "4000 102 energy 4000 2 true 0", "E energy 1 4000 10 900 9 0 1 43", "E energy 1 4000 11 1000 10 0 1 43"};
        QTest::newRow("pairs, expression") << "energy_pair" << expression("x/2+1") << 2 << QStringList{
            "energy" + ev + "5000 102 energy 5000 2 true 0", "E energy 1 5000 0 700 351 1 0 42", "E energy 1 5000 1 800 401 1 0 42",
            "energy" + ev + "4000 102 energy 4000 2 true 0", "E energy 1 4000 10 900 451 0 1 43", "E energy 1 4000 11 1000 501 0 1 43"};
        // Waveforms: one group; header words, time and group values of the last record; trace-major samples.
        QTest::newRow("waveforms") << "waveform" << QJsonArray() << 1 << QStringList{
            "waveform" + ev + "3 4 waveform 6000 1 true 0", "G waveform 6000 99 0 20 21",
            "W 100 101 102 0,-1000,2000 1,2,4", "W 100 101 102 -3000,4000,-5000 8,16,32",
            "W 200 201 202 -2147483648,2147483647 4294967295,0", "W 200 201 202 5,-5 3,4",
            "W 300 301 302  ", "W 300 301 302  "};
        // Rate counters: one packet per snapshot with channels; time = header word 0; null arrays read as zeros.
        const QString big = "9223372036854775813";
        QTest::newRow("rate counters") << "rate_counters" << QJsonArray() << 2 << QStringList{
            "rate_counters" + ev + "9000 9001 rate_counters 9000 1 true 0",
            "R rate_counters 9000 2 1500,9223372036854776000 1400,3 100000," + big + " 90000,7",
            "rate_counters" + ev + "9200 9201 rate_counters 9200 1 true 0", "R rate_counters 9200 3 1,2,3 0,0,0 0,0,0 40,50,60"};
    }
    void recordsBecomePayloads()
    {
        QFETCH(QString, dataType);
        QFETCH(QJsonArray, calibration);
        QFETCH(int, messages);
        QFETCH(QStringList, expected);
        Rig rig;
        using namespace scripted;
        Batch batch;
        if (dataType == "energy") {
            batch = {energy(ev(3000, 3, 4000, 12.5, 1, 0, 7), 11, 12),
                     energy(ev(1000, 4294967295u, 0, -1.25, 0, 1, 0xFFFFFFFFu), 21, 22),
                     energy(ev(2000, 7, 4100, 13.0, 255, 254, 8), 31, 32)};
        } else if (dataType == "energy_pair") {
            batch = {pair(energyPair(5000, 0, 700, 800, 7.0, 8.0, 1, 0, 42), 101, 102),
                     pair(energyPair(4000, 5, 900, 1000, 9.0, 10.0, 0, 1, 43), 201, 202)};
        } else if (dataType == "waveform") {
            batch = {wave(wave(7000, 1, 3, 10, 11, 2, {0, -1000, 2000, -3000, 4000, -5000}, {1, 2, 4, 8, 16, 32}, 100), 1, 2),
                     wave(wave(6500, 2, 2, 15, 16, 2, {-2147483647 - 1, 2147483647, 5, -5}, {0xFFFFFFFFu, 0, 3, 4}, 200), 5, 6),
                     wave(wave(6000, 99, 0, 20, 21, 2, {}, {}, 300), 3, 4)};
        } else {
            const uint64_t big = (uint64_t(1) << 63) + 5;
            batch = {rates(Rates{2, {1500, big}, {1400, 3}, {100000, big}, {90000, 7}}, 9000, 9001),
                     rates(Rates{0, {}, {}, {}, {}}, 9100, 0),
                     rates(Rates{3, {1, 2, 3}, {}, {}, {40, 50, 60}}, 9200, 9201)};
        }
        rig.boards.plugin->queue(kPath, batch);
        calibration.append(blockParameter("download_interval", 1));
        QVERIFY(rig.start(sourceEntry(dataType, calibration)));
        QCOMPARE(rig.source->outputPins().at(0)->name(), dataType);
        QCOMPARE(rig.collect(messages), expected);
        QCOMPARE(rig.source->worker()->badRecords(), dataType == "rate_counters" ? 1u : 0u);   // no channels
        QCOMPARE(rig.boards.plugin->outstanding(), 0);
    }

    // Exactly one free per delivered batch, right after its read, on the same
    // path; none for a failed or empty read. Failed reads and skipped records
    // are counted and reported as losses.
    void readsFreesAndLosses()
    {
        Rig rig;
        using namespace scripted;
        Wave beyond = wave(1, 0, RecordConverter::kMaxSamples + 1, 0, 0, 1, {1}, {1}, 0);
        Wave negative = wave(2, 0, -5, 0, 0, 1, {1}, {1}, 0);
        Wave tooManyTraces = wave(3, 0, 1, 0, 0, RecordConverter::kMaxTraces + 1, {1}, {1}, 0);
        Wave atLimit = wave(4, 0, RecordConverter::kMaxSamples, 0, 0, 2,
                            std::vector<int32_t>(2 * RecordConverter::kMaxSamples, -7),
                            std::vector<uint32_t>(2 * RecordConverter::kMaxSamples, 1), 0);
        rig.boards.plugin->queue(kPath, {wave(beyond, 1), nullRecord(2), wave(negative, 3)});
        rig.boards.plugin->queue(kPath, failedRead(-7));
        rig.boards.plugin->queue(kPath, Batch{});
        rig.boards.plugin->queue(kPath, {wave(tooManyTraces, 4), wave(atLimit, 5)});
        rig.boards.plugin->queue(kPath, failedRead(-3));
        QVERIFY(rig.start(sourceEntry("waveform", {blockParameter("download_interval", 1)})));
        QTRY_COMPARE(rig.boards.plugin->queued(kPath), 0);
        QTRY_COMPARE(rig.calls("FreePointer").size(), 2);
        const QStringList out = rig.collect(2);
        // The first batch: a group without waves (every record skipped); then one with 2 waves.
        QCOMPARE(out.size(), 6);
        QCOMPARE(out[0], "waveform " + kEvents + " 3 0 waveform 0 1 true 0");
        QCOMPARE(out[1], QStringLiteral("G waveform 0 0 0 0 0"));
        QCOMPARE(out[2], "waveform " + kEvents + " 5 0 waveform 4 1 true 0");
        QCOMPARE(out[3], QStringLiteral("G waveform 4 0 65536 0 0"));
        QCOMPARE(rig.calls("ReadData"), (QStringList{kEvents + " 0 3", kEvents + " -7 0", kEvents + " 0 0",
                                                     kEvents + " 0 2", kEvents + " -3 0"}));
        QCOMPARE(rig.calls("FreePointer"), (QStringList{kEvents + " 0 0", kEvents + " 0 0"}));
        QStringList order;
        for (const scripted::Call& c : rig.boards.plugin->calls())
            if (c.function == "ReadData" || c.function == "FreePointer")
                order << QString::fromStdString(c.function).left(1);
        QCOMPARE(order.join(""), QStringLiteral("RFRRRFR"));
        QCOMPARE(rig.boards.plugin->outstanding(), 0);
        BlockLosses losses;
        rig.source->appendLosses(losses);
        QCOMPARE(losses.size(), size_t(2));
        QCOMPARE(words(losses[0].cause, losses[0].count, losses[0].events, losses[1].cause, losses[1].count, losses[1].events),
                 QStringLiteral("read_errors 2 false bad_records 4 true"));
    }

    void aBatchBeyondTheEntryLimitIsOneBadRecord()
    {
        RecordConverter converter(QStringLiteral("energy"), kEvents);
        readout::Entry entry{};   // never read: the count alone rejects the batch
        std::vector<PinMessage> out;
        converter.convert(&entry, RecordConverter::kMaxEntries + 1, EnergyCalibration(), 1.0, out);
        QVERIFY(converter.badRecords() == 1 && out.empty());
    }

    void aWaveformSourceConfiguresAndStartsItsEndpointBeforeReading_data()
    {
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QStringList>("commands");
        const QStringList configs{"SendCommand \\cmd\\config1", "SendCommand \\cmd\\config2"};
        QTest::newRow("enabled") << true << configs + QStringList{"SendCommand \\cmd\\start1", "SendCommand \\cmd\\start2"};
        QTest::newRow("disabled") << false << configs;
        QTest::newRow("energy: nothing") << true << QStringList();
    }
    void aWaveformSourceConfiguresAndStartsItsEndpointBeforeReading()
    {
        QFETCH(bool, enabled);
        QFETCH(QStringList, commands);
        Rig rig;
        rig.boards.plugin->queue(kPath, scripted::failedRead(-7));
        QVERIFY(rig.start(sourceEntry(commands.isEmpty() ? "energy" : "waveform"), enabled));
        QTRY_COMPARE(rig.calls("ReadData").size(), 1);
        rig.source->shutdown();
        QCOMPARE(rig.boards.briefs(nullptr, {"SendCommand", "ReadData"}), commands + QStringList{"ReadData " + kEvents});
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
        // Called by name, as the start-up and the commands block do; the worker is not running.
        QVERIFY(QMetaObject::invokeMethod(rig.make(sourceEntry("energy"), enabled), slot.toLatin1().constData(),
                                          Qt::DirectConnection));
        QCOMPARE(rig.boards.briefs(), sent);
    }

    // The mean rates count from the worker's creation, then from each Flush or Start.
    void theRateTimeBaseRestartsAtFlushAndStart()
    {
        Rig rig;
        QVERIFY(rig.start(sourceEntry("rate_counters", {blockParameter("download_interval", 0)})));
        PinOutput* output = rig.source->outputPins().at(0);
        const auto snapshot = [&](const char* restart) {
            QTest::qWait(300);
            QElapsedTimer since;
            since.start();
            if (restart)
                QMetaObject::invokeMethod(rig.source.get(), restart, Qt::DirectConnection);
            const int before = output->size();
            rig.boards.plugin->queue(kPath, {scripted::rates(scripted::Rates{1, {}, {}, {5000}, {}}, 1)});
            const bool arrived = QTest::qWaitFor([&] { return output->size() == before + 1; }, 5000);
            return arrived ? 0.001 + double(since.elapsed() + 1) / 1000.0 : -1.0;
        };
        const double bounds[3] = {snapshot(nullptr), snapshot("Flush"), snapshot("Start")};
        rig.source->shutdown();
        for (int i = 0; i < 3; ++i) {
            PinMessage m;
            QCOMPARE(rig.sink.Pop(m), int(PinInput::Taken));
            const double elapsed = static_cast<QuarixPayload_RateCounters*>(m.packet->items.at(0))->elapsed_time;
            const double ms = (elapsed - 0.001) * 1000.0;
            delete m.packet;
            QCOMPARE(std::round(ms), ms);   // whole milliseconds plus 0.001 s
            if (i == 0)
                QVERIFY2(elapsed >= 0.301, qPrintable(QString::number(elapsed)));
            else
                QVERIFY2(elapsed >= 0.001 && elapsed <= bounds[i], qPrintable(QString::number(elapsed)));
        }
    }

    // A stop cuts the pause short (rate counters hold their batch 500 ms, the
    // interval is a minute) and still frees the batch; destroying the block
    // stops its worker first.
    void stoppingCutsThePauseAndStillFrees()
    {
        Rig rig;
        rig.boards.plugin->queue(kPath, {scripted::rates(scripted::Rates{1, {}, {}, {1}, {}}, 1)});
        QVERIFY(rig.start(sourceEntry("rate_counters", {blockParameter("download_interval", 60000)})));
        QTRY_COMPARE(rig.calls("ReadData").size(), 1);
        QCOMPARE(rig.boards.plugin->outstanding(), 1);
        QElapsedTimer stopping;
        stopping.start();
        rig.source->shutdown();
        QVERIFY2(stopping.elapsed() < 400, qPrintable(QString::number(stopping.elapsed())));
        QCOMPARE(rig.boards.plugin->outstanding(), 0);
        QCOMPARE(rig.calls("FreePointer").size(), 1);
        QCOMPARE(rig.source->outputPins().at(0)->size(), 1);

        Rig busy;
        for (int i = 0; i < 2000; ++i)
            busy.boards.plugin->queue(kPath, scripted::failedRead(-1));
        QVERIFY(busy.start(sourceEntry("energy", {blockParameter("download_interval", 0)})));
        QTRY_VERIFY(busy.calls("ReadData").size() >= 3);
        busy.source.reset();
        const int reads = busy.calls("ReadData").size();
        QTest::qWait(50);
        QCOMPARE(busy.calls("ReadData").size(), reads);
    }
};

QTEST_GUILESS_MAIN(TestSource)
#include "tst_source.moc"
