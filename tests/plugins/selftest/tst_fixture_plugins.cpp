// The fixture plugins every board test relies on, checked through their
// exported entry points as the server calls them.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"
#include "script_plugin_fixture.h"

#include <QElapsedTimer>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <limits>
#include <thread>
#include <vector>

using scriptplugin::Call;

namespace {

constexpr const char* kEvents = "endpoints\\events";
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

template <typename T>
QByteArray bytesOf(const T& value)
{
    return QByteArray(reinterpret_cast<const char*>(&value), sizeof(T));
}

template <typename T>
T unreadFilled()
{
    T value;
    std::memset(&value, 0xA5, sizeof value);
    return value;
}

template <typename Record>
const Record& record(const readout::DataList& list, int i)
{
    return *static_cast<const Record*>(static_cast<const readout::Entry*>(list.entries)[i].record);
}

// The header words of every entry a read delivered: "h0/h1 h0/h1 ...".
QString delivered(const readout::DataList& list)
{
    QStringList words;
    for (int i = 0; i < list.count; ++i) {
        const readout::Entry& entry = static_cast<const readout::Entry*>(list.entries)[i];
        words << QStringLiteral("%1/%2").arg(entry.header0).arg(entry.header1);
    }
    return words.join(' ');
}

template <typename T>
QVector<T> arrayAt(const T* values, int count)
{
    return values ? QVector<T>(values, values + count) : QVector<T>();
}

}  // namespace

class FixturePluginsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init()
    {
        dir_ = std::make_unique<QTemporaryDir>();
        board_ = std::make_unique<ScriptPluginFixture>(dir_->path());
    }

    // Records laid out as the server reads them
    void energyBatchesComeOutInOrderWithEveryFieldInPlace();
    void energyPairRecordHoldsBothChannelsOfThePair();
    void waveformRecordPointsToItsTraceBlockAndTraceMajorSamples();
    void rateCounterArraysAreNullWhereTheScriptSaysSo();

    // Read and free cycle
    void failedAndEmptyReadsDeliverNothingAndNeedNoFree();
    void failedReadWithEntriesStillDeliversNothing();
    void exhaustedOrUnscriptedEndpointIdlesWithoutLogging();
    void freeReleasesOnlyTheBatchThatReadDelivered();
    void heldBatchWaitsUntilItsCommandWasReceived();

    // Values, statuses, handles
    void openReturnsTheConnectionStatusAndStillWritesTheHandle_data();
    void openReturnsTheConnectionStatusAndStillWritesTheHandle();
    void getValueAnswersScriptThenStoredValueThenEmpty_data();
    void getValueAnswersScriptThenStoredValueThenEmpty();
    void scriptedStatusesOfSetValueAndSendCommand();
    void eachOpenGetsItsOwnHandleScriptAndOutstandingCount();
    void unusableConnectionOrScriptFailsOpenWithAReason_data();
    void unusableConnectionOrScriptFailsOpenWithAReason();

    // Call log
    void callLogHoldsEveryCallInOrderWithVerbatimPaths();
    void concurrentCallsKeepLogLinesWholeAndBatchesPaired();
    void builderRefusesTwoRecordKindsOnOneEndpoint();

    // The partial plugin
    void partialPluginExportsOpenAndNothingElse();

private:
    uint32_t open(const ScriptPluginFixture& board, int32_t* status = nullptr);
    readout::DataList read(uint32_t handle, const char* path, int32_t* status = nullptr);
    // Writes the script of `board` and opens it.
    uint32_t openBoard();

    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<ScriptPluginFixture> board_;

    QLibrary library_{QStringLiteral(QUARIX_SCRIPT_PLUGIN)};
    VRAXDig2_Open_t open_ = nullptr;
    VRAXDig2_SetValueByQuery_t setValue_ = nullptr;
    VRAXDig2_GetValueByQuery_t getValue_ = nullptr;
    VRAXDig2_SendCommandByQuery_t sendCommand_ = nullptr;
    VRAXDig2_ReadDataByQuery_t readData_ = nullptr;
    VRAXDig2_FreePointerByQuery_t freePointer_ = nullptr;
};

