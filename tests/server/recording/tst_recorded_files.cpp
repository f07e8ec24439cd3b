// A recorded run of exact events, waveforms and counters from the scripted
// board, through the server's sources and writers into the files of the run
// folder: the list, waveform and rate files in each of their three forms, byte
// for byte.
#include "script_plugin_fixture.h"
#include "server_process.h"
#include "ws_client.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

using scriptplugin::ScriptPluginFixture;

namespace {
const QString kEvents = QStringLiteral("endpoints\\events");
const QString kRates = QStringLiteral("endpoints\\rates");
const QString kWaves = QStringLiteral("endpoints\\waves");
const QString kTrue = QStringLiteral("[{\"response\": true}]");

// Reset commands the board receives before the test's own "reset": one at
// start-up and one from "start_dump". The scripted data waits for the third,
// so it reaches writers that are already recording.
constexpr int kResetsUntilRecording = 3;

const QVector<scriptplugin::Energy> kEventBatch{
    {1, 2, 1000, 3, 4000, 12.5, 0, 0, 7}, {1, 2, 1010, 4, 4095, 13.0, 1, 0, 0}, {1, 2, 5000000000, 31, 0, 0.0, 1, 1, 0}};

QByteArray le(quint64 value, int bytes)
{
    QByteArray out(8, '\0');
    qToLittleEndian(value, out.data());
    return out.left(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing " + path.toUtf8() + '>');
}

QJsonObject endpointCommand(const QString& endpoint, const char* type)
{
    return QJsonObject{{"name", endpoint + ' ' + type}, {"path", "endpoints\\" + endpoint + '\\' + type},
                       {"command_type", type}, {"endpoint_type", endpoint}};
}

QJsonObject block(const char* type, const char* name, const char* dataType, const QJsonArray& sources)
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", dataType}, {"input_count", 1},
                       {"sources", sources}};
}

QJsonObject chain(const char* name, const QJsonArray& blocks)
{
    return QJsonObject{{"enable", true}, {"name", name}, {"chain", blocks}};
}

// Two waves of four samples: analog values, then the digital words (line 0 only).
scriptplugin::Waveform waveGroup(quint64 timestamp)
{
    scriptplugin::Waveform group;
    group.timestamp = timestamp;
    group.nSamples = 4;
    group.nTraces = 2;
    group.analog = {10, 20, 30, 40, -1, -2, -3, -4};
    group.digital = {1, 0, 1, 0, 0, 1, 1, 0};
    return group;
}

// The oscilloscope opens its file with the first group and records the
// second, which comes more than the dump interval later.
const quint64 kRecordedWaveTime = 900000;

QByteArray waveBody(const QString& format)
{
    if (format == "BIN") {
        QByteArray record = le(2, 4) + le(4, 4) + le(1, 4) + le(1, 4) + le(0, 4) + le(1, 4) + le(kRecordedWaveTime, 8);
        const scriptplugin::Waveform group = waveGroup(kRecordedWaveTime);
        for (int channel = 0; channel < 2; ++channel) {
            for (int sample = 0; sample < 4; ++sample) {
                QByteArray value(8, '\0');
                qToLittleEndian(double(group.analog[channel * 4 + sample]), value.data());
                record += value;
            }
            for (int sample = 0; sample < 4; ++sample)
                record += le(group.digital[channel * 4 + sample], 4);
        }
        return record;
    }
    if (format == "CSV")
        return "2,4,1,1,900000,10,20,30,40,1,0,1,0,-1,-2,-3,-4,0,1,1,0,\n";
    return "[{\"n_channels\":2,\"n_samples\":4,\"n_analog\":1,\"n_digital\":1,\"timestamp\":900000,\"channels\":["
           "{\"analog_traces\": [10,20,30,40],\"digital_traces\": [1,0,1,0]},"
           "{\"analog_traces\": [-1,-2,-3,-4],\"digital_traces\": [0,1,1,0]}]}]";
}

QByteArray floatLE(float value)
{
    QByteArray out(4, '\0');
    qToLittleEndian(value, out.data());
    return out;
}

