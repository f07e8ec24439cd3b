// The rate-counter sink in-process: snapshots pushed through a PinOutput of
// the test, the latest/history replies, and the rate files compared byte for
// byte with records built here. The record time T (milliseconds since the file
// was opened) is read back from the file and checked for plausibility; every
// other byte is fixed.
#include "blocks/rate_counters/sink_rate_counter.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_rate_counters.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace {

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

QString general(double value)
{
    return QString::number(value, 'g', 6);
}

QByteArray le(quint64 value, int bytes)
{
    QByteArray out;
    for (int i = 0; i < bytes; ++i)
        out.append(char((value >> (8 * i)) & 0xff));
    return out;
}

QByteArray leFloat(double value)
{
    const float single = float(value);
    quint32 bits;
    std::memcpy(&bits, &single, sizeof bits);
    return le(bits, 4);
}

QByteArray binRecord(qint64 t, int n, int seed)
{
    std::unique_ptr<QuarixPayload_RateCounters> s(snapshot(0, n, seed));
    QByteArray out = le(quint64(t), 8) + le(quint32(n), 4);
    for (int i = 0; i < n; ++i)
        out += leFloat((*s->rates_in)[i]);
    for (int i = 0; i < n; ++i)
        out += leFloat((*s->rates_out)[i]);
    for (int i = 0; i < n; ++i)
        out += le((*s->counters_in)[i], 8);
    for (int i = 0; i < n; ++i)
        out += le((*s->counters_out)[i], 8);
    return out;
}

QStringList csvFields(qint64 t, int n, int seed)
{
    std::unique_ptr<QuarixPayload_RateCounters> s(snapshot(0, n, seed));
    QStringList fields{QString::number(t)};
    for (int i = 0; i < n; ++i)
        fields << general((*s->rates_in)[i]);
    for (int i = 0; i < n; ++i)
        fields << general((*s->rates_out)[i]);
    for (int i = 0; i < n; ++i)
        fields << QString::number((*s->counters_in)[i]);
    for (int i = 0; i < n; ++i)
        fields << QString::number((*s->counters_out)[i]);
    return fields;
}

QString jsonRecord(qint64 t, int n, int seed)
{
    std::unique_ptr<QuarixPayload_RateCounters> s(snapshot(0, n, seed));
    QStringList in, out, countsIn, countsOut;
    for (int i = 0; i < n; ++i) {
        in << general((*s->rates_in)[i]);
        out << general((*s->rates_out)[i]);
        countsIn << QString::number((*s->counters_in)[i]);
        countsOut << QString::number((*s->counters_out)[i]);
    }
    return QStringLiteral("{\"timestamp\":%1,\"rate_in\":[%2],\"rate_out\":[%3],\"counts_in\":[%4],\"counts_out\":[%5]}")
        .arg(t)
        .arg(in.join(','), out.join(','), countsIn.join(','), countsOut.join(','));
}

QString csvHeader()
{
    QStringList columns{QStringLiteral("timestamp")};
    const char* groups[4][2] = {{"rate_in_ch", "rate_in_T0"},
                                {"rate_out_ch", "DUMMY1"},
                                {"counts_in_ch", "counts_in_T0"},
                                {"counts_out_ch", "DUMMY2"}};
    for (const auto& group : groups) {
        for (int i = 0; i < 32; ++i)
            columns << QLatin1String(group[0]) + QString::number(i);
        columns << QLatin1String(group[1]);
    }
    return columns.join(',');
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

// The record times of a text rate file, in order.
QList<qint64> jsonTimes(const QByteArray& bytes)
{
    QList<qint64> times;
    QRegularExpressionMatchIterator it = QRegularExpression(QStringLiteral("\\{\"timestamp\":(\\d+),"))
                                             .globalMatch(QString::fromLatin1(bytes));
    while (it.hasNext())
        times << it.next().captured(1).toLongLong();
    return times;
}

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

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (LogCapture* self = s_instance) {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            self->m_lines.append((type == QtWarningMsg ? QStringLiteral("W ") : QStringLiteral("I ")) + text);
        }
    }
    static inline LogCapture* s_instance = nullptr;
    QtMessageHandler m_previous = nullptr;
    mutable std::mutex m_mutex;
    QStringList m_lines;
};

