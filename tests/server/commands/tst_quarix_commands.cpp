// The global commands block over a block list of recording test blocks (a
// source, the three kinds of file writers, a block of another kind) and real
// high-voltage blocks on boards opened through the scripted plugin.
#include "board_access/hv.h"
#include "board_config_fixture.h"
#include "core/recording_control.h"
#include "server/quarix_commands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QtTest>

namespace {
const QString kTrue = QStringLiteral("[{\"response\": true}]");
const QString kFalse = QStringLiteral("[{\"response\": false}]");
const QString kExistingFolder = QStringLiteral("[{\"response\": \"Existing Folder\"}]");

// Every call a test block receives, as "<name>.<slot>(<arguments>)", in the
// order the blocks received them.
using Journal = QStringList;

class JournalBlock : public QuarixBlock {
    Q_OBJECT
public:
    JournalBlock(const QString& type, const QString& name, bool dump, Journal* journal) : m_journal(journal)
    {
        m_blockType = type;
        m_dump = dump;
        setName(name);
    }

protected:
    void record(const QString& call) { m_journal->append(Name() + QLatin1Char('.') + call); }

private:
    Journal* m_journal;
};

class TestSource : public JournalBlock {
    Q_OBJECT
public:
    TestSource(const QString& name, Journal* journal) : JournalBlock("source", name, false, journal) {}
public slots:
    void Run() { record("Run()"); }
    void Stop() { record("Stop()"); }
    void Flush() { record("Flush()"); }
    void Start() { record("Start()"); }
};

// A list-event dumper or, by its type, a rate-counter sink; the sink is given
// run information too, to show that it is never asked for it.
class TestWriter : public JournalBlock, public RecordingControl {
    Q_OBJECT
public:
    using JournalBlock::JournalBlock;
    Records records() const override
    {
        return blockType() == QLatin1String("dumper") ? Records::ListEvents : Records::RateCounters;
    }
    void configureRecording(int events, int, const QString& type, const QString& folder) override
    {
        record(QStringLiteral("ConfigureDump(%1,%2,%3)").arg(events).arg(type, folder));
    }
    void startRecording(const QString& runId) override { record("StartDump(" + runId + ")"); }
    void stopRecording() override { record("StopDump()"); }
    void pauseRecording() override { record("PauseDump()"); }
    void restartRecording() override { record("ReStartDump()"); }
    bool appendRunInfo(QString* out) override
    {
        record("GetRunInfo()");
        out->append("{\"run_of\":\"" + Name() + "\"}");
        return true;
    }
public slots:
    // Present on every block with an input; never called by the commands block.
    void NewDataInTheInputPin(int) { record("NewDataInTheInputPin()"); }
};

class TestOscilloscope : public JournalBlock, public RecordingControl {
    Q_OBJECT
public:
    TestOscilloscope(const QString& name, Journal* journal) : JournalBlock("oscilloscope", name, true, journal) {}
    Records records() const override { return Records::Waveforms; }
    void configureRecording(int events, int time, const QString& type, const QString& folder) override
    {
        record(QStringLiteral("ConfigureDump(%1,%2,%3,%4)").arg(events).arg(time).arg(type, folder));
    }
    void startRecording(const QString& runId) override { record("StartDump(" + runId + ")"); }
    void stopRecording() override { record("StopDump()"); }
    void pauseRecording() override { record("PauseDump()"); }
    void restartRecording() override { record("ReStartDump()"); }
};

QJsonObject storage(const QString& root, const QString& format = "CSV", bool list = true, bool wave = true,
                    bool mcs = true)
{
    return QJsonObject{{"file_path", root}, {"events_per_file", 1000}, {"wavedump_time_interval", 5},
                       {"format", format},  {"enable_list", list},     {"enable_wave", wave},
                       {"enable_mcs", mcs}};
}

QString command(const QString& cmd, const QString& key = QString(), const QString& value = QString())
{
    QJsonObject message{{"cmd", cmd}};
    if (!key.isEmpty())
        message.insert(key, value);
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

const Journal kReset{"src0.Stop()", "src0.Flush()", "src0.Start()", "src1.Stop()", "src1.Flush()", "src1.Start()"};
}  // namespace

class QuarixCommandsTest : public QObject {
    Q_OBJECT

private:
    QString root() const { return m_dir.filePath("storage"); }

