// Sustained write rate of the data dumper, per file type, next to a plain
// sequential write of the same number of bytes to the same folder. Reports
// figures only; nothing here is asserted.
//
//     bench_dumper [events (default 4000000)] [events per message (default 500)] [folder]
//                  [--types BIN,CSV,JSON] [--rounds 4] [--fsync]
//
// The folder defaults to a fresh temporary folder under /tmp. Each round of a
// type times, in turn (the order alternates between rounds):
//
//   dumper  from the first push of a message to the end of the orderly stop,
//           which drains the input and closes the file (its last write(2)).
//           The packets are made before the clock starts (so their payloads
//           are no longer in the processor's caches, unlike in the server).
//           The main thread pushes them while the dumper works, keeping at
//           most kEventsInFlight events queued and sleeping while it waits
//           for room; the time of its last push is shown. The dumper destroys
//           the packets as it writes them, as it does in the server, so that
//           cost is inside the figure; destroying the same packets alone, on
//           a thread of their own, is reported beside it. A run whose stored
//           events (from the dumper's run statistics) differ from the events
//           pushed is reported as void.
//   plain   open, the dumper file's byte count written with write(2) calls of
//           1 MiB from one 1 MiB buffer (the dumper's buffer size; its bytes
//           carry no meaning), close.
//
// With --fsync both timings also include an fsync(2) of their file before it
// counts as written; without it neither does, and the figures are those of
// writes into the page cache. Before every timed part the bench calls sync(2)
// (untimed) so that neither inherits the other's dirty pages, and it removes
// the files of a round once the round is done. A warm-up round comes first
// and is not counted; the summary gives the median of the counted rounds.
//
// CSV and JSON records end with a line end that flushes the file (one
// write(2) per event), so those types take seconds per round.
#include "blocks/dumper/data_dumper.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QCommandLineParser>
#include "bench/machine_load.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The most events the bench lets wait in the dumper's input queue.
constexpr int kEventsInFlight = 1 << 19;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}


