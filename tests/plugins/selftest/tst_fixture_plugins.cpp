// The parts of the scripted fixture plugin that no product suite exercises:
// the call log's exact lines, read/free bookkeeping, refused scripts, values
// and statuses, and thread safety. The record layouts are checked by the
// source block's suite, which compares every converted field.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"
#include "script_plugin_fixture.h"

#include <QElapsedTimer>
#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <thread>
#include <vector>

using scriptplugin::Call;

namespace {
constexpr const char* kEvents = "endpoints\\events";
const scriptplugin::Energy kEvent{1, 2, 3, 4, 5, 6.0, 7, 8, 9};
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

    void callLogHoldsEveryCallInOrderWithVerbatimPaths();
    void exhaustedOrUnscriptedEndpointIdlesWithoutLogging();
    void freeReleasesOnlyTheBatchThatReadDelivered();
    void getValueAnswersScriptThenStoredValueThenEmpty_data();
    void getValueAnswersScriptThenStoredValueThenEmpty();
    void scriptedStatusesOfSetValueAndSendCommand();
    void unusableConnectionOrScriptFailsOpenWithAReason_data();
    void unusableConnectionOrScriptFailsOpenWithAReason();
    void concurrentCallsKeepLogLinesWholeAndBatchesPaired();
    void builderRefusesTwoRecordKindsOnOneEndpoint();

private:
    uint32_t openBoard()
    {
        const QByteArray connection = board_->connectionString().toLatin1();
        uint32_t handle = 0;
        return board_->write() && open_(connection.constData(), &handle) == 0 ? handle : 0;
    }
    readout::DataList read(uint32_t handle, const char* path, int32_t* status = nullptr)
    {
        readout::DataList list{};
        const int32_t result = readData_(handle, path, vraxdig2::kReadTimeoutMs, &list);
        if (status)
            *status = result;
        return list;
    }

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
}

void FixturePluginsTest::callLogHoldsEveryCallInOrderWithVerbatimPaths()
{
    board_->setValue("\\Info\\Serial", "SN-17").addEnergyBatch(kEvents, {kEvent});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    const char* awkward = "a\tb\nc\rd%e\\f";   // every byte the log escapes, and a backslash it keeps

    QCOMPARE(setValue_(handle, "\\Channel0\\par\\Channel0\\Gain", "10"), 0);
    QCOMPARE(setValue_(handle, "\\par\\Name", awkward), 0);
    char value[64] = {};
    QCOMPARE(getValue_(handle, "\\Info\\Serial", value), 0);
    QCOMPARE(sendCommand_(handle, " \\cmd\\Start\\ "), 0);
    readout::DataList list = read(handle, kEvents);
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);

    const QByteArray h = QByteArray::number(handle);
    QCOMPARE(board_->logText(), "Open\t" + h + "\t" + board_->connectionString().toLatin1() + "\t0\n" +
                                    "SetValue\t" + h + "\t\\Channel0\\par\\Channel0\\Gain\t10\t0\n" +
                                    "SetValue\t" + h + "\t\\par\\Name\ta%09b%0Ac%0Dd%25e\\f\t0\n" +
                                    "GetValue\t" + h + "\t\\Info\\Serial\tSN-17\t0\n" +
                                    "SendCommand\t" + h + "\t \\cmd\\Start\\ \t0\n" +
                                    "ReadData\t" + h + "\tendpoints\\events\t1000\t0\t1\t0\n" +
                                    "FreePointer\t" + h + "\tendpoints\\events\t0\t0\n");
    QCOMPARE(board_->calls("SetValue").value(1).value, QString::fromLatin1(awkward));
    board_->clearLog();
    QCOMPARE(sendCommand_(handle, "\\cmd\\Stop"), 0);
    QCOMPARE(board_->briefs(), QStringList({"SendCommand \\cmd\\Stop"}));
}

void FixturePluginsTest::exhaustedOrUnscriptedEndpointIdlesWithoutLogging()
{
    board_->addEnergyBatch(kEvents, {kEvent});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    readout::DataList list = read(handle, kEvents);
    QCOMPARE(freePointer_(handle, kEvents, &list), 0);

    QElapsedTimer timer;
    timer.start();
    for (const char* path : {kEvents, kEvents, "endpoints\\unscripted"}) {
        int32_t status = -100;
        list = read(handle, path, &status);
        QCOMPARE(QString("%1 %2 %3").arg(status).arg(list.count).arg(list.entries ? "entries" : "null"), "0 0 null");
    }
    QVERIFY2(timer.elapsed() >= 12, "idle reads pause about 5 ms each, so a polling server does not spin");
    QCOMPARE(board_->briefs(), QStringList({"Open " + board_->connectionString(), "ReadData endpoints\\events",
                                            "FreePointer endpoints\\events"}));
}

