// The rate-counter sink in-process: snapshots pushed through a pin of the test, the
// latest/history replies, and the rate files compared byte for byte. The record time
// (ms since the file was opened) is read back and checked for plausibility; every other byte is fixed.
#include "blocks/rate_counters/sink_rate_counter.h"
#include "block_test_rig.h"
#include "core/quarix_payload_rate_counters.h"
#include "log_capture.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

using namespace block_test;

namespace {

const QString kAccepted = QStringLiteral("[{\"response\": true}]");

// A snapshot whose values tell channel and seed apart.
QuarixPayload_RateCounters* snapshot(quint64 timestamp, int channels, int seed)
{
    auto* s = new QuarixPayload_RateCounters(channels);
    s->timestamp = timestamp;
    for (int i = 0; i < channels; ++i) {
        (*s->rates_in)[i] = seed * 100 + i + 0.5;
        (*s->counters_in)[i] = quint64(seed) * 1000000 + quint64(i);
        (*s->rates_out)[i] = (seed * 100 + i) * 0.25;
        (*s->counters_out)[i] = (quint64(1) << 40) + quint64(seed * 10 + i);
        (*s->rates_in_start)[i] = i * 1.5;
        (*s->rates_out_start)[i] = i / 3.0;
    }
    s->elapsed_time = 2.0;
    return s;
}

// The four lists of a record as text: rates in, rates out, counts in, counts out.
QStringList textLists(int n, int seed)
{
    std::unique_ptr<QuarixPayload_RateCounters> s(snapshot(0, n, seed));
    QStringList lists{QString(), QString(), QString(), QString()};
    for (int i = 0; i < n; ++i) {
        const QString separator = i > 0 ? QStringLiteral(",") : QString();
        lists[0] += separator + QString::number((*s->rates_in)[i], 'g', 6);
        lists[1] += separator + QString::number((*s->rates_out)[i], 'g', 6);
        lists[2] += separator + QString::number((*s->counters_in)[i]);
        lists[3] += separator + QString::number((*s->counters_out)[i]);
    }
    return lists;
}

QStringList csvFields(qint64 t, int n, int seed)
{
    return (QString::number(t) + ',' + textLists(n, seed).join(',')).split(',');
}

QString jsonRecord(qint64 t, int n, int seed)
{
    const QStringList lists = textLists(n, seed);
    return QStringLiteral("{\"timestamp\":%1,\"rate_in\":[%2],\"rate_out\":[%3],\"counts_in\":[%4],\"counts_out\":[%5]}")
        .arg(t).arg(lists[0], lists[1], lists[2], lists[3]);
}

QString csvHeader()
{
    QStringList columns{QStringLiteral("timestamp")};
    const char* groups[4][2] = {
        {"rate_in_ch", "rate_in_T0"}, {"rate_out_ch", "DUMMY1"}, {"counts_in_ch", "counts_in_T0"}, {"counts_out_ch", "DUMMY2"}};
    for (const auto& group : groups) {
        for (int i = 0; i < 32; ++i)
            columns << QLatin1String(group[0]) + QString::number(i);
        columns << QLatin1String(group[1]);
    }
    return columns.join(',');
}

// The record times of a JSON rate file, in order.
QList<qint64> jsonTimes(const QByteArray& bytes)
{
    QList<qint64> times;
    QRegularExpressionMatchIterator it =
        QRegularExpression(QStringLiteral("\\{\"timestamp\":(\\d+),")).globalMatch(QString::fromLatin1(bytes));
    while (it.hasNext())
        times << it.next().captured(1).toLongLong();
    return times;
}

QStringList csvLines(const QString& path)
{
    return QString::fromLatin1(readFile(path)).split('\n');
}

class SinkRig : public UpstreamRig<SinkRateCounter> {
public:
    explicit SinkRig(const QJsonArray& parameters = QJsonArray())
        : UpstreamRig("processing/0/filter_chain/mcs/chain/rates", blockEntry("rate_counters_sink", "rates", "rates", parameters)) {}

    void push(std::vector<QuarixPayload_RateCounters*> snapshots)
    {
        auto* packet = new DataPacket(QStringLiteral("rate_counters"), 0);
        packet->items.assign(snapshots.begin(), snapshots.end());
        UpstreamRig::push(packet);
    }
    // Configures and starts a run; returns the path of its first file.
    QString start(const QString& type, const QString& runId, const QString& extension)
    {
        block().ConfigureDump(0, type, storage.path());
        block().StartDump(runId);
        return storage.runFolder(runId) + "/rates_0." + extension;
    }

