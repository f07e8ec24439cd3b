// Opening simulated boards, their parameter values, high voltage and
// commands, through the entry points as the server resolves them.
#include "sim_plugin.h"

#include <QtTest>

#include <cstring>

class TestSimBoardControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void everyOpenReturnsANewHandle();
    void acceptedConnectionStrings_data();
    void acceptedConnectionStrings();
    void refusedConnectionStrings_data();
    void refusedConnectionStrings();
    void connectionKeysBecomeSimulationValues();
    void callsWithAnUnknownHandleFail();

    void storedValueIsReadBack();
    void unsetValuesReadTheirDefault_data();
    void unsetValuesReadTheirDefault();
    void valuesBelongToTheirBoard();
    void longValueIsCutTo63Characters();
    void fixedSimulationValuesCannotBeChanged();
    void unusableTunableValueIsRefused();

    void voltageMonitorFollowsSetValueOnlyWhileOn();
    void currentMonitorIsSmallAndPositiveOnlyWhileOn();
    void highVoltageIsSwitchedPerBoard();
    void otherCommandPathsAreAcceptedWithoutEffect_data();
    void otherCommandPathsAreAcceptedWithoutEffect();

private:
    const SimPlugin& plugin = SimPlugin::instance();
};

void TestSimBoardControl::initTestCase()
{
    QVERIFY2(plugin.loaded(), qPrintable(plugin.errorText()));
}

void TestSimBoardControl::everyOpenReturnsANewHandle()
{
    uint32_t first = 0;
    uint32_t second = 0;
    QCOMPARE(plugin.open("sim:seed=1", &first), 0);
    QCOMPARE(plugin.open("sim:seed=1", &second), 0);
    QVERIFY(first != 0);
    QVERIFY(second != 0);
    QVERIFY(first != second);
}

void TestSimBoardControl::acceptedConnectionStrings_data()
{
    QTest::addColumn<QByteArray>("connection");
    QTest::newRow("scheme only") << QByteArray("sim");
    QTest::newRow("empty item list") << QByteArray("sim:");
    QTest::newRow("typical") << QByteArray("sim:seed=42;channels=16;rate=2000");
    QTest::newRow("spaces and empty items") << QByteArray(" sim : seed = 7 ; ; channels=4 ;");
    QTest::newRow("every key") << QByteArray(
        "sim:seed=3;channels=8;pairs=2;crystals=5;max_batch=100;samples=64;traces=2;clock=125000000;"
        "gain=2.5;dead_time_ns=500;autostart=1;rate=0;wave_rate=10;fixed_batch=5;lines=511,1274.5;"
        "resolution=7.5;background=0.1");
    QTest::newRow("no lines") << QByteArray("sim:lines=");
}

void TestSimBoardControl::acceptedConnectionStrings()
{
    QFETCH(QByteArray, connection);
    uint32_t handle = 0;
    QCOMPARE(plugin.open(connection, &handle), 0);
    QVERIFY(handle != 0);
}

void TestSimBoardControl::refusedConnectionStrings_data()
{
    QTest::addColumn<QByteArray>("connection");
    QTest::addColumn<int>("status");
    QTest::newRow("other scheme") << QByteArray("tcp:192.168.0.10") << -20;
    QTest::newRow("empty") << QByteArray("") << -20;
    QTest::newRow("scheme in capitals") << QByteArray("SIM:seed=1") << -20;
    QTest::newRow("item without value") << QByteArray("sim:seed") << -21;
    QTest::newRow("empty key") << QByteArray("sim:=3") << -21;
    QTest::newRow("unknown key") << QByteArray("sim:colour=red") << -22;
    QTest::newRow("no channels") << QByteArray("sim:channels=0") << -23;
    QTest::newRow("text for a number") << QByteArray("sim:channels=many") << -23;
    QTest::newRow("more pairs than channels allow") << QByteArray("sim:channels=16;pairs=9") << -23;
    QTest::newRow("negative rate") << QByteArray("sim:rate=-1") << -23;
    QTest::newRow("empty line in the list") << QByteArray("sim:lines=662,,1173") << -23;
    QTest::newRow("flag other than 0 or 1") << QByteArray("sim:autostart=yes") << -23;
}

void TestSimBoardControl::refusedConnectionStrings()
{
    QFETCH(QByteArray, connection);
    QFETCH(int, status);
    uint32_t handle = 0;
    QCOMPARE(plugin.open(connection, &handle), status);
}