void FixturePluginsTest::initTestCase()
{
    QVERIFY2(library_.load(), qPrintable(library_.errorString()));
    open_ = reinterpret_cast<VRAXDig2_Open_t>(library_.resolve(vraxdig2::kOpen));
    setValue_ = reinterpret_cast<VRAXDig2_SetValueByQuery_t>(library_.resolve(vraxdig2::kSetValue));
    getValue_ = reinterpret_cast<VRAXDig2_GetValueByQuery_t>(library_.resolve(vraxdig2::kGetValue));
    sendCommand_ = reinterpret_cast<VRAXDig2_SendCommandByQuery_t>(library_.resolve(vraxdig2::kSendCommand));
    readData_ = reinterpret_cast<VRAXDig2_ReadDataByQuery_t>(library_.resolve(vraxdig2::kReadData));
    freePointer_ = reinterpret_cast<VRAXDig2_FreePointerByQuery_t>(library_.resolve(vraxdig2::kFreePointer));
    QVERIFY(open_ && setValue_ && getValue_ && sendCommand_ && readData_ && freePointer_);
    QVERIFY(library_.resolve("VRAXDig2Script_Outstanding"));
}

uint32_t FixturePluginsTest::open(const ScriptPluginFixture& board, int32_t* status)
{
    const QByteArray connection = board.connectionString().toLatin1();
    uint32_t handle = 0;
    const int32_t result = open_(connection.constData(), &handle);
    if (status)
        *status = result;
    return handle;
}

uint32_t FixturePluginsTest::openBoard()
{
    return board_->write() ? open(*board_) : 0;
}

// As the server does: a zeroed data list, the fixed time-out.
readout::DataList FixturePluginsTest::read(uint32_t handle, const char* path, int32_t* status)
{
    readout::DataList list;
    std::memset(&list, 0, sizeof list);
    const int32_t result = readData_(handle, path, vraxdig2::kReadTimeoutMs, &list);
    if (status)
        *status = result;
    return list;
}