    QTemporaryDir m_dir;
    QString m_configPath;
    Journal m_journal;
    QList<QuarixBlock*> m_blocks;
    std::unique_ptr<quarix_commands> m_commands;

    // Two sources, one writer of each kind, a dumper without dump flag and a block of another kind.
    void addStandardBlocks()
    {
        m_blocks << new TestSource("src0", &m_journal) << new TestOscilloscope("osc", &m_journal)
                 << new TestWriter("dumper", "dump", true, &m_journal)
                 << new TestWriter("rate_counters_sink", "rate", true, &m_journal) << new TestSource("src1", &m_journal)
                 << new TestWriter("dumper", "quiet", false, &m_journal)
                 << new TestWriter("spectrum", "spectrum", false, &m_journal);
    }

    bool writeConfig(const QJsonObject& storageSection)
    {
        QFile file(m_configPath);
        const QJsonObject config{{"storage", storageSection}, {"Hardware", QJsonArray{}}, {"processing", QJsonArray{}}};
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(QJsonDocument(config).toJson()) > 0;
    }

    QString ask(const QString& text)
    {
        QString reply;
        return QuarixBlock::interpret(m_commands.get(), text, &reply) ? reply : QStringLiteral("<no InterpretMessage slot>");
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_configPath = m_dir.filePath("quarix_config.json");
    }

    void init()
    {
        QVERIFY(QDir(root()).removeRecursively());
        QVERIFY(QDir().mkpath(root()));
        QVERIFY(writeConfig(storage(root())));
        m_journal.clear();
        m_commands = std::make_unique<quarix_commands>(&m_blocks, m_configPath, nullptr);
        m_commands->setName("commands");
    }

    void cleanup()
    {
        m_blocks.removeAll(m_commands.get());
        m_commands.reset();
        qDeleteAll(m_blocks);
        m_blocks.clear();
    }

    void answersAndReachesTheBlocks_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<Journal>("journal");

        QTest::newRow("start") << command("start", "endpoint", "src1") << kTrue << Journal{"src1.Run()"};
        QTest::newRow("stop") << command("stop", "endpoint", "src1") << kTrue << Journal{"src1.Stop()"};
        QTest::newRow("reset: every source in list order") << command("reset") << kTrue << kReset;
        QTest::newRow("hv_on without hv blocks") << command("hv_on") << kTrue << Journal();
        QTest::newRow("hv_off without hv blocks") << command("hv_off") << kTrue << Journal();
        // A run needs a run id given as text.
        for (const QString& t : {command("start_dump", "run_id", ""), command("start_dump"), QString(R"({"cmd":"start_dump","run_id":12})")})
            QTest::newRow(qPrintable(t)) << t << kExistingFolder << Journal();
        // A run id is one folder name.
        for (const QString& id : QStringList{"..", ".", "../r", "a/b", "r\n", QString(129, 'r')})
            QTest::newRow(qPrintable("refused run id " + id.left(8))) << command("start_dump", "run_id", id) << kFalse << Journal();
        // Commands it does not know get no reply.
        for (const QString& t : {command("START", "endpoint", "src0"), command("Reset"), command("start_all"), command(""),
                                 QString(R"({"endpoint":"src0"})"), QString(R"({"cmd":["reset"]})"),
                                 QString(R"({"args":[{"cmd":"reset"}]})"), QString("reset"), QString()})
            QTest::newRow(qPrintable("no reply: " + t)) << t << QString() << Journal();
    }

