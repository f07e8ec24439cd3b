// The real server on scripted boards (tests/plugins/scripted): the generated
// records of scripted_data.h go through sources, tees, sorters, analysis
// blocks and writers. The test computes from the same record functions the
// bytes of every written file (in the three formats), the replies of the
// analysis and rate blocks, and what every block counts in "get_statistics".
#include "scripted_data.h"
#include "server_process.h"
#include "ws_client.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtEndian>
#include <QtTest>

#include <cmath>

namespace {
const QString kTrue = QStringLiteral("[{\"response\": true}]");
constexpr int kEvents = 10, kBatch = 3, kChannels = 4, kEventsPerFile = 6, kRates = 3, kPairs = 7;
constexpr int kSamples = 4, kTraces = 2, kDigital = 3;

QJsonObject parameter(const char* name, const QJsonValue& value)
{
    QJsonObject p{{"param_name", name}, {"param_value", value}};
    if (value.isArray())
        p.insert("param_type", "array");
    return p;
}

QJsonObject block(const char* type, const char* name, const QString& source, const QString& pin,
                  const QJsonArray& parameters = {}, const char* dataType = "energy")
{
    return QJsonObject{{"block_type", type}, {"name", name}, {"data_type", dataType}, {"input_count", 1},
                       {"output_count", 1}, {"sources", QJsonArray{QJsonObject{{"source", source}, {"pin", pin}}}},
                       {"parameters", parameters}};
}

QJsonObject board(const char* name, const QString& connection, const QStringList& endpoints)
{
    QJsonArray list;
    for (const QString& endpoint : endpoints)
        list.append(QJsonObject{{"name", endpoint}, {"path", "endpoints\\" + endpoint}, {"enable", true}});
    return QJsonObject{{"enable", true}, {"id", "1"}, {"board_name", name}, {"board_type", "digitizer"},
                       {"board_family", "scripted"}, {"board_plugin", "libVRAXDig2Scripted"},
                       {"board_connection_string", connection}, {"endpoints", list}};
}

// Boards B1 to B3 deliver once "hv_on" switched them (their high-voltage
// blocks send "commands\global_on"); B4 and B5 deliver from the start, all
// in one read.
QJsonObject scriptedConfig(const QString& storage, const QString& format)
{
    const QString after = QStringLiteral("after=global_on;");
    const QJsonArray hardware{
        board("B1", after + QStringLiteral("events=%1;rates=%2;channels=%3;batch=%4").arg(kEvents).arg(kRates).arg(kChannels).arg(kBatch),
              {"events", "rates"}),
        board("B2", after + QStringLiteral("waves=2;batch=1;samples=%1;traces=%2").arg(kSamples).arg(kTraces), {"waves"}),
        board("B3", after + QStringLiteral("pairs=%1;channels=4;batch=1").arg(kPairs), {"pairs"}),
        board("B4", "pairs=10005;channels=2;batch=10005", {"pairs"}),
        board("B5", QStringLiteral("pairs=%1;channels=4;batch=%1").arg(kPairs), {"pairs"})};
    const auto hv = [](const char* board) {
        return QJsonObject{{"block_type", "hv"}, {"name", QString("hv_") + board},
                           {"sources", QJsonArray{QJsonObject{{"source", board}}}}, {"parameters", QJsonArray{parameter("n_channels", 1)}}};
    };
    QJsonObject tee = block("tee", "evtee", "ev", "0");
    tee.insert("output_count", 4);
    QJsonObject tight = block("time_sorting", "tight", "pt", "0", {parameter("order_buffer_limit", 2)});
    const QJsonArray chain{
        block("source", "ev", "B1", "endpoints\\events"), tee, block("dumper", "list", "evtee", "0"),
        block("tof_histogram", "tof", "evtee", "1", {parameter("bin_number", 53), parameter("ch_number", 3), parameter("binning", 20)}),
        block("spectrum", "spec", "evtee", "2", {parameter("bin_number", 200), parameter("ch_number", 4), parameter("gain", 0.5)}),
        block("image", "image", "evtee", "3", {parameter("x_positions", QJsonArray{"A", "B", "C"}), parameter("y_positions", QJsonArray{"1"})}),
        block("source", "rt", "B1", "endpoints\\rates", {}, "rate_counters"),
        block("rate_counters_sink", "rates", "rt", "0", {}, "rate_counters"),
        block("source", "wv", "B2", "endpoints\\waves", {parameter("download_interval", 300)}, "waveform"),
        block("oscilloscope", "scope", "wv", "0", {parameter("sample_number", kSamples), parameter("ch_number", 2),
                                                   parameter("ch_analog", 1), parameter("ch_digital", kDigital)}, "waveform"),
        block("source", "pr", "B3", "endpoints\\pairs", {}, "energy_pair"),
        block("position", "position", "pr", "0", {parameter("correlated_channels", QJsonArray{1, 0, 3, 2}),
              parameter("positions", QJsonArray{0, 0, 1, 1}), parameter("y_positions", 4),
              parameter("energy_cut_min", 0), parameter("energy_cut_max", 800)}),
        block("source", "flood", "B4", "endpoints\\pairs", {}, "energy_pair"), block("spectrum", "fspec", "flood", "0",
              {parameter("bin_number", 16), parameter("ch_number", 2)}),
        block("source", "pt", "B5", "endpoints\\pairs", {}, "energy_pair"), tight,
        block("spectrum", "pspec", "tight", "0", {parameter("bin_number", 16), parameter("ch_number", 4)}),
        hv("B1"), hv("B2"), hv("B3")};
    return QJsonObject{
        {"storage", QJsonObject{{"file_path", storage}, {"events_per_file", kEventsPerFile}, {"format", format},
                                {"wavedump_time_interval", 100}, {"enable_list", true}, {"enable_mcs", true},
                                {"enable_wave", true}}},
        {"Hardware", hardware},
        {"processing", QJsonArray{QJsonObject{{"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "c"}, {"chain", chain}}}}}}}};
}

QString ask(WsClient& client, const QString& name, const QJsonArray& args)
{
    const QJsonObject message{{"path", "processing/0/filter_chain/c/chain/" + name}, {"args", args}};
    return client.request(QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact)));
}

QByteArray le(quint64 value, int bytes)
{
    QByteArray out(8, '\0');
    qToLittleEndian(value, out.data());
    return out.left(bytes);
}

QByteArray leDouble(double value)
{
    QByteArray out(8, '\0');
    qToLittleEndian(value, out.data());
    return out;
}

QByteArray leFloat(float value)
{
    QByteArray out(4, '\0');
    qToLittleEndian(value, out.data());
    return out;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing " + path.toUtf8() + '>');
}

// The list file holding events [first, last) without its BIN header.
QByteArray listBody(const QString& format, int first, int last)
{
    QByteArray body = format == "JSON" ? "[" : "";
    for (int i = first; i < last; ++i) {
        const readout::EnergyEvent e = scripted::energyEvent(i, kChannels);
        if (format == "BIN") {
            body += le(e.timestamp, 8) + le(e.channel, 8) + le(e.energy_raw, 8) + char(e.flag2 * 2 + e.flag1);
        } else if (format == "CSV") {
            body += QByteArray::number(quint64(e.timestamp)) + ',' + QByteArray::number(e.channel) + ','
                    + QByteArray::number(e.energy_raw) + ",\n";
        } else {
            body += QByteArray(i > first ? ",\n" : "") + "{\"timestamp\":" + QByteArray::number(quint64(e.timestamp))
                    + ",\"channel\":" + QByteArray::number(e.channel) + ",\"energy_raw\":" + QByteArray::number(e.energy_raw) + "}\n";
        }
    }
    return format == "JSON" ? body + ']' : body;
}

// The oscilloscope's one record: the second wave record (i = 1), which came
// 300 ms after the first one opened the file, past the 100 ms interval.
QByteArray waveBody(const QString& format)
{
    const int i = 1;
    QByteArray out = format == "BIN"
        ? le(kTraces, 4) + le(kSamples, 4) + le(1, 4) + le(kDigital, 4) + le(0, 4) + le(1, 4) + le(scripted::waveTimestamp(i), 8)
        : format == "CSV" ? QByteArray("2,4,1,3,") + QByteArray::number(quint64(scripted::waveTimestamp(i))) + ','
                          : "[{\"n_channels\":2,\"n_samples\":4,\"n_analog\":1,\"n_digital\":3,\"timestamp\":"
                                + QByteArray::number(quint64(scripted::waveTimestamp(i))) + ",\"channels\":[";
    for (int t = 0; t < kTraces; ++t) {
        QByteArrayList analog, digital;
        for (int s = 0; s < kSamples; ++s) {
            const int32_t a = scripted::analogSample(i, t, s);
            const uint32_t d = scripted::digitalSample(i, t, s) & ((1u << kDigital) - 1);
            if (format == "BIN") {
                out += leDouble(a);
                digital << le(d, 4);
            } else {
                analog << QByteArray::number(a);
                digital << QByteArray::number(d);
            }
        }
        if (format == "BIN")
            out += digital.join();
        else if (format == "CSV")
            out += analog.join(',') + ',' + digital.join(',') + ',';
        else
            out += QByteArray(t ? "]}," : "") + "{\"analog_traces\": [" + analog.join(',') + "],\"digital_traces\": ["
                   + digital.join(',');
    }
    return format == "CSV" ? out + '\n' : format == "JSON" ? out + "]}]}]" : out;
}

// One rate record of snapshot i, without its leading record time; the arrays
// are rates in, rates out, counts in, counts out.
QByteArray rateRecord(const QString& format, int i)
{
    QByteArrayList in, out, countsIn, countsOut;
    QByteArray bin = le(kChannels, 4);
    for (int part = 0; part < 4; ++part) {
        for (int c = 0; c < kChannels; ++c) {
            const quint64 value = part == 0 ? scripted::rateIn(i, c) : part == 1 ? scripted::rateOut(i, c)
                                  : part == 2 ? scripted::counterIn(i, c) : scripted::counterOut(i, c);
            bin += part < 2 ? leFloat(float(value)) : le(value, 8);
            (part == 0 ? in : part == 1 ? out : part == 2 ? countsIn : countsOut) << QByteArray::number(value);
        }
    }
    if (format == "BIN")
        return bin;
    if (format == "CSV")
        return ',' + in.join(',') + ',' + out.join(',') + ',' + countsIn.join(',') + ',' + countsOut.join(',') + '\n';
    return ",\"rate_in\":[" + in.join(',') + "],\"rate_out\":[" + out.join(',') + "],\"counts_in\":[" + countsIn.join(',')
           + "],\"counts_out\":[" + countsOut.join(',') + "]}";
}

// A channel histogram reply for the events: bin(event), channel clamped to the last.
template <typename Bin>
QString histogramReply(int channels, int bins, const QList<int>& asked, Bin bin)
{
    QVector<QVector<int>> counts(channels, QVector<int>(bins, 0));
    for (int i = 0; i < kEvents; ++i) {
        const readout::EnergyEvent e = scripted::energyEvent(i, kChannels);
        counts[qMin(int(e.channel), channels - 1)][qMin(bin(e), bins - 1)]++;
    }
    QStringList parts;
    for (int c : asked) {
        QStringList values;
        for (int v : counts[c])
            values << QString::number(v);
        parts << "{\"data\":[" + values.join(',') + "]}";
    }
    return '[' + parts.join(',') + ']';
}

// name -> "events_in events_out lost_events <losses by cause> | <dropped events per output pin>"
QString statistics(const QString& reply, const QStringList& names)
{
    QMap<QString, QString> blocks;
    for (const QJsonValue& value : QJsonDocument::fromJson(reply.toUtf8()).array()) {
        const QJsonObject b = value.toObject();
        QStringList fields{QString::number(b["events_in"].toDouble()), QString::number(b["events_out"].toDouble()),
                           QString::number(b["lost_events"].toDouble())};
        const QJsonObject losses = b["losses"].toObject();
        for (const QString& cause : losses.keys())
            fields << cause + '=' + QString::number(losses[cause].toDouble());
        fields << "|";
        for (const QJsonValue& pin : b["outputs"].toArray())
            fields << QString::number(pin.toObject()["dropped_events"].toDouble());
        blocks.insert(b["name"].toString(), b["name"].toString() + ": " + fields.join(' '));
    }
    QStringList lines;
    for (const QString& name : names)
        lines << blocks.value(name, name + ": missing");
    return lines.join('\n');
}
}  // namespace

class TestServerRecording : public QObject {
    Q_OBJECT
private slots:
    void scriptedRun_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<int>("signalNumber");
        QTest::newRow("BIN, SIGTERM") << "BIN" << int(SIGTERM);
        QTest::newRow("CSV, SIGINT") << "CSV" << int(SIGINT);
        QTest::newRow("JSON, SIGTERM") << "JSON" << int(SIGTERM);
    }

    void scriptedRun()
    {
        QFETCH(QString, format);
        QFETCH(int, signalNumber);
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SCRIPTED_PLUGIN)));
        QVERIFY(server.start(server.writeConfig(scriptedConfig(server.storagePath(), format))));
        WsClient commands, query;
        QVERIFY(commands.connectTo("commands") && query.connectTo("query_by_json"));
        for (const char* name : {"tof", "spec", "image", "position"})
            QCOMPARE(ask(query, name, {QJsonObject{{"cmd", "run_control"}, {"status", "freerun"}}}), kTrue);
        QCOMPARE(commands.request("{\"cmd\":\"start_dump\",\"run_id\":\"r\"}"), kTrue);
        QCOMPARE(commands.request("{\"cmd\":\"hv_on\"}"), kTrue);