class SinkRig {
public:
    explicit SinkRig(const QJsonArray& parameters = QJsonArray()) : m_upstream(nullptr, QStringLiteral("rates"))
    {
        BlockContext context;
        context.full_path = QStringLiteral("processing/0/filter_chain/mcs/chain/rates");
        const QJsonObject entry{{"block_type", "rate_counters_sink"}, {"name", "rates"}, {"data_type", "rates"},
                                {"parameters", parameters}};
        m_sink = std::make_unique<SinkRateCounter>(nullptr, &context, entry);
        m_sink->inputPins().at(0)->Connect(&m_upstream);
    }

    SinkRateCounter& block() { return *m_sink; }

    void push(std::vector<QuarixPayload_RateCounters*> snapshots)
    {
        auto* packet = new DataPacket(QStringLiteral("rate_counters"), 0);
        packet->items.assign(snapshots.begin(), snapshots.end());
        PinMessage message;
        message.packet = packet;
        QVERIFY(m_upstream.Push(message));
    }

    QString command(const QString& text, const QString& initial = QString())
    {
        QString reply = initial;
        m_sink->InterpretMessage(text, &reply);
        return reply;
    }
    QString latest() { return command(R"({"args":[{"cmd":"get_data"},{"source":"immediate"}]})"); }
    QString history() { return command(R"({"args":[{"cmd":"get_data","source":"data"}]})"); }
    // The timestamp of the latest snapshot, or -1 before any.
    qint64 latestTimestamp()
    {
        const QJsonObject reply = QJsonDocument::fromJson(latest().toUtf8()).object();
        return reply.value("status") == "ok" ? reply.value("timestamp").toVariant().toLongLong() : -1;
    }

private:
    PinOutput m_upstream;   // declared first: outlives the worker
    std::unique_ptr<SinkRateCounter> m_sink;
};

}  // namespace

class SinkRateCounterTest : public QObject {
    Q_OBJECT

private slots:
    void init();

    // The block itself
    void constructsAsAFileWritingBlock();
    void readsTheChannelMap();
    void dumpSlotsAreReachableByName();
    void interpretMessageRepliesToItsCommands_data();
    void interpretMessageRepliesToItsCommands();

    // Replies
    void latestReplyBeforeAnySnapshotIsNodata();
    void latestReplyCarriesTheNewestSnapshot();
    void historyReplyIsNewestFirst();
    void resetEmptiesTheHistoryButKeepsTheLatest();
    void historyHoldsAtMost10001Snapshots();

    // Rate files
    void binRecordOf33ChannelsIs804Bytes();
    void csvHeaderAndLinesLineUpFor33Channels();
    void jsonRecordsAreSeparatedByCommas();
    void unknownTypeGivesAnEmptyDatFile();
    void pauseSkipsRecordsAndRestartAppends();
    void stopClosesAtTheNextSnapshotAndAStartRewrites();
    void startDumpWithoutRunIdKeepsTheRunId();
    void logsTheStartTheOpenAndAFailedOpen();
    void orderlyShutdownClosesTheFile();

private:
    QString runFolder(const QString& runId)
    {
        const QString path = m_storage->path() + QLatin1Char('/') + runId;
        QDir().mkpath(path);
        return path;
    }
    std::unique_ptr<QTemporaryDir> m_storage;
};

void SinkRateCounterTest::init()
{
    m_storage = std::make_unique<QTemporaryDir>();
    QVERIFY(m_storage->isValid());
}

void SinkRateCounterTest::constructsAsAFileWritingBlock()
{
    SinkRig rig;
    QCOMPARE(rig.block().blockType(), QStringLiteral("rate_counters_sink"));
    QCOMPARE(rig.block().Name(), QStringLiteral("rates"));
    QCOMPARE(rig.block().FullPath(), QStringLiteral("processing/0/filter_chain/mcs/chain/rates"));
    QVERIFY(rig.block().dumpFlag());
    QCOMPARE(rig.block().inputPins().size(), 1);
    QCOMPARE(rig.block().inputPins().at(0)->name(), QStringLiteral("rates"));
}