// Two channels: input and output rates, input and output counts.
scriptplugin::RateCounters rateSnapshot()
{
    scriptplugin::RateCounters snapshot;
    snapshot.nChannels = 2;
    snapshot.ratesIn = QVector<uint64_t>{100, 200};
    snapshot.ratesOut = QVector<uint64_t>{90, 180};
    snapshot.countersIn = QVector<uint64_t>{1000, 2000};
    snapshot.countersOut = QVector<uint64_t>{900, 1800};
    return snapshot;
}

// The records of the event batch as the list file holds them.
QByteArray listBody(const QString& format)
{
    QByteArray body = format == "JSON" ? "[" : "";
    for (int i = 0; i < kEventBatch.size(); ++i) {
        const scriptplugin::Energy& e = kEventBatch[i];
        if (format == "BIN") {
            body += le(e.timestamp, 8) + le(e.channel, 8) + le(e.energyRaw, 8) + char(e.flag2 * 2 + e.flag1);
        } else if (format == "CSV") {
            body += QByteArray::number(quint64(e.timestamp)) + ',' + QByteArray::number(e.channel) + ','
                    + QByteArray::number(e.energyRaw) + ",\n";
        } else {
            body += QByteArray(i > 0 ? ",\n" : "") + "{\"timestamp\":" + QByteArray::number(quint64(e.timestamp))
                    + ",\"channel\":" + QByteArray::number(e.channel) + ",\"energy_raw\":"
                    + QByteArray::number(e.energyRaw) + "}\n";
        }
    }
    return format == "JSON" ? body + ']' : body;
}

// Runs "start_dump" with run id "r" and releases the scripted data; the test
// then waits until the sources have handed it on and ends the server with
// SIGTERM, so the writers drain their queues and close their files.
struct RecordedRun {
    ServerProcess server;
    ScriptPluginFixture board{server.dir()};

    bool start(const QString& format)
    {
        board.addEnergyBatch(kEvents, kEventBatch)
            .holdLastBatchUntilCommand(kEvents, kEvents + "\\reset", kResetsUntilRecording)
            .addRateBatch(kRates, {rateSnapshot()})
            .holdLastBatchUntilCommand(kRates, kRates + "\\reset", kResetsUntilRecording)
            .addWaveformBatch(kWaves, {waveGroup(800000)})
            .holdLastBatchUntilCommand(kWaves, kWaves + "\\reset", kResetsUntilRecording)
            .addWaveformBatch(kWaves, {waveGroup(kRecordedWaveTime)});
        if (!board.write() || !server.addPlugin(ScriptPluginFixture::pluginPath()))
            return false;

        const QJsonObject boardEntry{
            {"enable", true}, {"id", "1"}, {"board_name", "B1"}, {"board_type", "digitizer"},
            {"board_plugin", "libVRAXDig2Script"}, {"board_connection_string", board.connectionString()},
            {"endpoints", QJsonArray{QJsonObject{{"name", "events"}, {"path", kEvents}, {"enable", true}},
                                     QJsonObject{{"name", "rates"}, {"path", kRates}, {"enable", true}},
                                     QJsonObject{{"name", "waves"}, {"path", kWaves}, {"enable", true}}}},
            {"commands", QJsonArray{endpointCommand("events", "reset"), endpointCommand("rates", "reset"),
                                    endpointCommand("waves", "reset")}}};
        const auto parameter = [](const char* name, int value) {
            return QJsonObject{{"param_name", name}, {"param_value", value}};
        };
        QJsonObject scope = block("oscilloscope", "scope", "waveform", {QJsonObject{{"source", "wv"}, {"pin", "0"}}});
        scope.insert("parameters", QJsonArray{parameter("sample_number", 4), parameter("ch_number", 2),
                                              parameter("ch_analog", 1), parameter("ch_digital", 1)});
        const QJsonArray chains{
            chain("list", {QJsonObject{{"block_type", "source"}, {"name", "ev"}, {"data_type", "energy"},
                                       {"sources", QJsonArray{QJsonObject{{"source", "B1"}, {"pin", kEvents}}}}},
                           block("dumper", "list", "energy", {QJsonObject{{"source", "ev"}, {"pin", "0"}}})}),
            chain("rates", {QJsonObject{{"block_type", "source"}, {"name", "rt"}, {"data_type", "rate_counters"},
                                        {"sources", QJsonArray{QJsonObject{{"source", "B1"}, {"pin", kRates}}}}},
                            block("rate_counters_sink", "rates", "rate_counters",
                                  {QJsonObject{{"source", "rt"}, {"pin", "0"}}})}),
            // The second group is read 300 ms after the first: past the 100 ms dump interval.
            chain("scope", {QJsonObject{{"block_type", "source"}, {"name", "wv"}, {"data_type", "waveform"},
                                        {"sources", QJsonArray{QJsonObject{{"source", "B1"}, {"pin", kWaves}}}},
                                        {"parameters", QJsonArray{parameter("download_interval", 300)}}},
                            scope})};
        const QJsonObject config{
            {"storage", QJsonObject{{"file_path", server.storagePath()}, {"events_per_file", 1000}, {"format", format},
                                    {"wavedump_time_interval", 100}, {"enable_list", true}, {"enable_mcs", true},
                                    {"enable_wave", true}}},
            {"Hardware", QJsonArray{boardEntry}},
            {"processing", QJsonArray{QJsonObject{{"filter_chain", chains}}}}};
        WsClient commands;
        return server.start(server.writeConfig(config)) && commands.connectTo("commands")
               && commands.request(R"({"cmd":"start_dump","run_id":"r"})") == kTrue
               && commands.request(R"({"cmd":"reset"})") == kTrue;
    }

