// Start-up of the real executable: every refused configuration with its
// console message and exit status, and the lines of a start that succeeds.
// Each row edits the smallest example configuration (config/minimal_spectrum.json:
// one simulated digitizer, source -> time sorting -> spectrum).
#include "server_process.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpServer>
#include <QtTest>

namespace {
const QString kChain = QStringLiteral("processing/0/filter_chain/0/chain/");
const QString kRefused = QStringLiteral("Configuration error in chain \"main\", block \"");

// Sets the value at a '/'-separated path of object keys and array indexes
// (an index one past the end appends).
QJsonValue setAt(QJsonValue node, QStringList path, const QJsonValue& value)
{
    if (path.isEmpty())
        return value;
    const QString key = path.takeFirst();
    if (node.isArray()) {
        QJsonArray array = node.toArray();
        const int i = key.toInt();
        if (i == array.size())
            array.append(QJsonValue());
        array.replace(i, setAt(array.at(i), path, value));
        return array;
    }
    QJsonObject object = node.toObject();
    object.insert(key, setAt(object.value(key), path, value));
    return object;
}

// Every line in this order in the output.
bool containsInOrder(const QString& output, const QStringList& lines)
{
    int from = 0;
    for (const QString& line : lines) {
        const int at = output.indexOf(line, from);
        if (at < 0) {
            qWarning().noquote() << "missing:" << line << "\nin:\n" << output;
            return false;
        }
        from = at + line.size();
    }
    return true;
}
}  // namespace

