// Events per second through the live chain
//     source (simulated board, rate=0) -> time sorting -> tee -> 2 x spectrum
// built from the real blocks and wired as the start-up wires them.
//
//     live_chain_bench [--seconds 5] [--batch 1000] [--interval 0]
//
// --batch is the simulated board's max_batch (events per read), --interval the
// source's download_interval in ms. Events that reach the end of the chain are
// counted from the first spectrum's get_data reply; packets the time sorting
// block refused ("Order buffer full!") are counted from the log.
//
// The source reads for the requested time, measured from its start to its
// stop, while the main thread sleeps in its event loop. The drain that
// follows (every block downstream takes what is queued, stopping in chain
// order) is reported on its own; the throughput divides the events that
// reached the end of the chain by the reading time plus the drain. The
// machine's load average is printed beside the figures.
#include "blocks/source/source.h"
#include "blocks/tee/process_tee.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "board_access/board.h"
#include "core/block_context.h"
#include "core/block_worker.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"
#ifdef QUARIX_BENCH_SPECTRUM
#include "blocks/spectrum/histogram.h"
#endif

#include <QCommandLineParser>
#include "bench/machine_load.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibrary>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <string>

namespace {
std::atomic<long> g_refusedPackets{0};

void countRefusals(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtInfoMsg && text == QLatin1String("Order buffer full!"))
        g_refusedPackets.fetch_add(1);
    else if (type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

#ifndef QUARIX_BENCH_SPECTRUM
// Stands in for a spectrum when that block is not part of the build: counts and destroys.
class CountingSink : public QuarixBlock {
    Q_OBJECT
public:
    class Worker : public BlockWorker {
    public:
        using BlockWorker::BlockWorker;
        std::atomic<long> events{0};

    protected:
        void process(PinMessage& message) override
        {
            if (message.packet)
                events.fetch_add(long(message.packet->items.size()), std::memory_order_relaxed);
            delete message.packet;
        }
    };

    explicit CountingSink(const QString& name)
    {
        setName(name);
        createPins(1, 0, QStringLiteral("energy"));
        m_counter = new Worker(name, &m_inputPins);
        m_worker = m_counter;
        m_counter->start();
    }
    long events() const { return m_counter->events.load(); }

public slots:
    void NewDataInTheInputPin(int) { wakeWorker(); }

private:
    Worker* m_counter = nullptr;
};
#endif


QJsonObject parameter(const char* name, const QJsonValue& value)
{
    return QJsonObject{{"param_name", name}, {"param_value", value}};
}

long countedEvents(QuarixBlock* sink)
{
#ifdef QUARIX_BENCH_SPECTRUM
    QString reply;
    const QString request = QStringLiteral(R"({"args":[{"cmd":"get_data"},{"channels":[%1]}]})")
                                .arg(QStringLiteral("0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15"));
    QuarixBlock::interpret(sink, request, &reply);
    long total = 0;
    for (const QJsonValue& channel : QJsonDocument::fromJson(reply.toUtf8()).array()) {
        for (const QJsonValue& count : channel.toObject().value(QLatin1String("data")).toArray())
            total += count.toInt();
    }
    return total;
#else
    return static_cast<CountingSink*>(sink)->events();
#endif
}

QuarixBlock* makeSink(const QString& name)
{
#ifdef QUARIX_BENCH_SPECTRUM
    BlockContext context;
    context.full_path = QStringLiteral("processing/0/filter_chain/bench/chain/") + name;
    const QJsonObject entry{{"name", name},
                            {"data_type", "energy"},
                            {"parameters", QJsonArray{parameter("bin_number", 16384), parameter("ch_number", 16)}}};
    auto* spectrum = createBlock<Histogram>(nullptr, &context, entry);
    QString reply;
    QuarixBlock::interpret(spectrum, QStringLiteral(R"({"args":[{"cmd":"run_control","status":"freerun"}]})"), &reply);
    return spectrum;
#else
    return new CountingSink(name);
#endif
}
}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption({"seconds", "Run time in seconds.", "s", "5"});
    parser.addOption({"batch", "Events per read of the simulated board (max_batch).", "n", "1000"});
    parser.addOption({"interval", "download_interval of the source, in ms.", "ms", "0"});
    parser.process(app);
    const int seconds = qMax(1, parser.value("seconds").toInt());
    const int batch = qBound(1, parser.value("batch").toInt(), 1000000);
    const double interval = qMax(0.0, parser.value("interval").toDouble());
    qInstallMessageHandler(countRefusals);