        // Every block counts what it took and lost. The flooding source's queue of
        // 10000 messages drops five pairs. The time sorting block whose order buffer
        // holds two events takes the first pair and refuses those arriving while it
        // holds it (5 ms): how many depends on timing, but it refuses some, counts
        // them as lost and hands on the rest.
        const QStringList names{"ev", "evtee", "list", "tof", "spec", "image", "rt", "rates", "wv", "scope", "pr",
                                "position", "flood", "fspec", "pt", "tight", "pspec"};
        const QString source = QStringLiteral(" bad_records=0 read_errors=0 | ");
        QString reply;
        int sorted = 0;   // events the time sorting block handed on
        const auto expected = [&] {
            for (const QJsonValue& b : QJsonDocument::fromJson(reply.toUtf8()).array())
                sorted = b["name"] == "tight" ? b["events_out"].toInt() : sorted;
            const QString lost = QString::number(2 * kPairs - sorted), out = QString::number(sorted);
            return QStringList({"ev: 0 10 0" + source + "0", "evtee: 10 40 0 | 0 0 0 0", "list: 10 0 0 |", "tof: 10 0 0 |",
                                "spec: 10 0 0 |", "image: 10 0 0 |", "rt: 0 3 0" + source + "0", "rates: 3 0 0 |",
                                "wv: 0 2 0" + source + "0", "scope: 2 0 0 |", "pr: 0 14 0" + source + "0", "position: 14 0 0 |",
                                "flood: 0 20000 10" + source + "10", "fspec: 20000 0 0 |", "pt: 0 14 0" + source + "0",
                                "tight: 14 " + out + ' ' + lost + " order_buffer_full=" + lost + " | 0", "pspec: " + out + " 0 0 |"})
                .join('\n');
        };
        const auto mismatch = [&] {   // empty once the counts are as expected
            reply = commands.request("{\"cmd\":\"get_statistics\"}");
            const QString actual = statistics(reply, names), wanted = expected();
            return actual == wanted ? QString() : actual + "\n  expected:\n" + wanted;
        };
        QTRY_COMPARE_WITH_TIMEOUT(mismatch(), QString(), 20000);
        QVERIFY2(sorted >= 2 && sorted < 2 * kPairs, qPrintable(reply));