void dropInfoMessages(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    // The dumper logs its used space once a second at info level; only worse is shown.
    if (type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

std::vector<DataPacket*> makePackets(long events, int perMessage)
{
    std::vector<DataPacket*> packets;
    std::uint32_t state = 2024;
    for (long done = 0; done < events;) {
        auto* packet = new DataPacket(QStringLiteral("energy"), 0);
        const long count = std::min<long>(perMessage, events - done);
        packet->items.reserve(static_cast<size_t>(count));
        for (long i = 0; i < count; ++i, ++done) {
            state = state * 1664525u + 1013904223u;
            auto* event = new QuarixPayload_Energy;
            event->timestamp = 1'000'000'000ULL + static_cast<quint64>(done) * 137;
            event->channel = state >> 27;
            event->energy_raw = (state >> 8) & 0x3fff;
            event->flag1 = state & 1;
            packet->items.push_back(event);
        }
        packets.push_back(packet);
    }
    return packets;
}

bool syncFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

struct Result {
    double seconds = 0;
    qint64 bytes = 0;
    double pushSeconds = 0;   // dumper only: when the last message had been pushed
    qint64 storedEvents = 0;  // dumper only: as its run statistics count them
    double mbPerSecond() const { return seconds > 0 ? double(bytes) / 1e6 / seconds : 0.0; }
};

Result runDumper(const QString& storage, const QString& runId, const QString& type, long events, int perMessage,
                 bool withFsync)
{
    QDir().mkpath(storage + QLatin1Char('/') + runId);
    std::vector<DataPacket*> packets = makePackets(events, perMessage);
    const QString fileName = storage + QLatin1Char('/') + runId + QStringLiteral("/list_0.") + type.toLower();

    PinOutput upstream(nullptr, QStringLiteral("energy"));
    BlockContext context;
    DataDumper dumper(nullptr, &context, QJsonObject{{"name", "list"}, {"data_type", "energy"}});
    dumper.inputPins().at(0)->Connect(&upstream);
    dumper.ConfigureDump(2'000'000'000, type, storage);
    dumper.StartDump(runId);
    ::sync();

    const int maxQueued = std::max(1, std::min<int>(PinOutput::kQueueLimit, kEventsInFlight / perMessage));
    Result result;
    const Clock::time_point start = Clock::now();
    for (DataPacket* packet : packets) {
        // Never let the queue refuse a message: wait while it holds what the
        // bench allows in flight, well inside the pin's own limits. The wait
        // sleeps, so that it leaves the processor to the dumper; what is
        // queued lasts the dumper far longer than one sleep.
        while (upstream.size() >= maxQueued)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        PinMessage message;
        message.packet = packet;
        upstream.Push(message);
    }
    result.pushSeconds = secondsSince(start);
    dumper.shutdown();
    if (withFsync && !syncFile(fileName))
        std::fprintf(stderr, "fsync of %s failed\n", qPrintable(fileName));
    result.seconds = secondsSince(start);
    result.bytes = QFileInfo(fileName).size();
    QString info;
    dumper.GetRunInfo(&info);
    // The run id is written unquoted, so the reply is read field by field.
    result.storedEvents =
        QRegularExpression(QStringLiteral("\"stored_events\":(-?[0-9]+)")).match(info).captured(1).toLongLong();
    return result;
}

Result plainWrite(const QString& path, qint64 bytes, bool withFsync)
{
    std::vector<char> chunk(1 << 20, 'x');
    ::sync();
    const Clock::time_point start = Clock::now();
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return {};
    for (qint64 left = bytes; left > 0;) {
        const ssize_t n = ::write(fd, chunk.data(), static_cast<size_t>(std::min<qint64>(left, chunk.size())));
        if (n <= 0)
            break;
        left -= n;
    }
    if (withFsync)
        ::fsync(fd);
    ::close(fd);
    return {secondsSince(start), bytes, 0.0};
}

// The dumper's share of destroying the packets, timed alone: made on this
// thread, destroyed on another, as they are in the dumper.
double destroyPackets(long events, int perMessage)
{
    std::vector<DataPacket*> packets = makePackets(events, perMessage);
    double seconds = 0;
    std::thread destroyer([&] {
        const Clock::time_point start = Clock::now();
        for (DataPacket* packet : packets)
            delete packet;
        seconds = secondsSince(start);
    });
    destroyer.join();
    return seconds;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument("events", "Events per run (default 4000000).", "[events]");
    parser.addPositionalArgument("per-message", "Events per message (default 500).", "[per-message]");
    parser.addPositionalArgument("folder", "Storage folder (default: a fresh temporary folder).", "[folder]");
    parser.addOption({"types", "File types to run, comma-separated.", "list", "BIN,CSV,JSON"});
    parser.addOption({"rounds", "Counted rounds per file type (after one warm-up round).", "n", "4"});
    parser.addOption({"fsync", "Include an fsync(2) of the file in both the dumper and the plain timing."});
    parser.process(app);
    const QStringList positional = parser.positionalArguments();
    const long events = positional.size() > 0 ? positional.at(0).toLong() : 4'000'000;
    const int perMessage = positional.size() > 1 ? qMax(1, positional.at(1).toInt()) : 500;
    QTemporaryDir temporary(QDir::tempPath() + QStringLiteral("/bench_dumper-XXXXXX"));
    const QString storage = positional.size() > 2 ? positional.at(2) : temporary.path();
    const int rounds = qMax(1, parser.value("rounds").toInt());
    const bool withFsync = parser.isSet("fsync");
    const QStringList types = parser.value("types").split(QLatin1Char(','), Qt::SkipEmptyParts);
    qInstallMessageHandler(dropInfoMessages);

    std::printf("data dumper: %ld events in messages of %d, storage %s, %d rounds, %s\n", events, perMessage,
                qPrintable(storage), rounds,
                withFsync ? "fsync(2) of the file inside both timings" : "no fsync (page cache) in either timing");
    std::printf("plain write: the same byte count in write(2) calls of 1 MiB from one 1 MiB buffer, same folder\n");
    std::printf("load average before: %s\n", loadAverage().c_str());

    for (const QString& type : types) {
        std::vector<double> dumperRates, plainRates, ratios, eventRates;
        qint64 fileBytes = 0;   // the same in every round: the first one, dumper first, measures it
        // Round 0 warms up (the first use of fresh memory for the page cache is
        // slow on a virtual machine) and is shown but not counted.
        for (int round = 0; round <= rounds; ++round) {
            const QString runId = QStringLiteral("bench_%1_%2").arg(type).arg(round);
            const QString plainPath = storage + QLatin1Char('/') + runId + QStringLiteral("/plain.dat");
            Result dumper, plain;
            // The order alternates so that neither side always runs on a machine the other just warmed.
            if (round % 2 == 0) {
                dumper = runDumper(storage, runId, type, events, perMessage, withFsync);
                fileBytes = dumper.bytes;
                plain = plainWrite(plainPath, fileBytes, withFsync);
            } else {
                QDir().mkpath(storage + QLatin1Char('/') + runId);
                plain = plainWrite(plainPath, fileBytes, withFsync);
                dumper = runDumper(storage, runId, type, events, perMessage, withFsync);
                if (dumper.bytes != fileBytes)
                    std::fprintf(stderr, "file size changed between rounds: %lld, %lld\n", (long long)fileBytes,
                                 (long long)dumper.bytes);
            }
            if (dumper.storedEvents != events)
                std::fprintf(stderr, "the dumper stored %lld events of %ld: these figures are void\n",
                             (long long)dumper.storedEvents, events);
            const double destroySeconds = destroyPackets(events, perMessage);
            QDir(storage + QLatin1Char('/') + runId).removeRecursively();
            ::sync();

            std::printf("%-5s %s %d: dumper %9.0f events/s %8.1f MB/s (%.1f MB, %.3f s, last push after %.3f s)"
                        " | plain write %8.1f MB/s (%.3f s) | dumper/plain %5.1f %% | packets destroyed alone %.3f s\n",
                        qPrintable(type), round == 0 ? "warm-up" : "round  ", round, events / dumper.seconds,
                        dumper.mbPerSecond(), double(dumper.bytes) / 1e6, dumper.seconds, dumper.pushSeconds,
                        plain.mbPerSecond(), plain.seconds, 100.0 * dumper.mbPerSecond() / plain.mbPerSecond(),
                        destroySeconds);
            std::fflush(stdout);
            if (round == 0)
                continue;
            dumperRates.push_back(dumper.mbPerSecond());
            plainRates.push_back(plain.mbPerSecond());
            ratios.push_back(100.0 * dumper.mbPerSecond() / plain.mbPerSecond());
            eventRates.push_back(events / dumper.seconds);
        }
        std::printf("%-5s median: dumper %9.0f events/s %8.1f MB/s | plain write %8.1f MB/s | dumper/plain %5.1f %%"
                    " (median of the per-round ratios; %.1f %% between the medians)\n",
                    qPrintable(type), median(eventRates), median(dumperRates), median(plainRates), median(ratios),
                    100.0 * median(dumperRates) / median(plainRates));
        std::fflush(stdout);
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
    return 0;
}
