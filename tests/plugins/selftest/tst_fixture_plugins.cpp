// The scripted fixture plugin's own promises that the product suites rely on
// without checking: the call log's exact line format, and whole lines and
// paired batches under concurrent calls.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"
#include "script_plugin_fixture.h"

#include <QLibrary>
#include <QTemporaryDir>
#include <QtTest>

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
    void concurrentCallsKeepLogLinesWholeAndBatchesPaired();

private:
    uint32_t openBoard()
    {
        const QByteArray connection = board_->connectionString().toLatin1();
        uint32_t handle = 0;
        return board_->write() && open_(connection.constData(), &handle) == 0 ? handle : 0;
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
    readout::DataList list{};
    QCOMPARE(readData_(handle, kEvents, vraxdig2::kReadTimeoutMs, &list), 0);
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

QTEST_GUILESS_MAIN(FixturePluginsTest)
#include "tst_fixture_plugins.moc"