void FixturePluginsTest::freeReleasesOnlyTheBatchThatReadDelivered()
{
    board_->addEnergyBatch(kEvents, {kEvent}).addEnergyBatch("endpoints\\other", {kEvent});
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    readout::DataList events = read(handle, kEvents);
    readout::DataList other = read(handle, "endpoints\\other");
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 2);

    QCOMPARE(freePointer_(handle, "endpoints\\other", &events), -2);   // read on another path
    QCOMPARE(freePointer_(handle + 1000, kEvents, &events), -2);       // read on another handle
    const readout::DataList staleCopy = events;
    QCOMPARE(freePointer_(handle, kEvents, &events), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 1);
    QVERIFY(!events.entries && events.count == 0);
    readout::DataList again = staleCopy, unknown{};
    QCOMPARE(freePointer_(handle, kEvents, &again), -1);   // already freed
    QCOMPARE(freePointer_(handle, kEvents, nullptr), -1);
    QCOMPARE(freePointer_(handle, kEvents, &unknown), -1);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 1);
    QCOMPARE(freePointer_(handle, "endpoints\\other", &other), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(handle), 0);
    QCOMPARE(ScriptPluginFixture::outstanding(0xFFFFFFF0), -1);

    QVector<int> statusAndBatch;
    for (const Call& call : board_->calls("FreePointer"))
        statusAndBatch << call.status << call.batch;
    QCOMPARE(statusAndBatch, (QVector<int>{-2, 0, -2, 0, 0, 0, -1, -1, -1, -1, -1, -1, 0, 0}));
}

void FixturePluginsTest::getValueAnswersScriptThenStoredValueThenEmpty_data()
{
    QTest::addColumn<QString>("scripted");   // empty: not in the script
    QTest::addColumn<QString>("stored");     // empty: no SetValue
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("script wins") << "12" << "99" << QByteArray("12");
    QTest::newRow("set value") << "" << "99" << QByteArray("99");
    QTest::newRow("neither") << "" << "" << QByteArray();
    QTest::newRow("cut to 63") << QString(100, 'v') << "" << QByteArray(63, 'v');
}

void FixturePluginsTest::getValueAnswersScriptThenStoredValueThenEmpty()
{
    QFETCH(QString, scripted);
    QFETCH(QString, stored);
    QFETCH(QByteArray, answer);
    if (!scripted.isEmpty())
        board_->setValue("\\par\\Gain", scripted);
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    if (!stored.isEmpty())
        QCOMPARE(setValue_(handle, "\\par\\Gain", stored.toLatin1().constData()), 0);
    char value[64];
    std::memset(value, 'x', sizeof value);
    QCOMPARE(getValue_(handle, "\\par\\Gain", value), 0);
    QCOMPARE(QByteArray(value, int(qstrnlen(value, sizeof value))), answer);
    QCOMPARE(board_->calls("GetValue").value(0).value, QString::fromLatin1(answer));
}

void FixturePluginsTest::scriptedStatusesOfSetValueAndSendCommand()
{
    board_->setSetValueStatus("\\par\\Locked", -3).setCommandStatus("\\cmd\\Broken", -5);
    const uint32_t handle = openBoard();
    QVERIFY(handle);
    QCOMPARE(setValue_(handle, "\\par\\Locked", "1"), -3);
    QCOMPARE(setValue_(handle, "\\par\\Free", "1"), 0);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Broken"), -5);
    QCOMPARE(sendCommand_(handle, "\\cmd\\Fine"), 0);
    char value[64] = {};
    getValue_(handle, "\\par\\Locked", value);
    QCOMPARE(QByteArray(value), QByteArray());   // a refused write is not stored
    QCOMPARE(board_->calls("SetValue").value(0).status, -3);
    QCOMPARE(board_->calls("SendCommand").value(0).status, -5);
}