    QString latest() { return command(R"({"args":[{"cmd":"get_data"},{"source":"immediate"}]})"); }
    QString history() { return command(R"({"args":[{"cmd":"get_data","source":"data"}]})"); }
    QJsonArray historyArray() { return QJsonDocument::fromJson(history().toUtf8()).object().value("data").toArray(); }
    // The timestamp of the latest snapshot, or -1 before any.
    qint64 latestTimestamp()
    {
        const QJsonObject reply = QJsonDocument::fromJson(latest().toUtf8()).object();
        return reply.value("status") == "ok" ? reply.value("timestamp").toVariant().toLongLong() : -1;
    }

    RunStorage storage;
};

}  // namespace

class SinkRateCounterTest : public QObject {
    Q_OBJECT

private slots:
    void readsTheChannelMap()
    {
        auto map = [](const char* type, const QJsonArray& names) {
            return QJsonObject{{"param_name", "channel_map"}, {"param_type", type}, {"param_value", names}};
        };
        // The last "array_string" entry counts; other types are ignored.
        SinkRig rig({map("array_string", {"a", "b"}), map("array", {"x"}), map("array_string", {"PMT 1", "PMT 2", "veto"})});
        QCOMPARE(rig.block().channelMap(), (QStringList{"PMT 1", "PMT 2", "veto"}));
    }
    void interpretMessageRepliesToItsCommands_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        for (const char* accepted : {R"({"args":[{"cmd":"set_dump_type"}],"file_type":"CSV"})",
                                     R"({"args":[{"cmd":"start_dump"}],"run_id":"x"})", R"({"args":[{"cmd":"stop_dump"}]})",
                                     R"({"args":[{"cmd":"pause_dump"}]})", R"({"args":[{"cmd":"reset"}]})"})
            QTest::newRow(accepted) << accepted << kAccepted;
        QTest::newRow("set_dump_path, no storage folder known") << R"({"args":[{"cmd":"set_dump_path"}],"file_path":"/tmp"})"
                                                                << QStringLiteral("[{\"response\": false}]");
        QTest::newRow("get_data other source") << R"({"args":[{"cmd":"get_data","source":"all"}]})" << QString();
        QTest::newRow("get_data no source") << R"({"args":[{"cmd":"get_data"}]})" << QString();
        QTest::newRow("top-level cmd") << R"({"cmd":"stop_dump"})" << QString();
        QTest::newRow("set_dump_events") << R"({"args":[{"cmd":"set_dump_events"}],"dump_events":3})" << QString();
        QTest::newRow("not JSON") << "reset" << QString();
    }
    void interpretMessageRepliesToItsCommands()
    {
        QFETCH(QString, message);
        QFETCH(QString, reply);
        SinkRig rig;
        QCOMPARE(rig.command(message), reply);
    }

    // Replies
    void latestReplyCarriesTheNewestSnapshot()
    {
        SinkRig rig;
        // The reply replaces whatever the string held.
        QCOMPARE(rig.command(R"({"args":[{"cmd":"get_data"},{"source":"immediate"}]})", "old"), QStringLiteral("{\"status\": \"nodata\"}"));
        rig.push({snapshot(5, 2, 1), snapshot(77, 2, 2)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(77));
        QCOMPARE(rig.latest(), QStringLiteral("{\"status\": \"ok\", \"timestamp\":77,\"rates_in\":[200.5,201.5],\"counts_in\":[2000000,2000001],"
                                              "\"rates_out\":[50,50.25],\"counts_out\":[1099511627796,1099511627797],"
                                              "\"rates_in_start\":[0,1.5],\"rates_out_start\":[0,0.333333]}"));
    }
    // Newest first; "reset" empties the history but keeps the latest snapshot.
    void historyReplyIsNewestFirstUntilReset()
    {
        SinkRig rig;
        QCOMPARE(rig.history(), QStringLiteral("{\"data\":[]}"));
        rig.push({snapshot(1, 1, 0)});
        rig.push({snapshot(2, 1, 3)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(2));
        QCOMPARE(rig.history(), QStringLiteral("{\"data\":[{\"timestamp\":2,\"rates_in\":[300.5],\"counts_in\":[3000000],\"rates_out\":[75],"
                                               "\"counts_out\":[1099511627806]},{\"timestamp\":1,\"rates_in\":[0.5],\"counts_in\":[0],"
                                               "\"rates_out\":[0],\"counts_out\":[1099511627776]}]}"));
        QCOMPARE(rig.command(R"({"args":[{"cmd":"reset"}]})"), kAccepted);
        QCOMPARE(rig.history(), QStringLiteral("{\"data\":[]}"));
        QCOMPARE(rig.latestTimestamp(), qint64(2));
        rig.push({snapshot(3, 1, 0)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(3));
        QCOMPARE(rig.historyArray().size(), 1);
    }
    void historyHoldsAtMost10001Snapshots()
    {
        SinkRig rig;
        std::vector<QuarixPayload_RateCounters*> many;
        for (int t = 1; t <= 10002; ++t)
            many.push_back(snapshot(quint64(t), 1, 0));
        rig.push(many);
        QTRY_COMPARE(rig.latestTimestamp(), qint64(10002));
        QJsonArray history = rig.historyArray();
        QCOMPARE(QVector<int>({history.size(), history.first().toObject().value("timestamp").toInt(),
                history.last().toObject().value("timestamp").toInt()}),
                 QVector<int>({10001, 10002, 2}));
        rig.push({snapshot(10003, 1, 0)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(10003));
        history = rig.historyArray();
        QCOMPARE(QVector<int>({history.size(), history.last().toObject().value("timestamp").toInt()}), QVector<int>({10001, 3}));
    }

    // Rate files (the byte forms of each type are checked on a recorded run of the server)
    void unknownTypeGivesAnEmptyDatFile()
    {
        SinkRig rig;
        const QString path = rig.start("csv", "d", "dat");
        rig.push({snapshot(1, 2, 1), snapshot(2, 2, 1)});
        QTRY_VERIFY(QFile::exists(path));
        rig.block().StopDump();
        rig.push({snapshot(3, 2, 1)});
        rig.block().shutdown();
        QCOMPARE(readFile(path), QByteArray());
        QCOMPARE(rig.storage.filesIn("d"), QStringList{"rates_0.dat"});
    }
    void pauseSkipsRecordsAndRestartAppends()
    {
        SinkRig rig;
        const QString path = rig.start("CSV", "p", "csv");
        rig.push({snapshot(1, 1, 1)});
        QTRY_COMPARE(readFile(path).count('\n'), 2);
        rig.block().PauseDump();
        rig.push({snapshot(2, 1, 2)});
        // The latest snapshot changes after the message's run state was read.
        QTRY_COMPARE(rig.latestTimestamp(), qint64(2));
        rig.block().ReStartDump();
        rig.push({snapshot(3, 1, 3)});
        QTRY_COMPARE(readFile(path).count('\n'), 3);
        rig.block().shutdown();
        const QStringList lines = csvLines(path);
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(0), csvHeader());   // 32 channel columns and one more per group, whatever the snapshot holds
        QCOMPARE(lines.at(1).split(','), csvFields(lines.at(1).split(',').at(0).toLongLong(), 1, 1));
        QCOMPARE(lines.at(2).split(','), csvFields(lines.at(2).split(',').at(0).toLongLong(), 1, 3));
    }
    void stopClosesAtTheNextSnapshotAndAStartLeavesTheFile()
    {
        SinkRig rig;
        const QString path = rig.start("JSON", "s", "json");
        rig.push({snapshot(1, 1, 1)});
        QTRY_COMPARE(jsonTimes(readFile(path)).size(), 1);
        rig.block().StopDump();
        QVERIFY(!readFile(path).endsWith(']'));
        rig.push({snapshot(2, 1, 2)});
        QTRY_VERIFY(readFile(path).endsWith(']'));
        QCOMPARE(readFile(path), ('[' + jsonRecord(jsonTimes(readFile(path)).at(0), 1, 1) + ']').toLatin1());

        // The same run id again: the file is taken, so it is left as it is.
        const QByteArray closed = readFile(path);
        rig.block().StartDump(QStringLiteral("s"));
        rig.push({snapshot(3, 1, 3)});
        rig.block().shutdown();
        QCOMPARE(readFile(path), closed);
    }
    void startDumpWithoutRunIdKeepsTheRunId()
    {
        LogCapture log;
        SinkRig rig;
        const QString defaultFile = rig.storage.runFolder("run_0") + "/rates_0.bin";
        const QString otherFile = rig.storage.runFolder("r7") + "/rates_0.bin";
        rig.block().ConfigureDump(0, QStringLiteral("BIN"), rig.storage.path());
        // Each run: start, one record, stop, and the next snapshot closes the file.
        auto run = [&](const QString& start, const QString& path, int seed) {
            QCOMPARE(rig.command(start), kAccepted);
            rig.push({snapshot(seed, 1, 1)});
            QTRY_VERIFY(QFile::exists(path));
            rig.command(R"({"args":[{"cmd":"stop_dump"}]})");
            rig.push({snapshot(seed + 1, 1, 1)});
            QTRY_COMPARE(readFile(path).size(), 16 + 12 + 24);   // the default type is BIN
        };
        run(R"({"args":[{"cmd":"start_dump"}],"run_id":""})", defaultFile, 1);
        run(R"({"args":[{"cmd":"start_dump"}],"run_id":"r7"})", otherFile, 3);
        // Absent too: still r7.
        rig.command(R"({"args":[{"cmd":"start_dump"}]})");
        rig.push({snapshot(5, 1, 1)});
        rig.block().shutdown();
        const QString opening = QStringLiteral("Opening RATE dumper:  \"%1\"");
        QCOMPARE(log.lines().filter(QStringLiteral("Opening RATE dumper")),
                 (QStringList{opening.arg(defaultFile), opening.arg(otherFile), opening.arg(otherFile)}));
        QCOMPARE(readFile(otherFile).size(), 16 + 12 + 24);
    }
    void logsTheStartTheOpenAndAFailedOpen()
    {
        LogCapture log;
        SinkRig rig;
        rig.block().ConfigureDump(0, QStringLiteral("CSV"), rig.storage.path());
        rig.block().StartDump(QStringLiteral("gone"));
        QCOMPARE(log.lines(), QStringList{"Starting RATE dumper"});
        rig.push({snapshot(1, 1, 1)});
        const QString path = rig.storage.path() + "/gone/rates_0.csv";
        QTRY_COMPARE(log.lines().size(), 3);
        QCOMPARE(log.lines(), (QStringList{"Starting RATE dumper", QStringLiteral("Opening RATE dumper:  \"%1\"").arg(path),
                                           QStringLiteral("Unable to open file  \"%1\"  errno:  \"%2\" . Acquisition "
                                                          "disabled in order to prevent software crash")
                                               .arg(path, QString::fromLocal8Bit(strerror(ENOENT)))}));

        // No records until the next start, even once the folder exists.
        rig.storage.runFolder("gone");
        rig.push({snapshot(2, 1, 1)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(2));
        rig.block().StopDump();
        rig.push({snapshot(3, 1, 1)});
        QTRY_COMPARE(rig.latestTimestamp(), qint64(3));
        QVERIFY(!QFile::exists(path));
        rig.block().StartDump(QStringLiteral("gone"));
        rig.push({snapshot(4, 1, 1)});
        QTRY_COMPARE(readFile(path).count('\n'), 2);
    }
    void orderlyShutdownClosesTheFile()
    {
        SinkRig rig;
        const QString path = rig.start("JSON", "o", "json");
        // Records separated by commas, also within a packet and across channel counts.
        rig.push({snapshot(100, 2, 100), snapshot(101, 1, 101)});
        for (int i = 0; i < 20; ++i)
            rig.push({snapshot(quint64(i), 2, i)});
        rig.block().shutdown();
        const QByteArray bytes = readFile(path);
        const QList<qint64> t = jsonTimes(bytes);
        QCOMPARE(t.size(), 22);
        QStringList records{jsonRecord(t[0], 2, 100), jsonRecord(t[1], 1, 101)};
        for (int i = 0; i < 20; ++i)
            records << jsonRecord(t[i + 2], 2, i);
        QCOMPARE(bytes, ('[' + records.join(',') + ']').toLatin1());
    }
};

QTEST_GUILESS_MAIN(SinkRateCounterTest)
#include "tst_sink_rate_counter.moc"
