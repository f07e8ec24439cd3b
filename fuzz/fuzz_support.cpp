#include "fuzz_support.h"

#include "board_access/board.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QLibrary>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <unistd.h>

namespace fuzz_support {

namespace {
// Blocks and boards log every setting and refusal: millions of lines in a
// fuzzing run. Only fatal messages get through.
void dropMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

QJsonObject parameter(const char* name, const char* path, const char* type, const QJsonValue& value = {},
                      bool readOnly = false)
{
    QJsonObject element{{"name", name}, {"path", path}, {"value_type", type}, {"direct_apply", true}};
    if (value.isArray())
        element.insert("values", value);
    else if (!value.isNull() && !value.isUndefined())
        element.insert("value", value);
    if (readOnly)
        element.insert("access", "read_only");
    return element;
}

QJsonObject endpoint(const char* name, const char* type)
{
    return QJsonObject{{"name", name}, {"path", QStringLiteral("endpoints\\") + name}, {"enable", true}, {"type", type}};
}

[[noreturn]] void giveUp(const char* what)
{
    std::fprintf(stderr, "fuzz set-up: %s\n", what);
    std::abort();
}

// Workspaces are named quarix-fuzz-<process id>-XXXXXX. A fuzzer that stops
// at its time limit or at a crash ends without running destructors, so its
// workspace stays behind: the next run removes those of ended processes.
QString workspaceTemplate()
{
    const QDir temporary(QDir::tempPath());
    for (const QString& name : temporary.entryList({QStringLiteral("quarix-fuzz-*-*")}, QDir::Dirs)) {
        bool isNumber = false;
        const qint64 pid = name.section(QLatin1Char('-'), 2, 2).toLongLong(&isNumber);
        if (isNumber && pid > 0 && pid != getpid() && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QDir(temporary.filePath(name)).removeRecursively();
    }
    return temporary.filePath(QStringLiteral("quarix-fuzz-%1-XXXXXX").arg(getpid()));
}
}  // namespace

QString text(const uint8_t* data, size_t size)
{
    return QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

QJsonArray Workspace::hardwareEntries()
{
    const QJsonObject digitizer{
        {"enable", true}, {"id", "1"}, {"board_name", "digitizer"}, {"board_plugin", "libVRAXDig2Sim"},
        {"board_connection_string", "sim:seed=3;channels=4;pairs=2;samples=16;traces=2"},
        {"configs", QJsonArray{QJsonObject{{"elements", QJsonArray{parameter("Rate", "sim\\rate", "u32", "100")}}}}},
        {"endpoints", QJsonArray{endpoint("list", "energy_sci_u32"), endpoint("pairs", "energy_pair"),
                                 endpoint("wave", "waveform"), endpoint("rates", "rate_counters")}}};
    const QJsonObject hv{
        {"enable", true}, {"id", "2"}, {"board_name", "hv"}, {"board_plugin", "libVRAXDig2Sim"},
        {"board_connection_string", "sim:seed=7;channels=4"},
        {"configs", QJsonArray{QJsonObject{{"elements", QJsonArray{
            parameter("VSet", "\\hv\\VSet", "u32_array", QJsonArray{900, 900, 950, 950}),
            parameter("RampUp", "\\hv\\RampUp", "u32", "25"),
            parameter("Power", "\\hv\\Power", "boolean", "true"),
            parameter("VMon", "\\hv\\VMon", "u32_array", {}, true),
            parameter("IMon", "\\hv\\IMon", "list_array", {}, true),
            parameter("Temp", "\\hv\\Temp", "u32", {}, true)}}}}},
        {"endpoints", QJsonArray{}},
        {"commands", QJsonArray{}}};
    return QJsonArray{digitizer, hv};
}

Workspace::Workspace() : m_dir(workspaceTemplate())
{
    if (!m_dir.isValid() || !QDir().mkpath(storagePath()))
        giveUp("no temporary folder");
    const QJsonObject config{{"storage", QJsonObject{{"file_path", storagePath()},
                                                     {"events_per_file", 1000},
                                                     {"wavedump_time_interval", 1000},
                                                     {"format", "BIN"},
                                                     {"enable_wave", true},
                                                     {"enable_list", true},
                                                     {"enable_mcs", true}}},
                             {"Hardware", hardwareEntries()},
                             {"processing", QJsonArray{}}};
    QFile file(configPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(config).toJson()) < 0)
        giveUp("cannot write the configuration file");
    file.close();

    m_library = new QLibrary(QStringLiteral(QUARIX_SIM_PLUGIN));
    if (!m_library->load())
        giveUp("the simulated board plugin does not load");
    for (const QJsonValue& value : hardwareEntries()) {
        const QJsonObject entry = value.toObject();
        auto* board = new Board(m_library);
        board->name = entry.value("board_name").toString();
        board->board_plugin = entry.value("board_plugin").toString();
        if (board->Open(entry.value("board_connection_string").toString()) != 0)
            giveUp("a simulated board does not open");
        board->LoadConfigs(entry);
        board->LoadEndpoints(entry);
        board->LoadCommands(entry);
        board->ConfigureBoard();
        m_boards.append(board);
    }
}

Workspace::~Workspace()
{
    qDeleteAll(m_boards);
    // The library stays loaded: nothing may call into it any more, but
    // unloading it while the process ends gains nothing.
}

Workspace& workspace()
{
    static int argc = 1;
    static char name[] = "quarix-fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = [] {
        qInstallMessageHandler(dropMessages);
        return new QCoreApplication(argc, argv);
    }();
    Q_UNUSED(application)
    static Workspace instance;
    return instance;
}

}  // namespace fuzz_support