void FixturePluginsTest::energyBatchesComeOutInOrderWithEveryFieldInPlace()
{
    const uint64_t beyondDouble = (uint64_t(1) << 53) + 1;
    board_->addEnergyBatch(kEvents, {{beyondDouble, kMax64, 1000, 3, 4000, 12.5, 1, 2, 7},
                                     {21, 22, kMax64 - 1, 31, 0xFFFFFFFF, -0.25, 255, 0, 0xDEADBEEF}})
        .addEnergyBatch(kEvents, {{41, 42, 2000, 5, 6, 1e-300, 0, 128, 9}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    const auto expected = [](uint64_t ts, uint32_t ch, uint32_t raw, double e, uint8_t f1, uint8_t f2, uint32_t x) {
        auto r = unreadFilled<readout::EnergyEvent>();
        r.timestamp = ts, r.channel = ch, r.energy_raw = raw, r.energy = e, r.flag1 = f1, r.flag2 = f2, r.extra = x;
        return bytesOf(r);
    };
    readout::DataList first = read(handle, kEvents);
    QCOMPARE(delivered(first), QStringLiteral("9007199254740993/18446744073709551615 21/22"));
    QCOMPARE(bytesOf(record<readout::EnergyEvent>(first, 0)), expected(1000, 3, 4000, 12.5, 1, 2, 7));
    QCOMPARE(bytesOf(record<readout::EnergyEvent>(first, 1)),
             expected(kMax64 - 1, 31, 0xFFFFFFFF, -0.25, 255, 0, 0xDEADBEEF));
    QCOMPARE(freePointer_(handle, kEvents, &first), 0);

    readout::DataList second = read(handle, kEvents);
    QCOMPARE(delivered(second), QStringLiteral("41/42"));
    QCOMPARE(bytesOf(record<readout::EnergyEvent>(second, 0)), expected(2000, 5, 6, 1e-300, 0, 128, 9));
    QCOMPARE(freePointer_(handle, kEvents, &second), 0);
}

void FixturePluginsTest::energyPairRecordHoldsBothChannelsOfThePair()
{
    board_->addPairBatch("endpoints\\pairs", {{7, 8, 123456789, 5, 1111, 2222, 11.5, -22.75, 3, 4, 99}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    readout::DataList list = read(handle, "endpoints\\pairs");
    QCOMPARE(delivered(list), QStringLiteral("7/8"));
    auto expected = unreadFilled<readout::EnergyPair>();
    expected.timestamp = 123456789, expected.pair_index = 5, expected.energy_raw[0] = 1111;
    expected.energy_raw[1] = 2222, expected.energy[0] = 11.5, expected.energy[1] = -22.75;
    expected.flag1 = 3, expected.flag2 = 4, expected.extra = 99;
    QCOMPARE(bytesOf(record<readout::EnergyPair>(list, 0)), bytesOf(expected));
    QCOMPARE(freePointer_(handle, "endpoints\\pairs", &list), 0);
}

void FixturePluginsTest::waveformRecordPointsToItsTraceBlockAndTraceMajorSamples()
{
    const QVector<int32_t> analog{10, -20, 30, -40, 50, std::numeric_limits<int32_t>::min()};
    const QVector<uint32_t> digital{0, 1, 2, 0xFFFFFFFF, 4, 5};
    board_->addWaveformBatch("endpoints\\waves", {{1, 2, 5000, 0x1122334455667788, 3, 0xAAAA0001, 0xBBBB0002, 2,
                                                   0xC0DE, 0xFEEDFACECAFEBEEF, 77, analog, digital},
                                                  {3, 4, 6000, 9, 0, 10, 11, 0, 12, 13, 14, {}, {}}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    readout::DataList list = read(handle, "endpoints\\waves");
    QCOMPARE(delivered(list), QStringLiteral("1/2 3/4"));
    const auto& wave = record<readout::Waveform>(list, 0);
    QCOMPARE(wave.timestamp, uint64_t(5000));
    QCOMPARE(wave.header64, uint64_t(0x1122334455667788));
    QCOMPARE((QVector<uint32_t>{uint32_t(wave.n_samples), wave.header32a, wave.header32b, uint32_t(wave.n_traces)}),
             (QVector<uint32_t>{3, 0xAAAA0001u, 0xBBBB0002u, 2}));
    QVERIFY(wave.traces);
    QCOMPARE(wave.traces->header32a, 0xC0DEu);
    QCOMPARE(wave.traces->header64, uint64_t(0xFEEDFACECAFEBEEF));
    QCOMPARE(wave.traces->header32b, 77u);
    QCOMPARE(arrayAt(wave.traces->analog, 6), analog);
    QCOMPARE(arrayAt(wave.traces->digital, 6), digital);

    const auto& empty = record<readout::Waveform>(list, 1);
    QCOMPARE(empty.n_samples, 0);
    QCOMPARE(empty.n_traces, 0);
    QVERIFY(empty.traces);
    QCOMPARE(empty.traces->header32b, 14u);
    QCOMPARE(freePointer_(handle, "endpoints\\waves", &list), 0);
}

void FixturePluginsTest::rateCounterArraysAreNullWhereTheScriptSaysSo()
{
    scriptplugin::RateCounters partial{900, 901, 2, QVector<uint64_t>{5, 6}, std::nullopt,
                                       QVector<uint64_t>{kMax64, 0}, std::nullopt};
    scriptplugin::RateCounters full = partial;
    full.ratesOut = QVector<uint64_t>{7, 8};
    full.countersOut = QVector<uint64_t>{9, 10};
    board_->addRateBatch("endpoints\\rates", {partial, full});
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    readout::DataList list = read(handle, "endpoints\\rates");
    QCOMPARE(delivered(list), QStringLiteral("900/901 900/901"));
    const auto& first = record<readout::RateCounters>(list, 0);
    QCOMPARE(first.n_channels, 2u);
    QCOMPARE(arrayAt(first.rates_in, 2), QVector<uint64_t>({5, 6}));
    QCOMPARE(arrayAt(first.counters_in, 2), QVector<uint64_t>({kMax64, 0}));
    QVERIFY(!first.rates_out && !first.counters_out);
    const auto& second = record<readout::RateCounters>(list, 1);
    QCOMPARE(arrayAt(second.rates_out, 2), QVector<uint64_t>({7, 8}));
    QCOMPARE(arrayAt(second.counters_out, 2), QVector<uint64_t>({9, 10}));
    QCOMPARE(freePointer_(handle, "endpoints\\rates", &list), 0);
}

void FixturePluginsTest::failedAndEmptyReadsDeliverNothingAndNeedNoFree()
{
    board_->addFailedRead(kEvents, -7).addEmptyRead(kEvents).addEnergyBatch(kEvents, {{1, 1, 1, 1, 1, 1, 1, 1, 1}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    QStringList seen;
    readout::DataList list;
    for (int i = 0; i < 3; ++i) {
        int32_t status = -100;
        list = read(handle, kEvents, &status);
        seen << QStringLiteral("%1 %2 %3 %4").arg(status).arg(list.count).arg(list.entries ? "entries" : "null")
                    .arg(ScriptPluginFixture::outstanding(handle));
    }
    QCOMPARE(seen, QStringList({"-7 0 null 0", "0 0 null 0", "0 1 entries 1"}));
    QStringList logged;
    for (const Call& read : board_->calls("ReadData"))
        logged << QStringLiteral("%1 %2 %3").arg(read.status).arg(read.count).arg(read.batch);
    QCOMPARE(logged, QStringList({"-7 0 0", "0 0 1", "0 1 2"}));
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);
}

void FixturePluginsTest::failedReadWithEntriesStillDeliversNothing()
{
    const QJsonObject entry{{"header0", 5}, {"record", QJsonObject{{"channel", 1}}}};
    const QJsonObject batch{{"status", -4}, {"entries", QJsonArray{entry}}};
    board_->setScript(QJsonObject{
        {"endpoints", QJsonObject{{kEvents, QJsonObject{{"kind", "energy"}, {"batches", QJsonArray{batch}}}}}}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    int32_t status = -100;
    const readout::DataList list = read(handle, kEvents, &status);
    QCOMPARE(status, -4);
    QCOMPARE(list.count, 0);
    QVERIFY(!list.entries);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 0);
}

void FixturePluginsTest::exhaustedOrUnscriptedEndpointIdlesWithoutLogging()
{
    ScriptPluginFixture& board = *board_;
    board.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 7, 8, 9}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    int32_t status = -100;
    readout::DataList list = read(handle, kEvents, &status);
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);

    QElapsedTimer timer;
    timer.start();
    for (const char* path : {kEvents, kEvents, "endpoints\\unscripted"}) {
        status = -100;
        list = read(handle, path, &status);
        QCOMPARE(status, 0);
        QCOMPARE(list.count, 0);
        QVERIFY(!list.entries);
    }
    QVERIFY2(timer.elapsed() >= 12, "idle reads pause about 5 ms each, so a polling server does not spin");
    QCOMPARE(board.briefs(), QStringList({"Open " + board.connectionString(), "ReadData endpoints\\events",
                                          "FreePointer endpoints\\events"}));
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 0);
}

void FixturePluginsTest::freeReleasesOnlyTheBatchThatReadDelivered()
{
    ScriptPluginFixture& board = *board_;
    board.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 7, 8, 9}})
        .addEnergyBatch("endpoints\\other", {{1, 2, 3, 4, 5, 6.0, 7, 8, 9}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    int32_t status = -100;
    readout::DataList events = read(handle, kEvents, &status);
    readout::DataList other = read(handle, "endpoints\\other", &status);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 2);

    QCOMPARE(freePointer_(handle, "endpoints\\other", &events), -2);   // read on another path
    QCOMPARE(freePointer_(handle + 1000, kEvents, &events), -2);       // read on another handle
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 2);

    const readout::DataList staleCopy = events;
    QCOMPARE(freePointer_(handle, kEvents, &events), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 1);
    QVERIFY(!events.entries);
    QCOMPARE(events.count, 0);
    readout::DataList again = staleCopy;
    QCOMPARE(freePointer_(handle, kEvents, &again), -1);   // already freed
    QCOMPARE(freePointer_(handle, kEvents, nullptr), -1);
    readout::DataList unknown{};
    QCOMPARE(freePointer_(handle, kEvents, &unknown), -1);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 1);

    QCOMPARE(freePointer_(handle, "endpoints\\other", &other), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 0);

    QVector<int> statusAndBatch;
    for (const Call& call : board.calls("FreePointer"))
        statusAndBatch << call.status << call.batch;
    QCOMPARE(statusAndBatch, (QVector<int>{-2, 0, -2, 0, 0, 0, -1, -1, -1, -1, -1, -1, 0, 0}));
}

void FixturePluginsTest::heldBatchWaitsUntilItsCommandWasReceived()
{
    ScriptPluginFixture& board = *board_;
    board.addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 7, 8, 9}})
        .holdLastBatchUntilCommand(kEvents, "\\cmd\\Start", 2);
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    int32_t status = -100;
    QCOMPARE(read(handle, kEvents, &status).count, 0);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Start"), 0);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Other"), 0);
    QCOMPARE(read(handle, kEvents, &status).count, 0);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Start"), 0);
    readout::DataList list = read(handle, kEvents, &status);
    QCOMPARE(list.count, 1);
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);
}