class TestServerStartup : public QObject {
    Q_OBJECT
private slots:
    // "edits": path -> value in the configuration; special keys: "#file" the
    // file's whole text, "#no_option" starts without "-c", "#plugin" a second
    // copy of the plugin under that name, "#args" extra arguments, "#busy_port"
    // a port this test holds meanwhile.
    void refusedConfigurations_data()
    {
        QTest::addColumn<QJsonObject>("edits");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("status");
        const QString noStorage = QStringLiteral("Storage folder does not exist on this server. Create:  \"%1\"  and check write permission");
        const QString invalid = QStringLiteral("Configuration file  \"%config\" is invalid");
        QTest::newRow("no configuration file") << QJsonObject{{"#no_option", true}}
            << "Unable to locate configuration file  \"../quarix_config_qdcpos.json\"\nBOARD SERVER IS CLOSING...\nBOARD SERVER IS KILLED" << 1;
        QTest::newRow("not JSON") << QJsonObject{{"#file", "{ \"storage\": "}} << invalid << 1;
        QTest::newRow("empty file") << QJsonObject{{"#file", ""}} << invalid << 1;
        QTest::newRow("array at the top") << QJsonObject{{"#file", "[]"}}
                                          << invalid + "\nThe configuration file has no object at its top level" << 1;
        QTest::newRow("storage missing") << QJsonObject{{"storage/file_path", "%storage/missing"}}
                                         << noStorage.arg("%storage/missing") << 1;
        QTest::newRow("storage is a file") << QJsonObject{{"storage/file_path", "%config"}} << noStorage.arg("%config") << 1;
        QTest::newRow("storage not writable") << QJsonObject{{"storage/file_path", "/proc/sys/kernel"}}
            << "Storage folder is not writable. Create:  \"/proc/sys/kernel\"  and check write permission for current user" << 1;
        QTest::newRow("Hardware empty") << QJsonObject{{"Hardware", QJsonArray()}}
                                        << "No HARDWARE devices is configuration file  \"%config\"" << 1;
        QTest::newRow("Hardware absent") << QJsonObject{{"Hardware", QJsonValue()}}
                                         << "No HARDWARE devices is configuration file  \"%config\"" << 1;
        QTest::newRow("no plugin") << QJsonObject{{"Hardware/0/board_plugin", "libVRAXDig2Other"}}
                                   << "Unable to locate a board plugin library for  \"VRAXDig2\"" << 0;
        QTest::newRow("two plugins") << QJsonObject{{"#plugin", "libVRAXDig2Sim.old.so"}}
            << "Multiple pulgin detected for  \"VRAXDig2\"\nRemove ambiguty files from boards folder" << 0;
        QTest::newRow("board does not open") << QJsonObject{{"Hardware/0/board_connection_string", "sim:channels=0"}}
            << "HARDWARE device:  \"sim:channels=0\"  is reporting isssues in connection procedure\n"
               "QUARIX Server can not start without all board correctly loaded\n"
               "Check connection or disable it from configuration file" << 1;
        QTest::newRow("server limit not a number") << QJsonObject{{"server/max_message_bytes", "1M"}}
            << "Configuration error in \"server\", key \"max_message_bytes\": must be a whole number of bytes from 1024 to 268435456, not \"1M\"" << 1;
        QTest::newRow("server backlog too small") << QJsonObject{{"server/max_client_backlog_bytes", 1000}}
            << "Configuration error in \"server\", key \"max_client_backlog_bytes\": must be a whole number of bytes from 65536 to 1073741824, not 1000" << 1;
        QTest::newRow("server address") << QJsonObject{{"server/listen_addresses", QJsonArray{"127.0.0.1", "lab-pc"}}}
            << "Configuration error in \"server\", key \"listen_addresses\": entry 1 must be an IP address" << 1;
        QTest::newRow("dashboard on the WebSocket port") << QJsonObject{{"server/http_port", 51234}}
            << "Configuration error in \"server\", key \"http_port\": must be a port number from 1 to 65535 other than the "
               "WebSocket port 51234, or 0 to switch the dashboard off, not 51234" << 1;
        QTest::newRow("dashboard port taken") << QJsonObject{{"#busy_port", 51235}}
            << "Configuration error in \"server\", key \"http_port\": cannot listen on port 51235" << 1;
        QTest::newRow("unknown block type") << QJsonObject{{kChain + "1/block_type", "Time_Sorting"}}
            << kRefused + "list_sorter\": unknown block_type \"Time_Sorting\"" << 1;
        QTest::newRow("source not created before") << QJsonObject{{kChain + "1/sources/0/source", "spectrum"}}
            << kRefused + "list_sorter\": \"sources\"[0] names \"spectrum\", which is not a block created before it" << 1;
        QTest::newRow("fewer sources than inputs") << QJsonObject{{kChain + "2/input_count", 2}}
            << kRefused + "spectrum\": \"input_count\" is 2 but \"sources\" has 1 entries" << 1;
        QTest::newRow("more inputs than the block has") << QJsonObject{{kChain + "1/input_count", 2},
                                                                      {kChain + "1/sources/1", QJsonObject{{"source", "list_source"}}}}
            << kRefused + "list_sorter\": \"input_count\" is 2 but the block has 1 inputs" << 1;
        QTest::newRow("pin beyond the outputs") << QJsonObject{{kChain + "2/sources/0/pin", "1"}}
            << kRefused + "spectrum\": \"sources\"[0] \"pin\" \"1\" is not one of the 1 output pins of \"list_sorter\"" << 1;
        QTest::newRow("pin too large") << QJsonObject{{kChain + "2/sources/0/pin", "99999999999"}}
            << kRefused + "spectrum\": \"sources\"[0] \"pin\" \"99999999999\" is not one of the 1 output pins of \"list_sorter\"" << 1;
        QTest::newRow("negative input_count") << QJsonObject{{kChain + "1/input_count", -1}}
            << kRefused + "list_sorter\": key \"input_count\": must be a whole number from 0 to 64 (got -1)" << 1;
        QTest::newRow("two blocks of one name") << QJsonObject{{kChain + "2/name", "list_source"}}
            << kRefused + "list_source\": key \"name\": another block is already named \"list_source\"" << 1;
        QTest::newRow("data type the endpoint lacks") << QJsonObject{{kChain + "0/data_type", "waveform"}}
            << "block \"list_source\": key \"data_type\": \"waveform\" does not fit endpoint \"list\" of board \"digitizer\", which delivers \"energy\"" << 1;
        QTest::newRow("bin_number too large") << QJsonObject{{kChain + "2/parameters/0/param_value", 1e9}}
            << kRefused + "spectrum\": key \"bin_number\": must be at most 1048576 (got 1000000000)" << 1;
        QTest::newRow("bin_number zero") << QJsonObject{{kChain + "2/parameters/0/param_value", 0}}
            << kRefused + "spectrum\": key \"bin_number\": must be at least 1 (got 0)" << 1;
        QTest::newRow("histogram cells") << QJsonObject{{kChain + "2/parameters/0/param_value", 65536},
                                                        {kChain + "2/parameters/1/param_value", 4096}}
            << kRefused + "spectrum\": key \"bin_number\": times \"ch_number\" must be at most" << 1;
        QTest::newRow("expression length") << QJsonObject{{kChain + "0/parameters/1/param_value", QString(4097, 'x')}}
            << kRefused + "list_source\": key \"energy_calibration_expression\": must be at most 4096 characters (got 4097)" << 1;
        QTest::newRow("version option") << QJsonObject{{"#args", "--version"}} << "quarix-boards-server 1.0" << 0;
    }

