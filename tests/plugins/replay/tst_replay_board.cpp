// The replay board over BIN files written here byte by byte: which recordings
// it opens and why it refuses the others, the records it delivers (fields,
// flags, the board's energy), recorded pacing, looping and run control.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"

#include <QLibrary>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

namespace {
struct Event {
    quint64 timestamp;
    quint32 channel, raw;
    quint8 flags;
};

QLibrary& plugin()
{
    static QLibrary library(QStringLiteral(QUARIX_REPLAY_PLUGIN_PATH));
    return library;
}
template <typename F>
F entry(const char* name)
{
    return reinterpret_cast<F>(plugin().resolve(name));
}

// A list file as the data dumper writes it: "QRXS", the creation time in
// digits, 25-byte records; `cut` bytes fewer at the end.
bool writeFile(const QString& path, const QList<Event>& events, const QByteArray& header = "QRXS1733500000", int cut = 0)
{
    QByteArray bytes = header;
    for (const Event& e : events) {
        QByteArray record(25, char(e.flags));
        qToLittleEndian<quint64>(e.timestamp, record.data());
        qToLittleEndian<quint64>(e.channel, record.data() + 8);
        qToLittleEndian<quint64>(e.raw, record.data() + 16);
        bytes += record;
    }
    bytes.chop(cut);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

struct Board {
    uint32_t handle = 0;
    int32_t status;
    QList<quint64> headers;  // header1 of every entry read: the sequence numbers
    explicit Board(const QByteArray& connection) { status = entry<VRAXDig2_Open_t>(vraxdig2::kOpen)(connection.constData(), &handle); }
    QByteArray value(const char* path) const
    {
        char buffer[64] = {};
        entry<VRAXDig2_GetValueByQuery_t>(vraxdig2::kGetValue)(handle, path, buffer);
        return buffer;
    }
    int32_t send(const char* path) const { return entry<VRAXDig2_SendCommandByQuery_t>(vraxdig2::kSendCommand)(handle, path); }
    // One read of endpoints\list; the batch goes back at once.
    QList<readout::EnergyEvent> read()
    {
        readout::DataList list{};
        entry<VRAXDig2_ReadDataByQuery_t>(vraxdig2::kReadData)(handle, "endpoints\\list", 5, &list);
        QList<readout::EnergyEvent> events;
        for (int i = 0; i < list.count; ++i) {
            const readout::Entry& e = static_cast<const readout::Entry*>(list.entries)[i];
            events << *static_cast<const readout::EnergyEvent*>(e.record);
            headers << e.header1;
        }
        if (list.count && entry<VRAXDig2_FreePointerByQuery_t>(vraxdig2::kFreePointer)(handle, "endpoints\\list", &list) != 0)
            events.clear();
        return events;
    }
};
}  // namespace

class TestReplayBoard : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    QByteArray at(const char* name) const { return QFile::encodeName(dir.filePath(name)); }

private slots:
    void initTestCase() { QVERIFY2(plugin().load(), qPrintable(plugin().errorString())); }

    void opensWholeRecordingsOnly_data()
    {
        const QList<Event> three{{5, 1, 100, 0}, {7, 2, 200, 0}, {9, 3, 300, 0}};
        QVERIFY(dir.isValid() && QDir(dir.path()).mkpath("run") && QDir(dir.path()).mkpath("gap"));
        QVERIFY(writeFile(dir.filePath("run/list_0.bin"), three) && writeFile(dir.filePath("run/list_1.bin"), three));
        QVERIFY(writeFile(dir.filePath("run/list_0.stat"), {}, "RUNNING_TIME_s"));
        QVERIFY(writeFile(dir.filePath("gap/list_0.bin"), three) && writeFile(dir.filePath("gap/list_2.bin"), three));
        QVERIFY(writeFile(dir.filePath("magic.bin"), three, "QRXO1733500000"));
        QVERIFY(writeFile(dir.filePath("cut.bin"), three, "QRXS1733500000", 7));
        // The first record's first byte is a digit ('7' = 55): the header still ends after ten digits.
        QVERIFY(writeFile(dir.filePath("digit.bin"), {{55, 0, 1, 0}}));
        QTest::addColumn<QByteArray>("connection");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("events");
        QTest::newRow("run of two files") << "replay:run=" + at("run") + ";block=list" << 0 << QByteArray("6");
        QTest::newRow("record starting with a digit") << "replay:file=" + at("digit.bin") << 0 << QByteArray("1");
        QTest::newRow("neither run nor file") << QByteArray("replay:pace=fast") << -24 << QByteArray();
        QTest::newRow("missing folder") << "replay:run=" + at("none") << -30 << QByteArray();
        QTest::newRow("no file of the block") << "replay:run=" + at("run") << -31 << QByteArray();
        QTest::newRow("missing index") << "replay:run=" + at("gap") + ";block=list" << -31 << QByteArray();
        QTest::newRow("wrong magic") << "replay:file=" + at("magic.bin") << -32 << QByteArray();
        QTest::newRow("cut file") << "replay:file=" + at("cut.bin") << -33 << QByteArray();
    }
    void opensWholeRecordingsOnly()
    {
        QFETCH(QByteArray, connection);
        QFETCH(int, status);
        QFETCH(QByteArray, events);
        const Board board(connection);
        QCOMPARE(board.status, status);
        QCOMPARE(status ? QByteArray() : board.value("replay\\events"), events);
    }

