// The start-up sequence of the real executable: every refusal with its console
// lines and exit status, plugin choice, and the order of the board calls.
#include "script_plugin_fixture.h"
#include "server_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using scriptplugin::ScriptPluginFixture;

namespace {
QJsonObject boardEntry(const QString& name, const QString& connection)
{
    return QJsonObject{{"enable", true},           {"id", "7"},                 {"board_name", name},
                       {"board_type", "digitizer"}, {"board_family", "vrax"}, {"board_plugin", "libVRAXDig2Script"},
                       {"board_connection_string", connection}};
}

QJsonObject configWith(const QString& storage, const QJsonArray& hardware, const QJsonArray& processing = {})
{
    return QJsonObject{{"storage", QJsonObject{{"file_path", storage}}}, {"Hardware", hardware}, {"processing", processing}};
}

// The lines a refusal must show, in order, each exactly once in sequence.
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

// An oscilloscope block "b" with the given sample and channel numbers.
QString scopeEntry(const char* samples, const char* channels)
{
    return QStringLiteral(R"({"block_type": "oscilloscope", "name": "b", "parameters": [)"
                          R"({"param_name": "ch_digital", "param_value": 1}, {"param_name": "ch_analog", "param_value": 1},)"
                          R"({"param_name": "sample_number", "param_value": %1}, {"param_name": "ch_number", "param_value": %2}]})")
        .arg(samples, channels);
}

// An image block "b" with the given column labels.
QString imageEntry(const QStringList& columns)
{
    const QJsonObject labels{{"param_name", "x_positions"}, {"param_type", "array"},
                             {"param_value", QJsonArray::fromStringList(columns)}};
    const QJsonObject entry{{"block_type", "image"}, {"name", "b"}, {"parameters", QJsonArray{labels}}};
    return QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact));
}

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

const QJsonArray kListEndpoint{
    QJsonObject{{"name", "list"}, {"path", "endpoints\\list"}, {"enable", true}, {"type", "energy_sci_u32"}}};

// A server copy with the scripted plugin in its boards/ folder and a script for board "B1".
struct ScriptedServer {
    ServerProcess server;
    ScriptPluginFixture board{server.dir()};