void FixturePluginsTest::openReturnsTheConnectionStatusAndStillWritesTheHandle_data()
{
    QTest::addColumn<int>("openStatus");
    QTest::newRow("default success") << 0;
    QTest::newRow("negative failure") << -3;
    QTest::newRow("positive failure") << 12;
}

void FixturePluginsTest::openReturnsTheConnectionStatusAndStillWritesTheHandle()
{
    QFETCH(int, openStatus);
    ScriptPluginFixture& board = *board_;
    board.setOpenStatus(openStatus).setValue("\\Serial", "SN1");
    QVERIFY(board.write());
    int32_t status = -100;
    const uint32_t handle = open(board, &status);
    QCOMPARE(status, openStatus);
    QVERIFY(handle != 0);
    char value[64] = {};
    QCOMPARE(getValue_(handle, "\\Serial", value), 0);
    QCOMPARE(QByteArray(value), QByteArray("SN1"));
    const QVector<Call> opens = board.calls("Open");
    QCOMPARE(opens.size(), 1);
    QCOMPARE(opens[0].handle, handle);
    QCOMPARE(opens[0].status, openStatus);
}

void FixturePluginsTest::getValueAnswersScriptThenStoredValueThenEmpty_data()
{
    QTest::addColumn<QString>("scripted");   // empty: not in the script
    QTest::addColumn<QString>("stored");     // empty: no SetValue
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("script wins over a set value") << "12" << "99" << QByteArray("12");
    QTest::newRow("set value when the script has none") << "" << "99" << QByteArray("99");
    QTest::newRow("empty when neither") << "" << "" << QByteArray();
    QTest::newRow("cut to 63 characters") << QString(100, 'v') << "" << QByteArray(63, 'v');
}