    // Fast pace, once: every field as recorded, flags split into flag1 and
    // flag2, energy = raw / gain; then nothing more, and the board says done.
    void deliversTheRecordsOnce()
    {
        const QList<Event> events{{10, 0, 800, 0}, {11, 7, 801, 1}, {11, 4, 0, 2}, {12, 65535, 16383, 3}};
        QVERIFY(writeFile(dir.filePath("flags.bin"), events));
        Board board("replay:file=" + at("flags.bin") + ";pace=fast;gain=4;max_batch=3;autostart=1");
        QList<readout::EnergyEvent> got;
        for (int r = 0; r < 3; ++r)
            got += board.read();
        QCOMPARE(got.size(), events.size());
        QCOMPARE(board.headers, QList<quint64>({0, 1, 2, 3}));
        for (int i = 0; i < events.size(); ++i) {
            const readout::EnergyEvent& e = got[i];
            const Event& r = events[i];
            QCOMPARE(QList<quint64>({e.timestamp, e.channel, e.energy_raw, e.flag1, e.flag2}),
                     QList<quint64>({r.timestamp, r.channel, r.raw, quint64(r.flags & 1u), quint64(r.flags >> 1u)}));
            QCOMPARE(e.energy, r.raw / 4.0);
        }
        QCOMPARE(board.value("replay\\events_delivered") + board.value("replay\\done"), QByteArray("41"));
    }

    // Recorded pace at one tick a second: the first two events fall due at
    // the start, the third two hours later.
    void recordedPaceReleasesEventsWhenDue()
    {
        QVERIFY(writeFile(dir.filePath("paced.bin"), {{1000, 0, 1, 0}, {1000, 1, 2, 0}, {8200, 2, 3, 0}}));
        Board board("replay:file=" + at("paced.bin") + ";clock=1");
        QCOMPARE(board.read().size(), 0);   // endpoints start stopped
        QCOMPARE(board.send("commands\\start"), 0);
        QCOMPARE(board.read().size(), 2);
        QCOMPARE(board.read().size(), 0);
        QCOMPARE(board.value("replay\\events_delivered") + board.value("replay\\done"), QByteArray("20"));
    }

    // Each pass adds the span (30 - 10) plus one tick; a reset starts over.
    void loopKeepsTimeGoingForward()
    {
        QVERIFY(writeFile(dir.filePath("loop.bin"), {{10, 0, 1, 0}, {20, 0, 2, 0}, {30, 0, 3, 0}}));
        Board board("replay:file=" + at("loop.bin") + ";pace=fast;loop=1;max_batch=4;autostart=1");
        QList<quint64> times;
        for (int r = 0; r < 2; ++r) {
            for (const readout::EnergyEvent& e : board.read())
                times << e.timestamp;
        }
        QCOMPARE(times, QList<quint64>({10, 20, 30, 31, 41, 51, 52, 62}));
        QCOMPARE(board.send("endpoints\\list\\reset"), 0);
        QCOMPARE(board.read().first().timestamp, quint64(10));
        QCOMPARE(board.value("replay\\done"), QByteArray("0"));
    }
};

QTEST_GUILESS_MAIN(TestReplayBoard)
#include "tst_replay_board.moc"