    QLibrary library(QStringLiteral(QUARIX_SIM_PLUGIN));
    Board board(&library);
    board.name = QStringLiteral("sim0");
    const int status = board.Open(QStringLiteral("sim:seed=7;channels=16;rate=0;max_batch=%1").arg(batch));
    if (status != 0) {
        std::fprintf(stderr, "cannot open the simulated board: %d\n", status);
        return 1;
    }
    const QJsonObject boardEntry{
        {"endpoints", QJsonArray{QJsonObject{{"name", "list"}, {"path", "endpoints\\list"}, {"enable", true}}}},
        {"commands", QJsonArray{QJsonObject{{"name", "start"}, {"path", "endpoints\\list\\start"},
                                            {"command_type", "start"}, {"endpoint_type", "list"}},
                                QJsonObject{{"name", "stop"}, {"path", "endpoints\\list\\stop"},
                                            {"command_type", "stop"}, {"endpoint_type", "list"}}}}};
    board.LoadEndpoints(boardEntry);
    board.LoadCommands(boardEntry);

    QList<Board*> boards{&board};
    QList<QuarixBlock*> blocks;
    BlockContext context;
    context.boards = &boards;
    context.blocks = &blocks;

    context.full_path = QStringLiteral("processing/0/filter_chain/bench/chain/src");
    auto* source = createBlock<Source>(nullptr, &context,
                              QJsonObject{{"name", "src"},
                                          {"data_type", "energy"},
                                          {"sources", QJsonArray{QJsonObject{{"source", "sim0"}, {"pin", "endpoints\\list"}}}},
                                          {"parameters", QJsonArray{parameter("download_interval", interval)}}});
    context.full_path = QStringLiteral("processing/0/filter_chain/bench/chain/sorter");
    auto* sorter = createBlock<Process_Time_Sorting>(nullptr, &context, QJsonObject{{"name", "sorter"}, {"data_type", "energy"}});
    context.full_path = QStringLiteral("processing/0/filter_chain/bench/chain/fan");
    auto* tee = createBlock<Process_Tee>(nullptr, &context,
                                QJsonObject{{"name", "fan"}, {"data_type", "energy"}, {"output_count", 2}});
    QuarixBlock* first = makeSink(QStringLiteral("spec0"));
    QuarixBlock* second = makeSink(QStringLiteral("spec1"));
    blocks << source << sorter << tee << first << second;

    sorter->inputPins().at(0)->Connect(source->outputPins().at(0));
    tee->inputPins().at(0)->Connect(sorter->outputPins().at(0));
    first->inputPins().at(0)->Connect(tee->outputPins().at(0));
    second->inputPins().at(0)->Connect(tee->outputPins().at(1));

    const std::string loadBefore = loadAverage();
    // The main thread sleeps in its event loop (handling whatever the blocks
    // post to it) until a timer ends the reading time.
    QElapsedTimer clock;
    clock.start();
    QTimer::singleShot(seconds * 1000, Qt::PreciseTimer, &app, &QCoreApplication::quit);
    QMetaObject::invokeMethod(source, "Start", Qt::DirectConnection);
    QMetaObject::invokeMethod(source, "Run", Qt::DirectConnection);
    app.exec();

    // Stop at the head, then let every block downstream take what is queued.
    source->shutdown();
    const qint64 readingNs = clock.nsecsElapsed();
    sorter->shutdown();
    app.processEvents();
    tee->shutdown();
    first->shutdown();
    second->shutdown();
    const qint64 totalNs = clock.nsecsElapsed();
    const double reading = double(readingNs) / 1e9;
    const double draining = double(totalNs) / 1e9;
    const double drain = double(totalNs - readingNs) / 1e9;

    const long throughFirst = countedEvents(first);
    const long throughSecond = countedEvents(second);
    std::printf("live chain: source (sim, rate=0, %d events per read, download_interval %g ms) -> time sorting -> "
                "tee -> 2 x %s\n",
                batch, interval,
#ifdef QUARIX_BENCH_SPECTRUM
                "spectrum"
#else
                "counting sink (spectrum block not built)"
#endif
    );
    std::printf("events through the chain: %ld (second branch %ld) in %.2f s of reading, %.2f s with the drain "
                "(drain %.3f s)\n",
                throughFirst, throughSecond, reading, draining, drain);
    std::printf("throughput: %.0f events/s\n", double(throughFirst) / draining);
    std::printf("packets refused by the full order buffer: %ld\n", g_refusedPackets.load());
    std::printf("load average: %s before, %s after\n", loadBefore.c_str(), loadAverage().c_str());

    for (int i = blocks.size() - 1; i >= 0; --i)
        delete blocks.at(i);
    return 0;
}

#ifndef QUARIX_BENCH_SPECTRUM
#include "live_chain_bench.moc"
#endif