void SinkRateCounterTest::readsTheChannelMap()
{
    const QJsonArray parameters{
        QJsonObject{{"param_name", "channel_map"}, {"param_type", "array_string"}, {"param_value", QJsonArray{"a", "b"}}},
        QJsonObject{{"param_name", "channel_map"}, {"param_type", "array"}, {"param_value", QJsonArray{"x"}}},
        QJsonObject{{"param_name", "channel_map"}, {"param_type", "array_string"},
                    {"param_value", QJsonArray{"PMT 1", "PMT 2", "veto"}}},
    };
    SinkRig rig(parameters);
    QCOMPARE(rig.block().channelMap(), (QStringList{"PMT 1", "PMT 2", "veto"}));
}

void SinkRateCounterTest::dumpSlotsAreReachableByName()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("11"));
    QObject* block = &rig.block();
    QVERIFY(QMetaObject::invokeMethod(block, "ConfigureDump", Qt::DirectConnection, Q_ARG(int, 5),
                                      Q_ARG(QString, QStringLiteral("CSV")), Q_ARG(QString, m_storage->path())));
    QVERIFY(QMetaObject::invokeMethod(block, "StartDump", Qt::DirectConnection, Q_ARG(QString, QStringLiteral("11"))));
    QVERIFY(QMetaObject::invokeMethod(block, "PauseDump", Qt::DirectConnection));
    QVERIFY(QMetaObject::invokeMethod(block, "ReStartDump", Qt::DirectConnection));
    rig.push({snapshot(1, 1, 0)});
    QTRY_COMPARE(readFile(folder + "/rates_0.csv").count('\n'), 2);
    QVERIFY(QMetaObject::invokeMethod(block, "StopDump", Qt::DirectConnection));
}

void SinkRateCounterTest::interpretMessageRepliesToItsCommands_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("reply");
    const QString accepted = QStringLiteral("[{\"response\": true}]");
    QTest::newRow("set_dump_type") << R"({"args":[{"cmd":"set_dump_type"}],"file_type":"CSV"})" << accepted;
    QTest::newRow("set_dump_path") << R"({"args":[{"cmd":"set_dump_path"}],"file_path":"/tmp"})" << accepted;
    QTest::newRow("start_dump") << R"({"args":[{"cmd":"start_dump"}],"run_id":"x"})" << accepted;
    QTest::newRow("stop_dump") << R"({"args":[{"cmd":"stop_dump"}]})" << accepted;
    QTest::newRow("pause_dump") << R"({"args":[{"cmd":"pause_dump"}]})" << accepted;
    QTest::newRow("reset") << R"({"args":[{"cmd":"reset"}]})" << accepted;
    QTest::newRow("later cmd wins") << R"({"args":[{"cmd":"get_data"},{"cmd":"stop_dump"}]})" << accepted;
    QTest::newRow("get_data other source") << R"({"args":[{"cmd":"get_data","source":"all"}]})" << QString();
    QTest::newRow("get_data no source") << R"({"args":[{"cmd":"get_data"}]})" << QString();
    QTest::newRow("top-level cmd") << R"({"cmd":"stop_dump"})" << QString();
    QTest::newRow("set_dump_events") << R"({"args":[{"cmd":"set_dump_events"}],"dump_events":3})" << QString();
    QTest::newRow("not JSON") << "reset" << QString();
}

void SinkRateCounterTest::interpretMessageRepliesToItsCommands()
{
    QFETCH(QString, message);
    QFETCH(QString, reply);
    SinkRig rig;
    QCOMPARE(rig.command(message), reply);
}

void SinkRateCounterTest::latestReplyBeforeAnySnapshotIsNodata()
{
    SinkRig rig;
    // The reply replaces whatever the string held.
    QCOMPARE(rig.command(R"({"args":[{"cmd":"get_data"},{"source":"immediate"}]})", QStringLiteral("old")),
             QStringLiteral("{\"status\": \"nodata\"}"));
    QCOMPARE(rig.history(), QStringLiteral("{\"data\":[]}"));
}