void FixturePluginsTest::getValueAnswersScriptThenStoredValueThenEmpty()
{
    QFETCH(QString, scripted);
    QFETCH(QString, stored);
    QFETCH(QByteArray, answer);
    ScriptPluginFixture& board = *board_;
    if (!scripted.isEmpty())
        board.setValue("\\par\\Gain", scripted);
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    if (!stored.isEmpty())
        QCOMPARE(setValue_(handle, "\\par\\Gain", stored.toLatin1().constData()), 0);

    char value[64];
    std::memset(value, 'x', sizeof value);
    QCOMPARE(getValue_(handle, "\\par\\Gain", value), 0);
    QCOMPARE(QByteArray(value, int(qstrnlen(value, sizeof value))), answer);
    QCOMPARE(board.calls("GetValue").value(0).value, QString::fromLatin1(answer));
}

void FixturePluginsTest::scriptedStatusesOfSetValueAndSendCommand()
{
    ScriptPluginFixture& board = *board_;
    board.setSetValueStatus("\\par\\Locked", -3).setCommandStatus("\\cmd\\Broken", -5);
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    QCOMPARE(setValue_(handle, "\\par\\Locked", "1"), -3);
    QCOMPARE(setValue_(handle, "\\par\\Free", "1"), 0);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Broken"), -5);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Fine"), 0);
    char value[64] = {};
    getValue_(handle, "\\par\\Locked", value);
    QCOMPARE(QByteArray(value), QByteArray());   // a refused write is not stored
    QCOMPARE(board.calls("SetValue").value(0).status, -3);
    QCOMPARE(board.calls("SendCommand").value(0).status, -5);
}