void TestSimBoardControl::connectionKeysBecomeSimulationValues()
{
    const uint32_t board = plugin.openBoard("sim:channels=12;rate=2500;lines=511,1274.5");
    QVERIFY(board != 0);
    QCOMPARE(plugin.value(board, "sim\\channels"), QByteArray("12"));
    QCOMPARE(plugin.value(board, "sim\\pairs"), QByteArray("6"));
    QCOMPARE(plugin.value(board, "sim\\rate"), QByteArray("2500"));
    QCOMPARE(plugin.value(board, "sim\\lines"), QByteArray("511,1274.5"));
    QCOMPARE(plugin.value(board, "sim\\seed"), QByteArray("1"));
    QCOMPARE(plugin.value(board, "sim\\max_batch"), QByteArray("10000"));
}

void TestSimBoardControl::callsWithAnUnknownHandleFail()
{
    const uint32_t unknown = 0xFFFF0000u;
    char buffer[64];
    std::memset(buffer, 'x', sizeof buffer);
    QVERIFY(plugin.setValue(unknown, "\\hv\\VSet", "100") != 0);
    QVERIFY(plugin.getValueFn(unknown, "\\hv\\VSet", buffer) != 0);
    QCOMPARE(buffer[0], '\0');
    QVERIFY(plugin.send(unknown, "commands\\start") != 0);
    readout::DataList list{};
    QVERIFY(plugin.readDataFn(unknown, "endpoints\\list", 10, &list) != 0);
    QCOMPARE(list.count, 0);
    QVERIFY(plugin.freePointerFn(unknown, "endpoints\\list", &list) != 0);
    QVERIFY(plugin.outstanding(unknown) < 0);
}

void TestSimBoardControl::storedValueIsReadBack()
{
    const uint32_t board = plugin.openBoard("sim");
    QCOMPARE(plugin.setValue(board, "\\Channel2\\par\\Channel2\\Gain", "17"), 0);
    QCOMPARE(plugin.setValue(board, "\\par\\Mode", "list"), 0);
    QCOMPARE(plugin.value(board, "\\Channel2\\par\\Channel2\\Gain"), QByteArray("17"));
    QCOMPARE(plugin.value(board, "\\par\\Mode"), QByteArray("list"));
    QCOMPARE(plugin.setValue(board, "\\par\\Mode", ""), 0);
    QCOMPARE(plugin.value(board, "\\par\\Mode"), QByteArray(""));
}

void TestSimBoardControl::unsetValuesReadTheirDefault_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("unknown path") << QByteArray("\\par\\Threshold") << QByteArray("0");
    QTest::newRow("empty path") << QByteArray("") << QByteArray("0");
    QTest::newRow("voltage setting") << QByteArray("\\Channel3\\hv\\Channel3\\VSet") << QByteArray("0");
    QTest::newRow("current limit") << QByteArray("\\Channel0\\hv\\Channel0\\ISet") << QByteArray("10");
    QTest::newRow("ramp up") << QByteArray("\\hv\\RampUp") << QByteArray("10");
    QTest::newRow("maximum voltage") << QByteArray("\\hv\\VMax") << QByteArray("1500");
    QTest::newRow("temperature") << QByteArray("\\board\\Temp") << QByteArray("25");
}

void TestSimBoardControl::unsetValuesReadTheirDefault()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, value);
    const uint32_t board = plugin.openBoard("sim");
    QCOMPARE(plugin.value(board, path), value);
}

void TestSimBoardControl::valuesBelongToTheirBoard()
{
    const uint32_t first = plugin.openBoard("sim");
    const uint32_t second = plugin.openBoard("sim");
    QCOMPARE(plugin.setValue(first, "\\par\\Gain", "3"), 0);
    QCOMPARE(plugin.value(first, "\\par\\Gain"), QByteArray("3"));
    QCOMPARE(plugin.value(second, "\\par\\Gain"), QByteArray("0"));
}

void TestSimBoardControl::longValueIsCutTo63Characters()
{
    const uint32_t board = plugin.openBoard("sim");
    const QByteArray longValue(100, 'v');
    QCOMPARE(plugin.setValue(board, "\\par\\Comment", longValue), 0);

    // 64 bytes for the plugin and a guard band behind them that must stay untouched.
    char buffer[80];
    std::memset(buffer, 0x5A, sizeof buffer);
    QCOMPARE(plugin.getValueFn(board, "\\par\\Comment", buffer), 0);
    QCOMPARE(QByteArray(buffer), longValue.left(63));
    QCOMPARE(buffer[63], '\0');
    for (int i = 64; i < 80; ++i)
        QCOMPARE(buffer[i], char(0x5A));
}