void SinkRateCounterTest::latestReplyCarriesTheNewestSnapshot()
{
    SinkRig rig;
    rig.push({snapshot(5, 2, 1), snapshot(77, 2, 2)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(77));
    QCOMPARE(rig.latest(), QStringLiteral("{\"status\": \"ok\", \"timestamp\":77,"
                                          "\"rates_in\":[200.5,201.5],"
                                          "\"counts_in\":[2000000,2000001],"
                                          "\"rates_out\":[50,50.25],"
                                          "\"counts_out\":[1099511627796,1099511627797],"
                                          "\"rates_in_start\":[0,1.5],"
                                          "\"rates_out_start\":[0,0.333333]}"));
}

void SinkRateCounterTest::historyReplyIsNewestFirst()
{
    SinkRig rig;
    rig.push({snapshot(1, 1, 0)});
    rig.push({snapshot(2, 1, 3)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(2));
    QCOMPARE(rig.history(), QStringLiteral("{\"data\":["
                                           "{\"timestamp\":2,\"rates_in\":[300.5],\"counts_in\":[3000000],"
                                           "\"rates_out\":[75],\"counts_out\":[1099511627806]},"
                                           "{\"timestamp\":1,\"rates_in\":[0.5],\"counts_in\":[0],"
                                           "\"rates_out\":[0],\"counts_out\":[1099511627776]}]}"));
}

void SinkRateCounterTest::resetEmptiesTheHistoryButKeepsTheLatest()
{
    SinkRig rig;
    rig.push({snapshot(1, 1, 0), snapshot(2, 1, 0)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(2));
    QCOMPARE(rig.command(R"({"args":[{"cmd":"reset"}]})"), QStringLiteral("[{\"response\": true}]"));
    QCOMPARE(rig.history(), QStringLiteral("{\"data\":[]}"));
    QCOMPARE(rig.latestTimestamp(), qint64(2));
    rig.push({snapshot(3, 1, 0)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(3));
    QVERIFY(rig.history().startsWith(QStringLiteral("{\"data\":[{\"timestamp\":3,")));
    QCOMPARE(rig.history().count(QStringLiteral("\"timestamp\"")), 1);
}

void SinkRateCounterTest::historyHoldsAtMost10001Snapshots()
{
    SinkRig rig;
    std::vector<QuarixPayload_RateCounters*> many;
    for (int t = 1; t <= 10002; ++t)
        many.push_back(snapshot(quint64(t), 1, 0));
    rig.push(many);
    QTRY_COMPARE(rig.latestTimestamp(), qint64(10002));
    const QJsonArray history = QJsonDocument::fromJson(rig.history().toUtf8()).object().value("data").toArray();
    QCOMPARE(history.size(), 10001);
    QCOMPARE(history.first().toObject().value("timestamp").toInt(), 10002);
    QCOMPARE(history.last().toObject().value("timestamp").toInt(), 2);

    rig.push({snapshot(10003, 1, 0)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(10003));
    const QJsonArray later = QJsonDocument::fromJson(rig.history().toUtf8()).object().value("data").toArray();
    QCOMPARE(later.size(), 10001);
    QCOMPARE(later.last().toObject().value("timestamp").toInt(), 3);
}

void SinkRateCounterTest::binRecordOf33ChannelsIs804Bytes()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("b"));
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QElapsedTimer clock;
    clock.start();
    rig.block().ConfigureDump(0, QStringLiteral("BIN"), m_storage->path());
    rig.block().StartDump(QStringLiteral("b"));
    rig.push({snapshot(10, 33, 1), snapshot(11, 33, 2)});
    QTRY_COMPARE(rig.latestTimestamp(), qint64(11));
    rig.block().StopDump();
    rig.push({snapshot(12, 33, 3)});   // closes the file, writes nothing
    const QString path = folder + "/rates_0.bin";
    QTRY_COMPARE(readFile(path).size(), 16 + 2 * 804);
    const qint64 elapsed = clock.elapsed();

    const QByteArray bytes = readFile(path);
    QCOMPARE(bytes.left(8), QByteArray("QRXR\0\0\0\0", 8));
    const qint64 created = qint64(qFromLittleEndian<quint64>(bytes.constData() + 8));
    QVERIFY(created >= before && created <= QDateTime::currentSecsSinceEpoch());
    const qint64 t1 = qFromLittleEndian<qint64>(bytes.constData() + 16);
    const qint64 t2 = qFromLittleEndian<qint64>(bytes.constData() + 16 + 804);
    QVERIFY(t1 >= 0 && t1 <= t2 && t2 <= elapsed);
    QCOMPARE(bytes.mid(16), binRecord(t1, 33, 1) + binRecord(t2, 33, 2));
}

void SinkRateCounterTest::csvHeaderAndLinesLineUpFor33Channels()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("c"));
    rig.command(QStringLiteral(R"({"args":[{"cmd":"set_dump_type"}],"file_type":"CSV"})"));
    rig.command(QStringLiteral(R"({"args":[{"cmd":"set_dump_path"}],"file_path":"%1"})").arg(m_storage->path()));
    rig.command(QStringLiteral(R"({"args":[{"cmd":"start_dump"}],"run_id":"c"})"));
    rig.push({snapshot(1, 33, 4)});
    rig.push({snapshot(2, 33, 5)});
    const QString path = folder + "/rates_0.csv";
    QTRY_COMPARE(readFile(path).count('\n'), 3);

    const QStringList lines = QString::fromLatin1(readFile(path)).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(0), csvHeader());
    QCOMPARE(lines.at(0).split(',').size(), 133);
    for (int record = 0; record < 2; ++record) {
        const QStringList fields = lines.at(1 + record).split(',');
        QCOMPARE(fields.size(), 133);
        QCOMPARE(fields, csvFields(fields.at(0).toLongLong(), 33, 4 + record));
    }
    QCOMPARE(lines.at(3), QString());
}