void FixturePluginsTest::unusableConnectionOrScriptFailsOpenWithAReason_data()
{
    QTest::addColumn<QByteArray>("script");        // empty: no script file written
    QTest::addColumn<QString>("connectionExtra");  // appended to script=...;log=...
    QTest::addColumn<QString>("reason");           // part of the ScriptError message
    const QByteArray energy = R"({"endpoints": {"e": {"kind": "energy", "batches": [{"entries": [)";
    QTest::newRow("missing file") << QByteArray() << "" << "cannot read script";
    QTest::newRow("not JSON") << QByteArray("{\"endpoints\": ") << "" << "not a JSON object";
    QTest::newRow("misspelt field") << energy + R"({"record": {"chanel": 1}}]}]}}})" << "" << "unknown key \"chanel\"";
    QTest::newRow("unknown kind") << QByteArray(R"({"endpoints": {"e": {"kind": "energies"}}})") << "" << "unknown kind";
    QTest::newRow("samples short") << QByteArray(R"({"endpoints": {"w": {"kind": "waveform", "batches": [{"entries":
        [{"record": {"n_samples": 2, "n_traces": 2, "traces": {"analog": [1, 2, 3], "digital": [1, 2, 3, 4]}}}]}]}}})")
                                   << "" << "n_traces * n_samples = 4";
    QTest::newRow("inexact integer") << energy + R"({"header0": 18446744073709551615}]}]}}})" << ""
                                     << "not an exact integer";
    QTest::newRow("connection key") << QByteArray("{}") << ";speed=3" << "unknown connection key: speed";
    QTest::newRow("open_status") << QByteArray("{}") << ";open_status=x" << "bad number";
}

void FixturePluginsTest::unusableConnectionOrScriptFailsOpenWithAReason()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, connectionExtra);
    QFETCH(QString, reason);
    if (!script.isEmpty()) {
        QFile file(board_->scriptPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(script);
    }
    const QByteArray connection = (board_->connectionString() + connectionExtra).toLatin1();
    uint32_t handle = 99;
    QCOMPARE(open_(connection.constData(), &handle), -90);
    QCOMPARE(handle, 0u);
    const QVector<Call> calls = board_->calls();
    QCOMPARE(calls.size(), 2);
    QCOMPARE(calls[0].name, QStringLiteral("ScriptError"));
    QVERIFY2(calls[0].path.contains(reason), qPrintable(calls[0].path));
    QCOMPARE(calls[1].brief(), "Open " + QString::fromLatin1(connection));
    QCOMPARE(calls[1].status, -90);
}

void FixturePluginsTest::concurrentCallsKeepLogLinesWholeAndBatchesPaired()
{
    constexpr int kThreads = 4, kRounds = 60;
    for (int t = 0; t < kThreads; ++t) {
        for (int r = 0; r < kRounds; ++r)
            board_->addEnergyBatch(QStringLiteral("endpoints\\t%1").arg(t), {{uint64_t(r), 0, 0, 0, 0, 0.0, 0, 0, 0}});
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
                sendCommand_(handle, ("\\t" + QByteArray::number(t) + "\\r" + QByteArray::number(r)).constData());
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
    // Per thread, in its own order: command r, read of batch r, free of batch r.
    const QVector<Call> calls = board_->calls();
    QCOMPARE(calls.size(), 1 + 3 * kThreads * kRounds);
    QVector<QStringList> seen(kThreads), expected(kThreads);
    for (const Call& call : calls.mid(1)) {
        const int t = call.path.mid(call.path.indexOf("\\t") + 2).section('\\', 0, 0).toInt();
        seen[t] << (call.name == QLatin1String("SendCommand")
                        ? call.path.section('r', 1)
                        : QStringLiteral("%1 %2 %3 %4").arg(call.name).arg(call.batch).arg(call.count).arg(call.status));
    }
    for (int t = 0; t < kThreads; ++t) {
        for (int r = 0; r < kRounds; ++r)
            expected[t] << QString::number(r) << QStringLiteral("ReadData %1 1 0").arg(r)
                        << QStringLiteral("FreePointer %1 0 0").arg(r);
    }
    QCOMPARE(seen, expected);
}

void FixturePluginsTest::builderRefusesTwoRecordKindsOnOneEndpoint()
{
    board_->addEnergyBatch(kEvents, {{}}).addPairBatch(kEvents, {{}});
    QTest::ignoreMessage(QtWarningMsg,
                         "ScriptPluginFixture: energy_pair batch added to the energy endpoint endpoints\\events");
    QVERIFY(!board_->write());
}

QTEST_GUILESS_MAIN(FixturePluginsTest)
#include "tst_fixture_plugins.moc"