    bool prepare() { return board.write() && server.addPlugin(ScriptPluginFixture::pluginPath()); }
    // The configuration of board B1 on the script, with the given storage folder and chains.
    QString writeConfig(const QString& storage, const QJsonObject& extra = {}, const QJsonArray& processing = {})
    {
        QJsonObject entry = boardEntry("B1", board.connectionString());
        for (auto it = extra.begin(); it != extra.end(); ++it)
            entry.insert(it.key(), it.value());
        return server.writeConfig(configWith(storage, {entry}, processing));
    }
};
}  // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void withoutAConfigurationFileTheServerCloses()
    {
        ServerProcess server;
        server.addPlugin(ScriptPluginFixture::pluginPath());
        QVERIFY(server.start(QString(), false));
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY(containsInOrder(server.output(),
                                {"Unable to locate configuration file  \"../quarix_config_qdcpos.json\"",
                                 "BOARD SERVER IS CLOSING...", "BOARD SERVER IS KILLED"}));
    }

    void theDefaultPathIsTheFileBesideTheBinaryFolder()
    {
        ServerProcess server;
        ScriptPluginFixture board(server.dir());
        QVERIFY(board.write());
        server.addPlugin(ScriptPluginFixture::pluginPath());
        server.writeConfig(configWith(server.storagePath(), {boardEntry("B1", board.connectionString())}),
                           QStringLiteral("quarix_config_qdcpos.json"));
        QVERIFY(server.start(QString()));
        QVERIFY(containsInOrder(server.output(),
                                {"Ardenix - Quarix is starting",
                                 "Board server configuration is:  \"../quarix_config_qdcpos.json\"",
                                 "Storage folder is:  " + quoted(server.storagePath()),
                                 "Connecting to board:  \"7\"", "\tName: \"B1\"", "\tBoard Type: \"digitizer\"",
                                 "\tConnection address: " + quoted(board.connectionString()),
                                 "Using  \"libvraxdig2script\"  for board  \"B1\"", "Connection status:  0",
                                 "QUARIX IS STARTED AND READY"}));
        QCOMPARE(server.terminate(), 0);
    }

    void refusals_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("status");
        const QString invalid = QStringLiteral("Configuration file  \"%config\" is invalid");
        const QString noHardware = QStringLiteral("No HARDWARE devices is configuration file  \"%config\"");
        const QString noStorage = QStringLiteral("Storage folder does not exist on this server. Create:  \"%1\"  and "
                                                 "check write permission");
        QTest::newRow("not JSON") << "not json" << QStringList{invalid} << 1;
        QTest::newRow("empty file") << "empty" << QStringList{invalid} << 1;
        QTest::newRow("array at the top level")
            << "array" << QStringList{invalid, "The configuration file has no object at its top level"} << 1;
        QTest::newRow("storage missing") << "no storage" << QStringList{noStorage.arg("%storage/missing")} << 1;
        QTest::newRow("storage is a file") << "storage file" << QStringList{noStorage.arg("%storage/file")} << 1;
        QTest::newRow("Hardware empty") << "no hardware" << QStringList{noHardware} << 1;
        QTest::newRow("Hardware absent") << "hardware absent" << QStringList{noHardware} << 1;
        QTest::newRow("no plugin") << "no plugin" << QStringList{"Unable to locate a board plugin library for  \"vrax\""}
                                   << 0;
        QTest::newRow("two plugins")
            << "two plugins"
            << QStringList{"Multiple pulgin detected for  \"vrax\"", "Remove ambiguty files from boards folder"} << 0;
        QTest::newRow("board does not open")
            << "open fails"
            << QStringList{"Connection status:  -3",
                           "HARDWARE device:  \"%connection\"  is reporting isssues in connection procedure",
                           "QUARIX Server can not start without all board correctly loaded",
                           "Check connection or disable it from configuration file"}
            << 1;
    }
    void refusals()
    {
        QFETCH(QString, kind);
        QFETCH(QStringList, lines);
        QFETCH(int, status);
        ServerProcess server;
        ScriptPluginFixture board(server.dir());
        if (kind == "open fails")
            board.setOpenStatus(-3);
        QVERIFY(board.write());
        if (kind != "no plugin")
            server.addPlugin(ScriptPluginFixture::pluginPath());
        if (kind == "two plugins")
            server.addPlugin(ScriptPluginFixture::pluginPath(), QStringLiteral("libVRAXDig2Script.old.so"));

        QJsonObject config = configWith(server.storagePath(), {boardEntry("B1", board.connectionString())});
        QString configPath = server.writeConfig(config);
        if (kind == "not json" || kind == "empty" || kind == "array") {
            QFile file(configPath);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(kind == "not json" ? "{ \"storage\": " : kind == "array" ? "[]" : "");
        } else if (kind == "no storage" || kind == "storage file") {
            const QString path = server.storagePath() + (kind == "no storage" ? "/missing" : "/file");
            if (kind == "storage file") {
                QFile file(path);
                QVERIFY(file.open(QIODevice::WriteOnly));
            }
            config.insert("storage", QJsonObject{{"file_path", path}});
            server.writeConfig(config);
        } else if (kind == "no hardware") {
            config.insert("Hardware", QJsonArray());
            server.writeConfig(config);
        } else if (kind == "hardware absent") {
            config.remove("Hardware");
            server.writeConfig(config);
        }
        QVERIFY(server.start(configPath, false));
        QCOMPARE(server.waitForExit(), status);
        for (QString& line : lines) {
            line.replace("%config", configPath)
                .replace("%storage", server.storagePath())
                .replace("%connection", board.connectionString());
        }
        QVERIFY(containsInOrder(server.output(), lines));
        QVERIFY(!server.output().contains("QUARIX IS STARTED AND READY"));
    }

    void aStorageFolderThatIsNotWritableIsRefused()
    {
        // Root may write anywhere on a writable file system: use a read-only mount.
        QString readOnly;
        for (const char* candidate : {"/proc/sys/kernel", "/sys/kernel", "/proc/1"}) {
            if (QFileInfo(candidate).isDir() && !QFileInfo(candidate).isWritable()) {
                readOnly = candidate;
                break;
            }
        }
        if (readOnly.isEmpty())
            QSKIP("no read-only folder on this machine");
        ScriptedServer run;
        QVERIFY(run.prepare());
        ServerProcess& server = run.server;
        QVERIFY(server.start(run.writeConfig(readOnly), false));
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY(containsInOrder(server.output(), {"Storage folder is not writable. Create:  " + quoted(readOnly) +
                                                  "  and check write permission for current user"}));
    }

    void entriesWithoutEnableOpenNoBoard()
    {
        ServerProcess server;
        QJsonObject entry = boardEntry("B1", "unused");
        entry.remove("enable");
        const QString configPath = server.writeConfig(configWith(server.storagePath(), {entry}));
        QVERIFY(server.start(configPath));
        QVERIFY(!server.output().contains("Connecting to board"));
        QCOMPARE(server.terminate(), 0);
    }

    void aLibraryThatDoesNotLoadIsSkipped()
    {
        ScriptedServer run;
        QVERIFY(run.prepare());
        ServerProcess& server = run.server;
        server.addBoardFile(QStringLiteral("libVRAXDig2Broken.so"), "not a library");
        QVERIFY(server.start(run.writeConfig(server.storagePath())));
        QVERIFY(containsInOrder(server.output(), {"Unable to load plugin:  \"libVRAXDig2Broken.so\"", "Error:   \"",
                                                  "Execution terminated", "QUARIX IS STARTED AND READY"}));
        QCOMPARE(server.terminate(), 0);
    }

    void boardsAreOpenedReadAndStartedInOrder()
    {
        ServerProcess server;
        ScriptPluginFixture first(server.dir(), QStringLiteral("first"));
        ScriptPluginFixture second(server.dir(), QStringLiteral("second"));
        QVERIFY(first.write());
        QVERIFY(second.write());
        server.addPlugin(ScriptPluginFixture::pluginPath());
        QJsonObject entry = boardEntry("B1", first.connectionString());
        entry.insert("configs", QJsonDocument::fromJson(R"([{"elements": [
            {"name": "Gain", "path": "\\ch\\Gain", "value_type": "u32_array", "values": [10, 20], "direct_apply": true},
            {"name": "Temp", "path": "\\t", "value_type": "u32", "value": "1", "access": "read_only", "direct_apply": true}]}])")
                                   .array());
        entry.insert("endpoints", QJsonDocument::fromJson(R"([{"name": "list", "path": "endpoints\\list", "enable": true}])").array());
        entry.insert("commands", QJsonDocument::fromJson(R"([
            {"path": "cmd\\start", "command_type": "start", "endpoint_type": "list"},
            {"path": "cmd\\stop", "command_type": "stop", "endpoint_type": "list"},
            {"path": "cmd\\reset", "command_type": "reset", "endpoint_type": "list"},
            {"path": "cmd\\all", "command_type": "config_all"}])").array());
        const QString configPath = server.writeConfig(
            configWith(server.storagePath(), {entry, boardEntry("B2", second.connectionString())}));
        QVERIFY(server.start(configPath));
        QCOMPARE(first.briefs(), (QStringList{"Open " + first.connectionString(),
                                               "SetValue \\Channel0\\ch\\Channel0\\Gain 10",
                                               "SetValue \\Channel1\\ch\\Channel1\\Gain 20",
                                               "SendCommand cmd\\all", "SendCommand cmd\\stop",
                                               "SendCommand cmd\\start", "SendCommand cmd\\stop",
                                               "SendCommand cmd\\reset", "SendCommand cmd\\start"}));
        QCOMPARE(second.briefs(), QStringList{"Open " + second.connectionString()});
        QVERIFY(containsInOrder(server.output(), {"Apply  \"Gain\" [ 0 ] :  \"10\"  RES:  0",
                                                  "Apply  \"Gain\" [ 1 ] :  \"20\"  RES:  0"}));
        QCOMPARE(server.terminate(), 0);
    }

    void chainsThatCannotBeWiredAreRefused_data()
    {
        QTest::addColumn<QString>("chain");
        QTest::addColumn<QString>("problem");
        const QString source = R"({"block_type": "source", "name": "src", "data_type": "energy",
                                   "sources": [{"source": "B1", "pin": "endpoints\\list"}]})";
        QTest::newRow("unknown block type")
            << "[" + source + R"(, {"block_type": "Time_Sorting", "name": "ts", "input_count": 1,
                                   "sources": [{"source": "src", "pin": "0"}]}])"
            << R"(Configuration error in chain "main", block "ts": unknown block_type "Time_Sorting")";
        QTest::newRow("source names no earlier block")
            << R"([{"block_type": "time_sorting", "name": "ts", "input_count": 1,
                    "sources": [{"source": "src", "pin": "0"}]}, )" + source + "]"
            << R"(Configuration error in chain "main", block "ts": "sources"[0] names "src", which is not a block created before it)";
        QTest::newRow("fewer sources than inputs")
            << "[" + source + R"(, {"block_type": "time_sorting", "name": "ts", "input_count": 1}])"
            << R"(Configuration error in chain "main", block "ts": "input_count" is 1 but "sources" has 0 entries)";
        QTest::newRow("pin beyond the outputs")
            << "[" + source + R"(, {"block_type": "tee", "name": "tee", "input_count": 1, "output_count": 2,
                                   "sources": [{"source": "src", "pin": "0"}]},
                                  {"block_type": "time_sorting", "name": "ts", "input_count": 1,
                                   "sources": [{"source": "tee", "pin": "2"}]}])"
            << R"(Configuration error in chain "main", block "ts": "sources"[0] "pin" "2" is not one of the 2 output pins of "tee")";
        QTest::newRow("pin too large for an integer")
            << "[" + source + R"(, {"block_type": "time_sorting", "name": "ts", "input_count": 1,
                                   "sources": [{"source": "src", "pin": "99999999999"}]}])"
            << R"(Configuration error in chain "main", block "ts": "sources"[0] "pin" "99999999999" is not one of the 1 output pins of "src")";
        QTest::newRow("negative input_count")
            << "[" + source + R"(, {"block_type": "time_sorting", "name": "ts", "input_count": -1}])"
            << R"(Configuration error in chain "main", block "ts": key "input_count": must be a whole number from 0 to 64 (got -1))";
        QTest::newRow("two blocks of one name")
            << "[" + source + R"(, {"block_type": "tee", "name": "src", "input_count": 1, "output_count": 1,
                                   "sources": [{"source": "src", "pin": "0"}]}])"
            << R"(Configuration error in chain "main", block "src": key "name": another block is already named "src")";
        QTest::newRow("data type the endpoint does not deliver")
            << R"([{"block_type": "source", "name": "src", "data_type": "waveform",
                    "sources": [{"source": "B1", "pin": "endpoints\\list"}]}])"
            << R"(block "src": key "data_type": "waveform" does not fit endpoint "list" of board "B1", which delivers "energy")";
        // Sizes beyond their bounds are refused before anything is allocated.
        const auto sized = [&source](const QString& block) { return "[" + source + ", " + block + "]"; };
        const QString refused = R"(Configuration error in chain "main", block "b": key )";
        QTest::newRow("bin_number") << sized(R"({"block_type": "spectrum", "name": "b", "parameters": [
                {"param_name": "bin_number", "param_value": 1000000000}, {"param_name": "ch_number", "param_value": 1}]})")
                                    << refused + R"("bin_number": must be at most 1048576 (got 1000000000))";
        QTest::newRow("ch_number") << sized(R"({"block_type": "tof_histogram", "name": "b", "parameters": [
                {"param_name": "bin_number", "param_value": 1}, {"param_name": "ch_number", "param_value": 1e9}]})")
                                   << refused + R"("ch_number": must be at most 4096 (got 1000000000))";
        QTest::newRow("histogram cells") << sized(R"({"block_type": "spectrum", "name": "b", "parameters": [
                {"param_name": "bin_number", "param_value": 65536}, {"param_name": "ch_number", "param_value": 4096}]})")
                                         << refused + R"("bin_number": times "ch_number" must be at most)";
        QStringList labels;
        for (int i = 0; i <= 4096; ++i)
            labels << QString::number(i);
        QTest::newRow("image labels") << sized(imageEntry(labels))
                                      << refused + R"("x_positions": must list at most 4096 labels)";
        QTest::newRow("position rows") << sized(R"({"block_type": "position", "name": "b", "parameters": [
                {"param_name": "positions", "param_type": "array", "param_value": [0, 0]},
                {"param_name": "y_positions", "param_value": 1e9}]})")
                                       << refused + R"("y_positions": must be at most 4096 (got 1000000000))";
        QTest::newRow("sample_number") << sized(scopeEntry("1e9", "1"))
                                       << refused + R"("sample_number": must be at most 65536 (got 1000000000))";
        QTest::newRow("scope ch_number") << sized(scopeEntry("16", "1e6"))
                                         << refused + R"("ch_number": must be at most 1024 (got 1000000))";
        QTest::newRow("output_count") << sized(R"({"block_type": "tee", "name": "b", "output_count": 1e9})")
                                      << refused + R"("output_count": must be at most 64 (got 1000000000))";
        QTest::newRow("n_channels") << sized(R"({"block_type": "hv", "name": "b", "sources": [{"source": "B1"}],
                "parameters": [{"param_name": "n_channels", "param_value": 1e9}]})")
                                    << refused + R"("n_channels": must be at most 1024 (got 1000000000))";
        const QJsonObject expression{{"param_name", "energy_calibration_expression"},
                                     {"param_value", QString(4097, QLatin1Char('x'))}};
        QJsonObject longExpression = QJsonDocument::fromJson(source.toUtf8()).object();
        longExpression.insert("name", "b");
        longExpression.insert("parameters", QJsonArray{expression});
        QTest::newRow("expression length")
            << "[" + QString::fromUtf8(QJsonDocument(longExpression).toJson()) + "]"
            << refused + R"("energy_calibration_expression": must be at most 4096 characters (got 4097))";
        QTest::newRow("more inputs than the block has")
            << "[" + source + R"(, {"block_type": "time_sorting", "name": "ts", "input_count": 2,
                                   "sources": [{"source": "src", "pin": "0"}, {"source": "src", "pin": "0"}]}])"
            << R"(Configuration error in chain "main", block "ts": "input_count" is 2 but the block has 1 inputs)";
    }
    void chainsThatCannotBeWiredAreRefused()
    {
        QFETCH(QString, chain);
        QFETCH(QString, problem);
        ScriptedServer run;
        QVERIFY(run.prepare());
        ServerProcess& server = run.server;
        const QJsonArray blocks = QJsonDocument::fromJson(chain.toUtf8()).array();
        QVERIFY(!blocks.isEmpty());
        const QJsonArray processing{QJsonObject{
            {"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "main"}, {"chain", blocks}}}}}};
        QVERIFY(server.start(run.writeConfig(server.storagePath(), {{"endpoints", kListEndpoint}}, processing), false));
        QCOMPARE(server.waitForExit(), 1);
        QVERIFY(containsInOrder(server.output(), {problem}));
        QVERIFY(!server.output().contains("QUARIX IS STARTED AND READY"));
    }

    void wiringThatIsValidStartsTheServer()
    {
        // A "pin" given as a JSON number means output 0; a source ignores "input_count".
        ScriptedServer run;
        QVERIFY(run.prepare());
        ServerProcess& server = run.server;
        const QJsonArray blocks = QJsonDocument::fromJson(R"([
            {"block_type": "source", "name": "src", "data_type": "energy", "input_count": 2,
             "sources": [{"source": "B1", "pin": "endpoints\\list"}]},
            {"block_type": "tee", "name": "tee", "input_count": 1, "output_count": 2, "sources": [{"source": "src", "pin": 0}]},
            {"block_type": "time_sorting", "name": "ts", "input_count": 1, "sources": [{"source": "tee", "pin": "1"}]}])")
                                      .array();
        const QJsonArray processing{QJsonObject{
            {"filter_chain", QJsonArray{QJsonObject{{"enable", true}, {"name", "main"}, {"chain", blocks}},
                                        QJsonObject{{"enable", false}, {"name", "off"},
                                                    {"chain", QJsonArray{QJsonObject{{"block_type", "nonsense"}}}}}}}}};
        QVERIFY(server.start(run.writeConfig(server.storagePath(), {{"endpoints", kListEndpoint}}, processing)));
        QVERIFY2(!server.output().contains(QStringLiteral("Warning")), qPrintable(server.output()));
        QCOMPARE(server.terminate(), 0);
    }

    void aSignalDuringTheStartUpEndsTheServerOnceItIsReady()
    {
        // The board takes 1.5 s to open: the signal arrives in the middle of the start-up.
        ScriptedServer run;
        QVERIFY(run.prepare());
        ServerProcess& server = run.server;
        const QJsonObject slowBoard{{"board_connection_string", run.board.connectionString() + ";open_delay_ms=1500"}};
        QVERIFY(server.start(run.writeConfig(server.storagePath(), slowBoard), false));
        QVERIFY(server.waitForOutput(QStringLiteral("Connecting to board")));
        QCOMPARE(server.terminate(20000, SIGTERM), 0);
        QVERIFY(containsInOrder(server.output(), {"Connection status:  0", "QUARIX IS STARTED AND READY",
                                                  "Signal 15 received: closing open files"}));
    }

    void theVersionOptionPrintsTheVersion()
    {
        ServerProcess server;
        QVERIFY(server.start(QString(), false, {"--version"}));
        QCOMPARE(server.waitForExit(), 0);
        QVERIFY(server.output().contains("quarix-boards-server 1.0"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