    QByteArray file(const QString& name) { return readFile(server.storagePath() + "/r/" + name); }
};
}  // namespace

class TestRecordedFiles : public QObject {
    Q_OBJECT
private slots:
    void scriptedDataIsRecordedByteForByte_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("extension");
        QTest::newRow("BIN") << "BIN" << ".bin";
        QTest::newRow("CSV") << "CSV" << ".csv";
        QTest::newRow("JSON") << "JSON" << ".json";
    }

    void scriptedDataIsRecordedByteForByte()
    {
        QFETCH(QString, format);
        QFETCH(QString, extension);
        RecordedRun run;
        QVERIFY(run.start(format));
        // Every batch handed back: one of events, one of counters, two of waveforms.
        QTRY_COMPARE_WITH_TIMEOUT(run.board.paths("FreePointer").size(), 4, 10000);
        QCOMPARE(run.server.terminate(), 0);

        QByteArray list = run.file("list_0" + extension);
        QByteArray rates = run.file("rates_0" + extension);
        QByteArray waves = run.file("scope_0" + extension);
        QByteArray expectedRates;
        if (format == "BIN") {
            // Headers: magic and the creation time (ten decimal digits for the list file).
            QVERIFY2(QRegularExpression("^QRXS\\d{10}$").match(QString::fromLatin1(list.left(14))).hasMatch(), list.left(14));
            list = list.mid(14);
            QCOMPARE(rates.left(8), QByteArray("QRXR\0\0\0\0", 8));
            rates = rates.mid(16);
            // The record time (8 bytes) is the run's elapsed time: checked for size only.
            QCOMPARE(rates.size(), 12 + 24 * 2);
            rates = rates.mid(8);
            QCOMPARE(waves.left(8), QByteArray("QRXO\0\0\0\0", 8));
            waves = waves.mid(16);
            expectedRates = le(2, 4) + floatLE(100) + floatLE(200) + floatLE(90) + floatLE(180) + le(1000, 8) + le(2000, 8)
                            + le(900, 8) + le(1800, 8);
        } else if (format == "CSV") {
            const int headerEnd = rates.indexOf('\n') + 1;
            QVERIFY(rates.startsWith("timestamp,rate_in_ch0,"));
            QCOMPARE(rates.left(headerEnd).count(','), 132);
            rates = rates.mid(headerEnd);
            rates = rates.mid(rates.indexOf(','));   // after the record time
            expectedRates = ",100,200,90,180,1000,2000,900,1800\n";
        } else {
            rates.replace(QRegularExpression("\"timestamp\":\\d+,").match(QString::fromLatin1(rates)).captured(0).toLatin1(),
                          "\"timestamp\":T,");
            expectedRates = "[{\"timestamp\":T,\"rate_in\":[100,200],\"rate_out\":[90,180],\"counts_in\":[1000,2000],"
                            "\"counts_out\":[900,1800]}]";
        }
        QCOMPARE(list, listBody(format));
        QCOMPARE(rates, expectedRates);
        QCOMPARE(waves, waveBody(format));
    }
};

QTEST_GUILESS_MAIN(TestRecordedFiles)
#include "tst_recorded_files.moc"