void FixturePluginsTest::eachOpenGetsItsOwnHandleScriptAndOutstandingCount()
{
    QTemporaryDir dir;
    ScriptPluginFixture first(dir.path(), "first");
    ScriptPluginFixture second(dir.path(), "second");
    first.addEnergyBatch(kEvents, {{1, 0, 100, 1, 1, 1.0, 0, 0, 0}});
    second.addEnergyBatch(kEvents, {{2, 0, 200, 2, 2, 2.0, 0, 0, 0}}).setHandle(4242);
    QVERIFY(first.write());
    QVERIFY(second.write());
    const uint32_t a = open(first);
    const uint32_t b = open(second);
    QVERIFY(a != 0);
    QCOMPARE(b, 4242u);

    int32_t status = -100;
    readout::DataList fromB = read(b, kEvents, &status);
    QCOMPARE(fromB.count, 1);
    QCOMPARE(static_cast<const readout::Entry*>(fromB.entries)->header0, uint64_t(2));
    QCOMPARE(ScriptPluginFixture::outstanding(a), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(b), 1);
    QCOMPARE(freePointer_(b, kEvents, &fromB), 0);
    QCOMPARE(first.calls("ReadData").size(), 0);
    QCOMPARE(second.calls("ReadData").size(), 1);

    const uint32_t unknown = 0xFFFFFFF0;
    QCOMPARE(ScriptPluginFixture::outstanding(unknown), -1);
    QCOMPARE(sendCommand_(unknown, "\\cmd\\Lost"), -1);
    const QVector<Call> lost = second.calls("SendCommand");   // the board opened last keeps the log
    QCOMPARE(lost.size(), 1);
    QCOMPARE(lost[0].handle, unknown);
    QCOMPARE(lost[0].status, -1);
}

