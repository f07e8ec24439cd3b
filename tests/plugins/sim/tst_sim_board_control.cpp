// Opening simulated boards, their parameter values, high voltage, commands
// and run control, through the entry points as the server resolves them.
#include "sim_plugin.h"

#include <QtTest>

#include <cstring>

class TestSimBoardControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(plugin.loaded(), qPrintable(plugin.errorText())); }

    void acceptedConnectionStringsOpenANewBoardEachTime_data()
    {
        QTest::addColumn<QByteArray>("connection");
        QTest::newRow("scheme only") << QByteArray("sim");
        QTest::newRow("empty items") << QByteArray(" sim : seed = 7 ; ; channels=4 ;");
        QTest::newRow("every key") << QByteArray(
            "sim:seed=3;channels=8;pairs=2;crystals=5;max_batch=100;samples=64;traces=2;clock=125000000;"
            "gain=2.5;dead_time_ns=500;autostart=1;rate=0;wave_rate=10;fixed_batch=5;lines=511,1274.5;"
            "resolution=7.5;background=0.1");
        QTest::newRow("no lines") << QByteArray("sim:lines=");
    }
    void acceptedConnectionStringsOpenANewBoardEachTime()
    {
        QFETCH(QByteArray, connection);
        uint32_t first = 0, second = 0;
        QCOMPARE(plugin.open(connection, &first), 0);
        QCOMPARE(plugin.open(connection, &second), 0);
        QVERIFY(first != 0 && second != 0 && first != second);
    }

    void refusedConnectionStrings_data()
    {
        QTest::addColumn<QByteArray>("connection");
        QTest::addColumn<int>("status");
        QTest::newRow("other scheme") << QByteArray("tcp:192.168.0.10") << -20;
        QTest::newRow("empty") << QByteArray("") << -20;
        QTest::newRow("capitals") << QByteArray("SIM:seed=1") << -20;
        QTest::newRow("no value") << QByteArray("sim:seed") << -21;
        QTest::newRow("empty key") << QByteArray("sim:=3") << -21;
        QTest::newRow("unknown key") << QByteArray("sim:colour=red") << -22;
        QTest::newRow("no channels") << QByteArray("sim:channels=0") << -23;
        QTest::newRow("text number") << QByteArray("sim:channels=many") << -23;
        QTest::newRow("too many pairs") << QByteArray("sim:channels=16;pairs=9") << -23;
        QTest::newRow("negative rate") << QByteArray("sim:rate=-1") << -23;
        QTest::newRow("empty line") << QByteArray("sim:lines=662,,1173") << -23;
        QTest::newRow("flag not 0/1") << QByteArray("sim:autostart=yes") << -23;
    }
    void refusedConnectionStrings()
    {
        QFETCH(QByteArray, connection);
        QFETCH(int, status);
        uint32_t handle = 0;
        QCOMPARE(plugin.open(connection, &handle), status);
    }

    void callsWithAnUnknownHandleFail()
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

    // Steps: "set|<path>|<value>|<status>", "send|<path>" (status 0), "get|<path>|<value>",
    // "read|<endpoint>|<count>[|<header1 of the first entry>]".
    void stepsOnOneBoard_data()
    {
        QTest::addColumn<QByteArray>("connection");
        QTest::addColumn<QStringList>("steps");
        QTest::newRow("connection keys") << QByteArray("sim:channels=12;rate=2500;lines=511,1274.5")
            << QStringList{"get|sim\\channels|12", "get|sim\\pairs|6", "get|sim\\rate|2500", "get|sim\\lines|511,1274.5",
                           "get|sim\\seed|1", "get|sim\\max_batch|10000"};
        QTest::newRow("stored values") << QByteArray("sim")
            << QStringList{"set|\\Channel2\\par\\Channel2\\Gain|17|0", "set|\\par\\Mode|list|0",
                           "get|\\Channel2\\par\\Channel2\\Gain|17", "get|\\par\\Mode|list", "set|\\par\\Mode||0",
                           "get|\\par\\Mode|"};
        QTest::newRow("defaults") << QByteArray("sim")
            << QStringList{"get|\\par\\Threshold|0", "get||0", "get|\\Channel3\\hv\\Channel3\\VSet|0",
                           "get|\\Channel0\\hv\\Channel0\\ISet|10", "get|\\hv\\RampUp|10", "get|\\hv\\VMax|1500",
                           "get|\\board\\Temp|25"};
        QTest::newRow("fixed values") << QByteArray("sim:channels=4")
            << QStringList{"set|sim\\channels|32|-7", "get|sim\\channels|4", "set|sim\\rate|250|0", "get|sim\\rate|250"};
        QTest::newRow("unusable tunables") << QByteArray("sim:rate=300")
            << QStringList{"set|sim\\rate|fast|-6", "set|sim\\background|1.5|-6", "get|sim\\rate|300",
                           "get|sim\\background|0.25"};
        QTest::newRow("VMon only while on") << QByteArray("sim")
            << QStringList{"set|\\Channel3\\hv\\Channel3\\VSet|850|0", "get|\\Channel3\\hv\\Channel3\\VMon|0",
                           "send|commands\\global_on", "get|\\Channel3\\hv\\Channel3\\VMon|850", "get|\\Channel2\\hv\\Channel2\\VMon|0",
                           "set|\\Channel3\\hv\\Channel3\\VSet|910.5|0", "get|\\Channel3\\hv\\Channel3\\VMon|910.5",
                           "send|commands\\global_off", "get|\\Channel3\\hv\\Channel3\\VMon|0"};
        QTest::newRow("other commands start nothing") << QByteArray("sim:fixed_batch=3")
            << QStringList{"set|\\hv\\VSet|700|0", "send|commands\\apply_config", "send|endpoints\\list\\configure",
                           "send|anything at all", "send|", "read|list|0", "get|\\hv\\VMon|0"};
        QTest::newRow("endpoint start and stop") << QByteArray("sim:fixed_batch=5")
            << QStringList{"read|list|0", "send|endpoints\\list\\start", "read|list|5|0", "send|endpoints\\list\\stop",
                           "read|list|0", "send|endpoints\\list\\start", "read|list|5|5"};
        QTest::newRow("board commands reach every endpoint") << QByteArray("sim:fixed_batch=2")
            << QStringList{"send|endpoints\\one\\stop", "send|endpoints\\other\\start", "read|one|0", "read|other|2",
                           "send|commands\\start", "read|one|2", "read|first_used_now|2", "send|commands\\stop",
                           "read|one|0", "read|other|0", "read|used_after_stop|0"};
        QTest::newRow("rate 0: full batches") << QByteArray("sim:rate=0;max_batch=500")
            << QStringList{"send|endpoints\\list\\start", "read|list|500", "read|list|500", "read|list|500"};
        QTest::newRow("batch size from the next read") << QByteArray("sim:fixed_batch=5")
            << QStringList{"send|endpoints\\list\\start", "read|list|5", "set|sim\\fixed_batch|500|0", "read|list|500"};
    }
    void stepsOnOneBoard()
    {
        QFETCH(QByteArray, connection);
        QFETCH(QStringList, steps);
        const uint32_t board = plugin.openBoard(connection);
        QVERIFY(board != 0);
        for (const QString& step : steps) {
            const QStringList f = step.split('|');
            const QByteArray path = f.value(1).toLatin1();
            if (f[0] == "set") {
                QCOMPARE(QString::number(plugin.setValue(board, path, f.value(2).toLatin1())), f.value(3));
            } else if (f[0] == "send") {
                QCOMPARE(plugin.send(board, path), 0);
            } else if (f[0] == "read") {
                BoardRead read(board, "endpoints\\" + path);
                QCOMPARE(read.status(), 0);
                QVERIFY2(read.count() == f.value(2).toInt(), qPrintable(step + ": " + QString::number(read.count())));
                if (f.size() > 3)
                    QCOMPARE(read.entry(0).header1, f[3].toULongLong());
            } else {
                QVERIFY2(plugin.value(board, path) == f.value(2).toLatin1(), qPrintable(step));
            }
        }
    }

    void longValueIsCutTo63Characters()
    {
        const uint32_t board = plugin.openBoard("sim");
        const QByteArray longValue(100, 'v');
        QCOMPARE(plugin.setValue(board, "\\par\\Comment", longValue), 0);
        char buffer[80];   // 64 bytes for the plugin, then a guard band that must stay untouched
        std::memset(buffer, 0x5A, sizeof buffer);
        QCOMPARE(plugin.getValueFn(board, "\\par\\Comment", buffer), 0);
        QCOMPARE(QByteArray(buffer), longValue.left(63));
        QCOMPARE(QByteArray(buffer + 64, 16), QByteArray(16, char(0x5A)));
    }

    void valuesAndHighVoltageBelongToTheirBoard()
    {
        const uint32_t first = plugin.openBoard("sim");
        const uint32_t second = plugin.openBoard("sim");
        QCOMPARE(plugin.setValue(first, "\\par\\Gain", "3"), 0);
        QCOMPARE(plugin.value(second, "\\par\\Gain"), QByteArray("0"));
        plugin.setValue(first, "\\hv\\VSet", "500");
        plugin.setValue(second, "\\hv\\VSet", "600");
        plugin.send(first, "commands\\global_on");
        QCOMPARE(plugin.value(first, "\\hv\\VMon"), QByteArray("500"));
        QCOMPARE(plugin.value(second, "\\hv\\VMon"), QByteArray("0"));
    }

private:
    const SimPlugin& plugin = SimPlugin::instance();
};

QTEST_GUILESS_MAIN(TestSimBoardControl)
#include "tst_sim_board_control.moc"