void SinkRateCounterTest::jsonRecordsAreSeparatedByCommas()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("j"));
    rig.block().ConfigureDump(0, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("j"));
    rig.push({snapshot(1, 2, 1)});
    rig.push({snapshot(2, 2, 2), snapshot(3, 1, 3)});
    const QString path = folder + "/rates_0.json";
    QTRY_COMPARE(jsonTimes(readFile(path)).size(), 3);
    QList<qint64> t = jsonTimes(readFile(path));
    QCOMPARE(readFile(path),
             ('[' + jsonRecord(t[0], 2, 1) + ',' + jsonRecord(t[1], 2, 2) + ',' + jsonRecord(t[2], 1, 3)).toLatin1());
    rig.block().StopDump();
    rig.push({snapshot(4, 2, 4)});
    QTRY_VERIFY(readFile(path).endsWith(']'));
    QCOMPARE(jsonTimes(readFile(path)), t);
}

void SinkRateCounterTest::unknownTypeGivesAnEmptyDatFile()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("d"));
    rig.block().ConfigureDump(0, QStringLiteral("csv"), m_storage->path());
    rig.block().StartDump(QStringLiteral("d"));
    rig.push({snapshot(1, 2, 1), snapshot(2, 2, 1)});
    QTRY_VERIFY(QFile::exists(folder + "/rates_0.dat"));
    rig.block().StopDump();
    rig.push({snapshot(3, 2, 1)});
    rig.block().shutdown();
    QCOMPARE(readFile(folder + "/rates_0.dat"), QByteArray());
    QCOMPARE(QDir(folder).entryList(QDir::Files), QStringList{"rates_0.dat"});
}

void SinkRateCounterTest::pauseSkipsRecordsAndRestartAppends()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("p"));
    const QString path = folder + "/rates_0.csv";
    rig.block().ConfigureDump(0, QStringLiteral("CSV"), m_storage->path());
    rig.block().StartDump(QStringLiteral("p"));
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
    const QStringList lines = QString::fromLatin1(readFile(path)).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines.at(1).split(','), csvFields(lines.at(1).split(',').at(0).toLongLong(), 1, 1));
    QCOMPARE(lines.at(2).split(','), csvFields(lines.at(2).split(',').at(0).toLongLong(), 1, 3));
}

void SinkRateCounterTest::stopClosesAtTheNextSnapshotAndAStartRewrites()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("s"));
    const QString path = folder + "/rates_0.json";
    rig.block().ConfigureDump(0, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("s"));
    rig.push({snapshot(1, 1, 1)});
    QTRY_COMPARE(jsonTimes(readFile(path)).size(), 1);
    rig.block().StopDump();
    QVERIFY(!readFile(path).endsWith(']'));
    rig.push({snapshot(2, 1, 2)});
    QTRY_VERIFY(readFile(path).endsWith(']'));
    const qint64 t = jsonTimes(readFile(path)).at(0);
    QCOMPARE(readFile(path), ('[' + jsonRecord(t, 1, 1) + ']').toLatin1());

    // The same run id again: the file is created anew.
    rig.block().StartDump(QStringLiteral("s"));
    rig.push({snapshot(3, 1, 3)});
    QTRY_VERIFY(readFile(path).startsWith("[{\"timestamp\":") && !readFile(path).endsWith(']'));
    const qint64 t2 = jsonTimes(readFile(path)).at(0);
    QCOMPARE(readFile(path), ('[' + jsonRecord(t2, 1, 3)).toLatin1());
}