void FixturePluginsTest::unusableConnectionOrScriptFailsOpenWithAReason_data()
{
    QTest::addColumn<QByteArray>("script");       // empty: no script file written
    QTest::addColumn<QString>("connectionExtra"); // appended to script=...;log=...
    QTest::addColumn<QString>("reason");          // part of the ScriptError message
    QTest::newRow("missing script file") << QByteArray() << "" << "cannot read script";
    QTest::newRow("not JSON") << QByteArray("{\"endpoints\": ") << "" << "not a JSON object";
    QTest::newRow("misspelt record field")
        << QByteArray(R"({"endpoints": {"e": {"kind": "energy", "batches": [{"entries": [{"record": {"chanel": 1}}]}]}}})")
        << "" << "unknown key \"chanel\"";
    QTest::newRow("unknown kind") << QByteArray(R"({"endpoints": {"e": {"kind": "energies"}}})") << ""
                                  << "unknown kind";
    QTest::newRow("samples do not fill the traces")
        << QByteArray(R"({"endpoints": {"w": {"kind": "waveform", "batches": [{"entries": [{"record":
               {"n_samples": 2, "n_traces": 2, "traces": {"analog": [1, 2, 3], "digital": [1, 2, 3, 4]}}}]}]}}})")
        << "" << "n_traces * n_samples = 4";
    QTest::newRow("inexact large integer") << QByteArray(R"({"endpoints": {"e": {"kind": "energy", "batches":
               [{"entries": [{"header0": 18446744073709551615}]}]}}})")
                                           << "" << "not an exact integer";
    QTest::newRow("unknown connection key") << QByteArray("{}") << ";speed=3" << "unknown connection key: speed";
    QTest::newRow("open_status not a number") << QByteArray("{}") << ";open_status=x" << "bad number";
}

void FixturePluginsTest::unusableConnectionOrScriptFailsOpenWithAReason()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, connectionExtra);
    QFETCH(QString, reason);
    ScriptPluginFixture& board = *board_;
    if (!script.isEmpty()) {
        QFile file(board.scriptPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script);
    }
    const QByteArray connection = (board.connectionString() + connectionExtra).toLatin1();
    uint32_t handle = 99;
    QCOMPARE(open_(connection.constData(), &handle), -90);
    QCOMPARE(handle, 0u);
    const QVector<Call> calls = board.calls();
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls[0].name, QStringLiteral("ScriptError"));
    QVERIFY2(calls[0].path.contains(reason), qPrintable(calls[0].path));
    QCOMPARE(calls[1].brief(), "Open " + QString::fromLatin1(connection));
    QCOMPARE(calls[1].status, -90);
}

void FixturePluginsTest::callLogHoldsEveryCallInOrderWithVerbatimPaths()
{
    ScriptPluginFixture& board = *board_;
    board.setValue("\\Info\\Serial", "SN-17").addEnergyBatch(kEvents, {{1, 2, 3, 4, 5, 6.0, 7, 8, 9}});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    const char* awkward = "a\tb\nc\rd%e\\f";   // every byte the log escapes, and a backslash it keeps

    QCOMPARE(setValue_(handle, "\\Channel0\\par\\Channel0\\Gain", "10"), 0);
    QCOMPARE(setValue_(handle, "\\par\\Name", awkward), 0);
    char value[64] = {};
    QCOMPARE(getValue_(handle, "\\Info\\Serial", value), 0);
    QCOMPARE(sendCommand_(handle, " \\cmd\\Start\\ "), 0);
    int32_t status = -100;
    readout::DataList list = read(handle, kEvents, &status);
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);

    const QByteArray h = QByteArray::number(handle);
    const QByteArray expected = "Open\t" + h + "\t" + board.connectionString().toLatin1() + "\t0\n" +
                                "SetValue\t" + h + "\t\\Channel0\\par\\Channel0\\Gain\t10\t0\n" +
                                "SetValue\t" + h + "\t\\par\\Name\ta%09b%0Ac%0Dd%25e\\f\t0\n" +
                                "GetValue\t" + h + "\t\\Info\\Serial\tSN-17\t0\n" +
                                "SendCommand\t" + h + "\t \\cmd\\Start\\ \t0\n" +
                                "ReadData\t" + h + "\tendpoints\\events\t1000\t0\t1\t0\n" +
                                "FreePointer\t" + h + "\tendpoints\\events\t0\t0\n";
    QCOMPARE(board.logText(), expected);
    QCOMPARE(board.calls("SetValue").value(1).value, QString::fromLatin1(awkward));
    QCOMPARE(board.paths("SendCommand"), QStringList({" \\cmd\\Start\\ "}));

    board.clearLog();
    QCOMPARE(sendCommand_(handle, "\\cmd\\Stop"), 0);
    QCOMPARE(board.briefs(), QStringList({"SendCommand \\cmd\\Stop"}));
}