        // Analysis replies: time of flight rounds timestamp / 20 (halves up), the
        // spectrum truncates raw energy x 0.5; both keep the last bin and channel.
        QCOMPARE(ask(query, "tof", {QJsonObject{{"cmd", "get_data"}, {"channels", QJsonArray{2, 0}}}, QJsonObject{{"channels", QJsonArray{2}}}}),
                 histogramReply(3, 53, {0, 2}, [](const readout::EnergyEvent& e) { return int(std::floor(e.timestamp / 20.0 + 0.5)); }));
        QCOMPARE(ask(query, "spec", {QJsonObject{{"cmd", "get_data"}, {"channels", QJsonArray{3, 1}}}}),
                 histogramReply(4, 200, {1, 3}, [](const readout::EnergyEvent& e) { return int(e.energy_raw * 0.5); }));
        // The image: channel c at row c / 3, column c % 3; channel 3 lies outside it.
        QVector<int> cells(3, 0);
        for (int i = 0; i < kEvents; ++i) {
            const int c = int(scripted::energyEvent(i, kChannels).channel);
            if (c < 3)
                cells[c]++;
        }
        const QString image = QStringLiteral("{\"data\":[[%1,%2,%3]]}").arg(cells[0]).arg(cells[1]).arg(cells[2]);
        QCOMPARE(ask(query, "image", {QJsonObject{{"cmd", "get_data"}, {"source", "immediate"}}}), image);
        QCOMPARE(ask(query, "image", {QJsonObject{{"cmd", "get_data"}, {"source", "immediate"}}}), QString("{\"data\":[[0,0,0]]}"));
        QCOMPARE(ask(query, "image", {QJsonObject{{"cmd", "get_data"}, {"source", "cumulative"}}}), image);
        // Position: ratio = energy of the even channel / sum, row = round(4 x ratio),
        // column = positions[channel]; pairs whose sum passes 800 are discarded.
        QVector<QVector<int>> heatmap(4, QVector<int>(2, 0));
        QStringList xs, ys;
        for (int i = kPairs - 1; i >= 0; --i) {
            const readout::EnergyPair p = scripted::energyPair(i, 4);
            const double sum = double(p.energy_raw[0]) + p.energy_raw[1];
            if (sum > 800)
                continue;
            const double ratio = p.energy_raw[0] / sum;
            heatmap[qMin(3, int(std::lround(4 * ratio)))][p.pair_index]++;
            xs << QString::number(p.pair_index) << QString::number(p.pair_index);   // each packet adds two frames
            ys << QString::number(ratio, 'g', 6) << QString::number(ratio, 'g', 6);
        }
        QStringList rows;
        for (const QVector<int>& row : heatmap)
            rows << QStringLiteral("[%1,%2]").arg(row[0]).arg(row[1]);
        QCOMPARE(ask(query, "position", {QJsonObject{{"cmd", "get_data"}, {"source", "heatmap"}}}), "{\"data\":[" + rows.join(',') + "]}");
        QCOMPARE(ask(query, "position", {QJsonObject{{"cmd", "get_data"}, {"source", "scatter"}}}),
                 "{\"data\":[{\"x\":[" + xs.join(',') + "]},{\"y\":[" + ys.join(',') + "]}]}");
        QVERIFY(server.output().count("Discrding energy") == 1);
        // The rate history, newest first, with the board's timestamps.
        QStringList history;
        for (int i = kRates - 1; i >= 0; --i) {
            QStringList in, out, countsIn, countsOut;
            for (int c = 0; c < kChannels; ++c) {
                in << QString::number(scripted::rateIn(i, c));
                out << QString::number(scripted::rateOut(i, c));
                countsIn << QString::number(scripted::counterIn(i, c));
                countsOut << QString::number(scripted::counterOut(i, c));
            }
            history << QStringLiteral("{\"timestamp\":%1,\"rates_in\":[%2],\"counts_in\":[%3],\"rates_out\":[%4],\"counts_out\":[%5]}")
                           .arg(scripted::rateTimestamp(i)).arg(in.join(','), countsIn.join(','), out.join(','), countsOut.join(','));
        }
        QCOMPARE(ask(query, "rates", {QJsonObject{{"cmd", "get_data"}, {"source", "data"}}}), "{\"data\":[" + history.join(',') + "]}");
        const QString latest = ask(query, "rates", {QJsonObject{{"cmd", "get_data"}, {"source", "immediate"}}});
        QVERIFY2(latest.startsWith("{\"status\": \"ok\", " + history.first().mid(1).chopped(1) + ",\"rates_in_start\":["), qPrintable(latest));