void SinkRateCounterTest::startDumpWithoutRunIdKeepsTheRunId()
{
    LogCapture log;
    SinkRig rig;
    const QString defaultFolder = runFolder(QStringLiteral("run_0"));
    const QString otherFolder = runFolder(QStringLiteral("r7"));
    rig.command(QStringLiteral(R"({"args":[{"cmd":"set_dump_path"}],"file_path":"%1"})").arg(m_storage->path()));
    QCOMPARE(rig.command(R"({"args":[{"cmd":"start_dump"}],"run_id":""})"), QStringLiteral("[{\"response\": true}]"));
    rig.push({snapshot(1, 1, 1)});
    // The default type is BIN.
    QTRY_VERIFY(QFile::exists(defaultFolder + "/rates_0.bin"));

    rig.command(R"({"args":[{"cmd":"stop_dump"}]})");
    rig.push({snapshot(2, 1, 1)});
    QTRY_COMPARE(readFile(defaultFolder + "/rates_0.bin").size(), 16 + 12 + 24);
    rig.command(R"({"args":[{"cmd":"start_dump"}],"run_id":"r7"})");
    rig.push({snapshot(3, 1, 1)});
    QTRY_VERIFY(QFile::exists(otherFolder + "/rates_0.bin"));
    rig.command(R"({"args":[{"cmd":"stop_dump"}]})");
    rig.push({snapshot(4, 1, 1)});
    QTRY_COMPARE(readFile(otherFolder + "/rates_0.bin").size(), 16 + 12 + 24);
    // Absent too: still r7.
    rig.command(R"({"args":[{"cmd":"start_dump"}]})");
    rig.push({snapshot(5, 1, 1)});
    rig.block().shutdown();
    QCOMPARE(log.lines().filter(QStringLiteral("Opening RATE dumper")),
             (QStringList{QStringLiteral("I Opening RATE dumper:  \"%1/rates_0.bin\"").arg(defaultFolder),
                          QStringLiteral("I Opening RATE dumper:  \"%1/rates_0.bin\"").arg(otherFolder),
                          QStringLiteral("I Opening RATE dumper:  \"%1/rates_0.bin\"").arg(otherFolder)}));
    QCOMPARE(readFile(otherFolder + "/rates_0.bin").size(), 16 + 12 + 24);
}

void SinkRateCounterTest::logsTheStartTheOpenAndAFailedOpen()
{
    LogCapture log;
    SinkRig rig;
    rig.block().ConfigureDump(0, QStringLiteral("CSV"), m_storage->path());
    rig.block().StartDump(QStringLiteral("gone"));
    QCOMPARE(log.lines(), QStringList{"I Starting RATE dumper"});
    rig.push({snapshot(1, 1, 1)});
    const QString path = m_storage->path() + "/gone/rates_0.csv";
    QTRY_COMPARE(log.lines().size(), 3);
    QCOMPARE(log.lines().at(1), QStringLiteral("I Opening RATE dumper:  \"%1\"").arg(path));
    QCOMPARE(log.lines().at(2), QStringLiteral("W Cannot open file: \"%1\"").arg(path));

    // No records until the next start, even once the folder exists.
    runFolder(QStringLiteral("gone"));
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

void SinkRateCounterTest::orderlyShutdownClosesTheFile()
{
    SinkRig rig;
    const QString folder = runFolder(QStringLiteral("o"));
    rig.block().ConfigureDump(0, QStringLiteral("JSON"), m_storage->path());
    rig.block().StartDump(QStringLiteral("o"));
    for (int i = 0; i < 20; ++i)
        rig.push({snapshot(quint64(i), 2, i)});
    rig.block().shutdown();
    const QByteArray bytes = readFile(folder + "/rates_0.json");
    const QList<qint64> t = jsonTimes(bytes);
    QCOMPARE(t.size(), 20);
    QStringList records;
    for (int i = 0; i < 20; ++i)
        records << jsonRecord(t[i], 2, i);
    QCOMPARE(bytes, ('[' + records.join(',') + ']').toLatin1());
}

QTEST_GUILESS_MAIN(SinkRateCounterTest)
#include "tst_sink_rate_counter.moc"