void TestSimBoardControl::fixedSimulationValuesCannotBeChanged()
{
    const uint32_t board = plugin.openBoard("sim:channels=4");
    QCOMPARE(plugin.setValue(board, "sim\\channels", "32"), -7);
    QCOMPARE(plugin.value(board, "sim\\channels"), QByteArray("4"));
    QCOMPARE(plugin.setValue(board, "sim\\rate", "250"), 0);
    QCOMPARE(plugin.value(board, "sim\\rate"), QByteArray("250"));
}

void TestSimBoardControl::unusableTunableValueIsRefused()
{
    const uint32_t board = plugin.openBoard("sim:rate=300");
    QCOMPARE(plugin.setValue(board, "sim\\rate", "fast"), -6);
    QCOMPARE(plugin.setValue(board, "sim\\background", "1.5"), -6);
    QCOMPARE(plugin.value(board, "sim\\rate"), QByteArray("300"));
    QCOMPARE(plugin.value(board, "sim\\background"), QByteArray("0.25"));
}

void TestSimBoardControl::voltageMonitorFollowsSetValueOnlyWhileOn()
{
    const uint32_t board = plugin.openBoard("sim");
    const QByteArray setPath = "\\Channel3\\hv\\Channel3\\VSet";
    const QByteArray monitorPath = "\\Channel3\\hv\\Channel3\\VMon";
    QCOMPARE(plugin.setValue(board, setPath, "850"), 0);
    QCOMPARE(plugin.value(board, monitorPath), QByteArray("0"));

    QCOMPARE(plugin.send(board, "commands\\global_on"), 0);
    QCOMPARE(plugin.value(board, monitorPath), QByteArray("850"));
    QCOMPARE(plugin.value(board, "\\Channel2\\hv\\Channel2\\VMon"), QByteArray("0"));
    QCOMPARE(plugin.setValue(board, setPath, "910.5"), 0);
    QCOMPARE(plugin.value(board, monitorPath), QByteArray("910.5"));

    QCOMPARE(plugin.send(board, "commands\\global_off"), 0);
    QCOMPARE(plugin.value(board, monitorPath), QByteArray("0"));
}

void TestSimBoardControl::currentMonitorIsSmallAndPositiveOnlyWhileOn()
{
    const uint32_t board = plugin.openBoard("sim");
    QCOMPARE(plugin.setValue(board, "\\hv\\VSet", "1000"), 0);
    QCOMPARE(plugin.value(board, "\\hv\\IMon"), QByteArray("0"));
    plugin.send(board, "commands\\global_on");
    bool isNumber = false;
    const double microamps = plugin.value(board, "\\hv\\IMon").toDouble(&isNumber);
    QVERIFY(isNumber);
    QVERIFY(microamps > 0.0);
    QVERIFY(microamps < 50.0);
    plugin.send(board, "commands\\global_off");
    QCOMPARE(plugin.value(board, "\\hv\\IMon"), QByteArray("0"));
}

void TestSimBoardControl::highVoltageIsSwitchedPerBoard()
{
    const uint32_t first = plugin.openBoard("sim");
    const uint32_t second = plugin.openBoard("sim");
    plugin.setValue(first, "\\hv\\VSet", "500");
    plugin.setValue(second, "\\hv\\VSet", "600");
    plugin.send(first, "commands\\global_on");
    QCOMPARE(plugin.value(first, "\\hv\\VMon"), QByteArray("500"));
    QCOMPARE(plugin.value(second, "\\hv\\VMon"), QByteArray("0"));
}

void TestSimBoardControl::otherCommandPathsAreAcceptedWithoutEffect_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("board command") << QByteArray("commands\\apply_config");
    QTest::newRow("endpoint command") << QByteArray("endpoints\\list\\configure");
    QTest::newRow("free text") << QByteArray("anything at all");
    QTest::newRow("empty") << QByteArray("");
}

void TestSimBoardControl::otherCommandPathsAreAcceptedWithoutEffect()
{
    QFETCH(QByteArray, path);
    const uint32_t board = plugin.openBoard("sim:fixed_batch=3");
    plugin.setValue(board, "\\hv\\VSet", "700");
    QCOMPARE(plugin.send(board, path), 0);
    // Neither high voltage nor acquisition was switched on.
    QCOMPARE(plugin.value(board, "\\hv\\VMon"), QByteArray("0"));
    BoardRead read(board, "endpoints\\list", 0);
    QCOMPARE(read.status(), 0);
    QCOMPARE(read.count(), 0);
}

QTEST_GUILESS_MAIN(TestSimBoardControl)
#include "tst_sim_board_control.moc"
