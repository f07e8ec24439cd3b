// Reading an accumulating block's argument list, and the run-state commands
// every accumulating block answers alike.
#include "core/accumulating_control.h"

#include <QtTest>

class TestAccumulatingControl : public QObject {
    Q_OBJECT
private slots:
    void readsTheArgumentList_data();
    void readsTheArgumentList();
    void answersTheRunStateCommands_data();
    void answersTheRunStateCommands();
    void resetClearsTheCountsAndKeepsTheRunState();
};

void TestAccumulatingControl::readsTheArgumentList_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QList<int>>("channels");

    QTest::newRow("one element") << R"({"path":"p","args":[{"cmd":"get_data","source":"scatter","channels":[3,1]}]})"
                                 << "scatter" << "get_data" << "" << QList<int>{3, 1};
    QTest::newRow("later keys win")
        << R"({"args":[{"cmd":"reset","source":"a","status":"x"},{"cmd":"run_control","source":"b"},{"status":"freerun"}]})"
        << "b" << "run_control" << "freerun" << QList<int>{};
    QTest::newRow("channels add up") << R"({"args":[{"channels":[2]},{"cmd":"get_data"},{"channels":[0,2]}]})" << ""
                                     << "get_data" << "" << QList<int>{2, 0, 2};
    QTest::newRow("non-number channel") << R"({"args":[{"channels":["x",null,5]}]})" << "" << "" << "" << QList<int>{0, 0, 5};
    QTest::newRow("channels not array") << R"({"args":[{"channels":4}]})" << "" << "" << "" << QList<int>{};
    QTest::newRow("non-string cmd") << R"({"args":[{"cmd":"reset"},{"cmd":3}]})" << "" << "reset" << "" << QList<int>{};
    QTest::newRow("top-level cmd") << R"({"cmd":"reset","args":[]})" << "" << "" << "" << QList<int>{};
    QTest::newRow("not JSON") << "cmd=reset" << "" << "" << "" << QList<int>{};
}

void TestAccumulatingControl::readsTheArgumentList()
{
    QFETCH(QString, message);
    QFETCH(QString, source);
    QFETCH(QString, command);
    QFETCH(QString, status);
    QFETCH(QList<int>, channels);

    const AccumulatingRequest request = AccumulatingRequest::parse(message);
    QCOMPARE(request.source, source);
    QCOMPARE(request.command, command);
    QCOMPARE(request.status, status);
    QCOMPARE(QList<int>(request.channels.begin(), request.channels.end()), channels);
}

void TestAccumulatingControl::answersTheRunStateCommands_data()
{
    QTest::addColumn<bool>("runningBefore");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("handled");
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("runningAfter");

    const QString ok = R"([{"response": true}])";
    const QString status = R"({"args":[{"cmd":"data_get_status"}]})";
    QTest::newRow("status idle") << false << status << true << R"([{"response": true, "status":"idle"}])" << false;
    QTest::newRow("status running") << true << status << true << R"([{"response": true, "status":"freerun"}])" << true;
    QTest::newRow("freerun") << false << R"({"args":[{"cmd":"run_control","status":"freerun"}]})" << true << ok << true;
    QTest::newRow("other status") << true << R"({"args":[{"cmd":"run_control","status":"Freerun"}]})" << true << ok
                                  << false;
    QTest::newRow("no status") << true << R"({"args":[{"cmd":"run_control"}]})" << true << ok << false;
    QTest::newRow("get_data") << true << R"({"args":[{"cmd":"get_data"}]})" << false << "" << true;
    QTest::newRow("unknown") << false << R"({"args":[{"cmd":"start"}]})" << false << "" << false;
    QTest::newRow("no command") << false << R"({"args":[{"status":"freerun"}]})" << false << "" << false;
}

void TestAccumulatingControl::answersTheRunStateCommands()
{
    QFETCH(bool, runningBefore);
    QFETCH(QString, message);
    QFETCH(bool, handled);
    QFETCH(QString, reply);
    QFETCH(bool, runningAfter);

    AccumulatingRunState state;
    QString ignored;
    if (runningBefore)
        state.answer(AccumulatingRequest::parse(R"({"args":[{"cmd":"run_control","status":"freerun"}]})"), [] {},
                     &ignored);
    QCOMPARE(state.isRunning(), runningBefore);

    int clears = 0;
    QString out;
    QCOMPARE(state.answer(AccumulatingRequest::parse(message), [&clears] { ++clears; }, &out), handled);
    QCOMPARE(out, reply);
    QCOMPARE(state.isRunning(), runningAfter);
    QCOMPARE(clears, 0);
}

void TestAccumulatingControl::resetClearsTheCountsAndKeepsTheRunState()
{
    AccumulatingRunState state;
    QString out;
    state.answer(AccumulatingRequest::parse(R"({"args":[{"cmd":"run_control","status":"freerun"}]})"), [] {}, &out);
    int clears = 0;
    out = QStringLiteral("before");   // the answer is appended
    QVERIFY(state.answer(AccumulatingRequest::parse(R"({"args":[{"cmd":"reset"}]})"), [&clears] { ++clears; }, &out));
    QCOMPARE(out, QStringLiteral(R"(before[{"response": true}])"));
    QCOMPARE(clears, 1);
    QVERIFY(state.isRunning());
}

QTEST_GUILESS_MAIN(TestAccumulatingControl)
#include "tst_accumulating_control.moc"