    void refusedConfigurations()
    {
        QFETCH(QJsonObject, edits);
        QFETCH(QString, message);
        QFETCH(int, status);
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        if (edits.contains("#plugin"))
            QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN), edits.value("#plugin").toString()));
        QFile minimal(QStringLiteral(QUARIX_SOURCE_DIR "/config/minimal_spectrum.json"));
        QVERIFY(minimal.open(QIODevice::ReadOnly));
        QJsonValue config = setAt(QJsonDocument::fromJson(minimal.readAll()).object(), {"storage", "file_path"},
                                  server.storagePath());
        const QString configPath = server.dir() + "/config.json";
        for (auto it = edits.begin(); it != edits.end(); ++it) {
            if (!it.key().startsWith('#'))
                config = setAt(config, it.key().split('/'),
                               it.value().isString() ? QJsonValue(it.value().toString().replace("%storage", server.storagePath())
                                                                      .replace("%config", configPath))
                                                     : it.value());
        }
        server.writeConfig(config.toObject());
        if (edits.contains("#file")) {
            QFile file(configPath);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(edits.value("#file").toString().toUtf8());
        }
        const QStringList args = edits.contains("#args") ? QStringList{edits.value("#args").toString()} : QStringList();
        QTcpServer busy;
        QVERIFY2(!edits.contains("#busy_port") || busy.listen(QHostAddress::Any, quint16(edits.value("#busy_port").toInt())), qPrintable(busy.errorString()));
        QVERIFY(server.start(edits.contains("#no_option") ? QString() : configPath, false, args));
        QCOMPARE(server.waitForExit(), status);
        message.replace("%config", configPath).replace("%storage", server.storagePath());
        QVERIFY(containsInOrder(server.output(), message.split('\n')));
        QVERIFY(!server.output().contains("QUARIX IS STARTED AND READY"));
    }

    // The default path is "../quarix_config_qdcpos.json" from the working folder
    // (bin/); a file in boards/ that is no library is skipped; the board's values
    // are set (arrays per channel, a bool array as one mask); a disabled chain is
    // not built.
    void aGoodConfigurationStartsAndEndsOnSignal()
    {
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QVERIFY(server.addBoardFile("libVRAXDig2Broken.so", "not a library"));
        QFile minimal(QStringLiteral(QUARIX_SOURCE_DIR "/config/minimal_spectrum.json"));
        QVERIFY(minimal.open(QIODevice::ReadOnly));
        QJsonValue config = setAt(QJsonDocument::fromJson(minimal.readAll()).object(), {"storage", "file_path"},
                                  server.storagePath());
        config = setAt(config, {"processing", "1"}, QJsonObject{{"filter_chain", QJsonArray{QJsonObject{
            {"enable", false}, {"name", "off"}, {"chain", QJsonArray{QJsonObject{{"block_type", "nonsense"}}}}}}}});
        config = setAt(config, (kChain + "2/sources/0/pin").split('/'), 0);   // a number means output 0
        server.writeConfig(config.toObject(), "quarix_config_qdcpos.json");
        QVERIFY(server.start(QString()));
        QVERIFY(containsInOrder(server.output(), {
            "Ardenix - Quarix is starting", "Board server configuration is:  \"../quarix_config_qdcpos.json\"",
            "Unable to load plugin:  \"libVRAXDig2Broken.so\"", "Storage folder is:  \"" + server.storagePath() + '"',
            "Connecting to board:  \"1\"", "\tName: \"digitizer\"", "\tBoard Type: \"16-channel digitizer (simulated)\"",
            "Using  \"libvraxdig2sim\"  for board  \"digitizer\"", "Connection status:  0",
            "Set \"sim\\\\rate\" \"1000\"", "Set \"\\\\ch\\\\Enable\" \"65535\"",
            "Set \"\\\\Channel15\\\\ch\\\\Channel15\\\\Threshold\" \"50\"", "Apply  \"Threshold\" [ 15 ] :  \"50\"  RES:  0",
            "QUARIX IS STARTED AND READY"}));
        QCOMPARE(server.terminate(), 0);
        QVERIFY(server.output().contains("Signal 15 received: closing open files"));
    }
};

QTEST_GUILESS_MAIN(TestServerStartup)
#include "tst_server_startup.moc"