    void answersAndReachesTheBlocks()
    {
        QFETCH(QString, text);
        QFETCH(QString, reply);
        QFETCH(Journal, journal);
        addStandardBlocks();
        QCOMPARE(ask(text), reply);
        QCOMPARE(m_journal, journal);
        QCOMPARE(QDir(root()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

    void startAndStopRefuseWhatIsNotASource_data()
    {
        QTest::addColumn<QString>("text");
        for (const QString cmd : {"start", "stop"}) {
            const QByteArray c = cmd.toUtf8();
            QTest::addRow("%s: unknown name", c.constData()) << command(cmd, "endpoint", "src9");
            QTest::addRow("%s: a dumper", c.constData()) << command(cmd, "endpoint", "dump");
            QTest::addRow("%s: the commands block", c.constData()) << command(cmd, "endpoint", "commands");
            QTest::addRow("%s: first of that name is no source", c.constData()) << command(cmd, "endpoint", "twin");
            QTest::addRow("%s: name with other case", c.constData()) << command(cmd, "endpoint", "SRC0");
            QTest::addRow("%s: endpoint absent", c.constData()) << command(cmd);
            QTest::addRow("%s: endpoint not a string", c.constData())
                << QStringLiteral("{\"cmd\":\"%1\",\"endpoint\":0}").arg(cmd);
        }
    }

    void startAndStopRefuseWhatIsNotASource()
    {
        QFETCH(QString, text);
        addStandardBlocks();
        m_blocks << new TestWriter("dumper", "twin", true, &m_journal) << new TestSource("twin", &m_journal)
                 << m_commands.get();
        QCOMPARE(ask(text), kFalse);
        QCOMPARE(m_journal, Journal());
    }

    void findsBlocksAddedAfterItWasCreated()
    {
        QCOMPARE(ask(command("start", "endpoint", "late")), kFalse);
        m_blocks << new TestSource("late", &m_journal);
        QCOMPARE(ask(command("start", "endpoint", "late")), kTrue);
        QCOMPARE(m_journal, Journal({"late.Run()"}));
    }

    void startDumpResetsSourcesThenStartsTheEnabledWriters_data()
    {
        QTest::addColumn<bool>("list");
        QTest::addColumn<bool>("wave");
        QTest::addColumn<bool>("mcs");
        QTest::addColumn<QStringList>("writers");   // "<root>" stands for the storage root

        const QStringList osc{"osc.ConfigureDump(1000,5,CSV,<root>)", "osc.StartDump(r1)"};
        const QStringList dump{"dump.ConfigureDump(1000,CSV,<root>)", "dump.StartDump(r1)"};
        const QStringList rate{"rate.ConfigureDump(1000,CSV,<root>)", "rate.StartDump(r1)"};
        QTest::newRow("all") << true << true << true << osc + dump + rate;
        QTest::newRow("list only") << true << false << false << dump;
        QTest::newRow("wave only") << false << true << false << osc;
        QTest::newRow("mcs only") << false << false << true << rate;
        QTest::newRow("none") << false << false << false << QStringList();
    }

    void startDumpResetsSourcesThenStartsTheEnabledWriters()
    {
        QFETCH(bool, list);
        QFETCH(bool, wave);
        QFETCH(bool, mcs);
        QFETCH(QStringList, writers);
        addStandardBlocks();
        QVERIFY(writeConfig(storage(root(), "CSV", list, wave, mcs)));

        QCOMPARE(ask(command("start_dump", "run_id", "r1")), kTrue);

        QVERIFY(QFileInfo(root() + "/r1").isDir());
        Journal expected = kReset;
        for (const QString& call : writers)
            expected << QString(call).replace("<root>", root());
        QCOMPARE(m_journal, expected);
    }

    // A folder left by an earlier run is refused in the demo session's recorded run.
    void startDumpRefusesAFileAtTheRunFolder()
    {
        addStandardBlocks();
        QFile file(root() + "/r7");
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(ask(command("start_dump", "run_id", "r7")), kExistingFolder);
        QCOMPARE(m_journal, Journal());
    }

    void startDumpReadsTheStorageSettingsAgainAtEveryRun()
    {
        addStandardBlocks();
        QVERIFY(writeConfig(storage(root(), "CSV", true, false, false)));
        QCOMPARE(ask(command("start_dump", "run_id", "r1")), kTrue);
        QCOMPARE(m_journal.mid(6), Journal({"dump.ConfigureDump(1000,CSV," + root() + ")", "dump.StartDump(r1)"}));
        m_journal.clear();

        // A new root whose parent folders do not exist yet: they are created.
        const QString otherRoot = m_dir.filePath("storage/not/yet");
        QJsonObject edited = storage(otherRoot, "JSON", true, true, false);
        edited.insert("events_per_file", 10);
        edited.insert("wavedump_time_interval", 0);
        QVERIFY(writeConfig(edited));
        QCOMPARE(ask(command("start_dump", "run_id", "r2")), kTrue);

        QVERIFY(QFileInfo(otherRoot + "/r2").isDir());
        QVERIFY(!QFileInfo::exists(root() + "/r2"));
        QCOMPARE(m_journal.mid(6), Journal({"osc.ConfigureDump(10,0,JSON," + otherRoot + ")", "osc.StartDump(r2)",
                                            "dump.ConfigureDump(10,JSON," + otherRoot + ")", "dump.StartDump(r2)"}));

        // A folder outside the storage folder the block was made with is refused.
        m_journal.clear();
        QVERIFY(writeConfig(storage(m_dir.filePath("elsewhere"))));
        QCOMPARE(ask(command("start_dump", "run_id", "r3")), kFalse);
        QVERIFY(!QFileInfo::exists(m_dir.filePath("elsewhere")));
        QCOMPARE(m_journal, Journal());
    }

    void runCommandsReachEveryWriterIncludingDisabledOnes_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("slot");
        QTest::newRow("stop_dump") << "stop_dump" << "StopDump()";
        QTest::newRow("pause_dump") << "pause_dump" << "PauseDump()";
        QTest::newRow("restart_dump") << "restart_dump" << "ReStartDump()";
    }

    void runCommandsReachEveryWriterIncludingDisabledOnes()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, slot);
        addStandardBlocks();
        QVERIFY(writeConfig(storage(root(), "CSV", true, false, false)));
        QCOMPARE(ask(command("start_dump", "run_id", "r1")), kTrue);
        m_journal.clear();

        QCOMPARE(ask(command(cmd)), kTrue);
        QCOMPARE(m_journal, Journal({"osc." + slot, "dump." + slot, "rate." + slot}));
    }