void FixturePluginsTest::concurrentCallsKeepLogLinesWholeAndBatchesPaired()
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 60;
    ScriptPluginFixture& board = *board_;
    for (int t = 0; t < kThreads; ++t) {
        for (int r = 0; r < kRounds; ++r)
            board.addEnergyBatch(QStringLiteral("endpoints\\t%1").arg(t), {{uint64_t(r), 0, 0, 0, 0, 0.0, 0, 0, 0}});
    }
    const uint32_t handle = openBoard();
    QVERIFY(handle);

    std::vector<std::thread> threads;
    QVector<int> mismatches(kThreads, 0);
    int* mismatchesOf = mismatches.data();   // detached once, before the threads share it
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const QByteArray endpoint = "endpoints\\t" + QByteArray::number(t);
            for (int r = 0; r < kRounds; ++r) {
                const QByteArray command = "\\t" + QByteArray::number(t) + "\\r" + QByteArray::number(r);
                sendCommand_(handle, command.constData());
                readout::DataList list{};
                readData_(handle, endpoint.constData(), 1000, &list);
                if (list.count != 1 || static_cast<const readout::Entry*>(list.entries)->header0 != uint64_t(r))
                    ++mismatchesOf[t];
                freePointer_(handle, endpoint.constData(), &list);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    QCOMPARE(mismatches, QVector<int>(kThreads, 0));
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 0);
    const QVector<Call> calls = board.calls();
    QCOMPARE(calls.size(), 1 + 3 * kThreads * kRounds);
    for (int t = 0; t < kThreads; ++t) {
        const QString endpoint = QStringLiteral("endpoints\\t%1").arg(t);
        const QString prefix = QStringLiteral("\\t%1\\r").arg(t);
        QStringList expected, seen;
        for (int r = 0; r < kRounds; ++r) {
            expected << prefix + QString::number(r) << QStringLiteral("read %1").arg(r)
                     << QStringLiteral("free %1").arg(r);
        }
        for (const Call& call : calls) {
            if (call.name == QLatin1String("SendCommand") && call.path.startsWith(prefix))
                seen << call.path;
            else if (call.name == QLatin1String("ReadData") && call.path == endpoint && call.count == 1)
                seen << QStringLiteral("read %1").arg(call.batch);
            else if (call.name == QLatin1String("FreePointer") && call.path == endpoint && call.status == 0)
                seen << QStringLiteral("free %1").arg(call.batch);
        }
        QCOMPARE(seen, expected);
    }
}

void FixturePluginsTest::builderRefusesTwoRecordKindsOnOneEndpoint()
{
    ScriptPluginFixture& board = *board_;
    board.addEnergyBatch(kEvents, {{}}).addPairBatch(kEvents, {{}});
    QTest::ignoreMessage(QtWarningMsg,
                         "ScriptPluginFixture: energy_pair batch added to the energy endpoint endpoints\\events");
    QVERIFY(!board.write());
}

void FixturePluginsTest::partialPluginExportsOpenAndNothingElse()
{
    QLibrary partial(QStringLiteral(QUARIX_PARTIAL_PLUGIN));
    QVERIFY2(partial.load(), qPrintable(partial.errorString()));
    const auto openBoard = reinterpret_cast<VRAXDig2_Open_t>(partial.resolve(vraxdig2::kOpen));
    QVERIFY(openBoard);
    uint32_t handle = 0;
    QCOMPARE(openBoard("anything", &handle), 0);
    QCOMPARE(handle, 7u);
    for (const char* name : {vraxdig2::kSetValue, vraxdig2::kGetValue, vraxdig2::kSendCommand, vraxdig2::kReadData,
                             vraxdig2::kFreePointer, "VRAXDig2Script_Outstanding"})
        QVERIFY2(!partial.resolve(name), name);
}

QTEST_GUILESS_MAIN(FixturePluginsTest)
#include "tst_fixture_plugins.moc"