        // The signal closes every file; then the files hold exactly what was delivered.
        QCOMPARE(server.terminate(20000, signalNumber), 0);
        const QString run = server.storagePath() + "/r/";
        const QString ext = '.' + format.toLower();
        QCOMPARE(QDir(run).entryList({"*" + ext}, QDir::Files), QStringList({"list_0" + ext, "list_1" + ext, "rates_0" + ext, "scope_0" + ext}));
        QByteArray list0 = readFile(run + "list_0" + ext), list1 = readFile(run + "list_1" + ext);
        QByteArray rates = readFile(run + "rates_0" + ext), waves = readFile(run + "scope_0" + ext);
        QByteArray expectedRates;
        if (format == "BIN") {
            const QRegularExpression header("^QRXS\\d{10}$");
            QVERIFY2(header.match(QString::fromLatin1(list0.left(14))).hasMatch(), list0.left(14));
            QVERIFY2(header.match(QString::fromLatin1(list1.left(14))).hasMatch(), list1.left(14));
            list0.remove(0, 14);
            list1.remove(0, 14);
            for (const QByteArray& magic : {QByteArray("QRXR"), QByteArray("QRXO")}) {
                QByteArray& file = magic == "QRXR" ? rates : waves;
                QCOMPARE(file.left(8), magic + QByteArray(4, '\0'));
                const qint64 created = qFromLittleEndian<qint64>(file.constData() + 8);
                QVERIFY(qAbs(created - QDateTime::currentSecsSinceEpoch()) < 600);
                file.remove(0, 16);
            }
            // Each rate record starts with its 8-byte time since the file opened.
            QCOMPARE(rates.size(), kRates * (8 + 4 + 24 * kChannels));
            for (int i = kRates - 1; i >= 0; --i)
                rates.remove(i * (8 + 4 + 24 * kChannels), 8);
            for (int i = 0; i < kRates; ++i)
                expectedRates += rateRecord(format, i);
        } else {
            // Record times since the file opened vary: each is replaced by T.
            rates = QString::fromLatin1(rates)
                        .replace(QRegularExpression(format == "CSV" ? "\n\\d+," : "\"timestamp\":\\d+,"),
                                 format == "CSV" ? "\nT," : "\"timestamp\":T,")
                        .toLatin1();
            QByteArray header = "timestamp";
            for (const char* column : {"rate_in_ch%1,rate_in_T0", "rate_out_ch%1,DUMMY1", "counts_in_ch%1,counts_in_T0", "counts_out_ch%1,DUMMY2"}) {
                for (int c = 0; c < 32; ++c)
                    header += ',' + QString(column).section(',', 0, 0).arg(c).toLatin1();
                header += ',' + QString(column).section(',', 1).toLatin1();
            }
            expectedRates = format == "CSV" ? header + '\n' : "[";
            for (int i = 0; i < kRates; ++i)
                expectedRates += format == "CSV" ? 'T' + rateRecord(format, i)
                                                 : QByteArray(i ? "," : "") + "{\"timestamp\":T" + rateRecord(format, i);
            if (format == "JSON")
                expectedRates += ']';
        }
        // A file ends with the message that took it past 6 events: messages of 3, 3, 3 | 1.
        QCOMPARE(list0, listBody(format, 0, 9));
        QCOMPARE(list1, listBody(format, 9, kEvents));
        QCOMPARE(rates, expectedRates);
        QCOMPARE(waves, waveBody(format));
        QVERIFY2(!server.output().contains("Sanitizer") && !server.output().contains("runtime error"), qPrintable(server.output()));
    }
};

QTEST_GUILESS_MAIN(TestServerRecording)
#include "tst_server_recording.moc"