    void getRunInfoJoinsTheDumpersRunInformation_data()
    {
        QTest::addColumn<QStringList>("dumpers");
        QTest::addColumn<QString>("reply");
        QTest::newRow("no dumper") << QStringList() << "[]";
        QTest::newRow("two dumpers") << QStringList{"d1", "d2"} << "[{\"run_of\":\"d1\"},{\"run_of\":\"d2\"}]";
    }

    void getRunInfoJoinsTheDumpersRunInformation()
    {
        QFETCH(QStringList, dumpers);
        QFETCH(QString, reply);
        // Writers of the other kinds and a dumper without dump flag are not asked.
        m_blocks << new TestWriter("rate_counters_sink", "rate", true, &m_journal)
                 << new TestWriter("dumper", "quiet", false, &m_journal);
        Journal asked;
        for (const QString& name : dumpers) {
            m_blocks << new TestWriter("dumper", name, true, &m_journal) << new TestOscilloscope("osc_" + name, &m_journal);
            asked << name + ".GetRunInfo()";
        }
        QCOMPARE(ask(command("get_run_info")), reply);
        QCOMPARE(m_journal, asked);
    }

    void hvOnAndOffSwitchEveryHighVoltageBoard_data()
    {
        QTest::addColumn<QString>("cmd");
        QTest::addColumn<QString>("path");
        QTest::newRow("hv_on") << "hv_on" << "commands\\global_on";
        QTest::newRow("hv_off") << "hv_off" << "commands\\global_off";
    }

    void hvOnAndOffSwitchEveryHighVoltageBoard()
    {
        QFETCH(QString, cmd);
        QFETCH(QString, path);
        ScriptedBoards boards;
        const QJsonObject entry{{"commands", QJsonArray{QJsonObject{{"path", "\\cfg\\All"}, {"command_type", "config_all"}}}}};
        const QList<ScriptPluginFixture*> scripts{boards.open("HV1", entry), boards.open("HV2", entry)};
        QVERIFY(scripts[0] && scripts[1]);

        addStandardBlocks();
        BlockContext context = boards.context(&m_blocks);
        for (const QString source : {"HV1", "HVX", "HV2"}) {
            const QJsonObject hv{{"name", "hv_" + source}, {"sources", QJsonArray{QJsonObject{{"source", source}}}}};
            m_blocks << new HV(nullptr, &context, hv);
        }

        QCOMPARE(ask(command(cmd)), kTrue);
        for (const ScriptPluginFixture* script : scripts)
            QCOMPARE(script->briefs(), QStringList({"SendCommand " + path, "SendCommand \\cfg\\All"}));
        QCOMPARE(m_journal, Journal());
        qDeleteAll(m_blocks);   // the high-voltage blocks before their boards
        m_blocks.clear();
    }
};

QTEST_GUILESS_MAIN(QuarixCommandsTest)
#include "tst_quarix_commands.moc"
