// Sustained write rate of the data dumper, per file type, next to a plain
// sequential write of the same number of bytes to the same disk. Reports
// figures only; nothing here is asserted.
//
//     bench_dumper [events (default 4000000)] [events per message (default 500)] [folder]
//
// The folder defaults to a fresh temporary folder under /tmp. Every timing
// runs from the first push to the end of the orderly stop, which drains the
// input and closes (flushes) the file.
#include "blocks/dumper/data_dumper.h"
#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
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

struct Result {
    double seconds = 0;
    qint64 bytes = 0;
};

Result runDumper(const QString& storage, const QString& type, long events, int perMessage)
{
    const QString runId = QStringLiteral("bench_") + type;
    QDir().mkpath(storage + QLatin1Char('/') + runId);
    std::vector<DataPacket*> packets = makePackets(events, perMessage);

    PinOutput upstream(nullptr, QStringLiteral("energy"));
    BlockContext context;
    DataDumper dumper(nullptr, &context, QJsonObject{{"name", "list"}, {"data_type", "energy"}});
    dumper.inputPins().at(0)->Connect(&upstream);
    dumper.ConfigureDump(2'000'000'000, type, storage);
    dumper.StartDump(runId);

    const Clock::time_point start = Clock::now();
    for (DataPacket* packet : packets) {
        // Never let the queue refuse a message: wait while it is full.
        while (upstream.size() >= PinOutput::kQueueLimit)
            std::this_thread::yield();
        PinMessage message;
        message.packet = packet;
        upstream.Push(message);
    }
    dumper.shutdown();
    Result result;
    result.seconds = secondsSince(start);
    result.bytes = QFileInfo(storage + QLatin1Char('/') + runId + QStringLiteral("/list_0.") + type.toLower()).size();
    return result;
}

Result plainOfstream(const QString& path, qint64 bytes)
{
    std::vector<char> chunk(1 << 20, 'x');
    const Clock::time_point start = Clock::now();
    {
        std::ofstream out(path.toStdString(), std::ios::binary | std::ios::trunc);
        for (qint64 left = bytes; left > 0; left -= static_cast<qint64>(chunk.size()))
            out.write(chunk.data(), static_cast<std::streamsize>(std::min<qint64>(left, chunk.size())));
    }
    return {secondsSince(start), bytes};
}

Result plainWrite(const QString& path, qint64 bytes)
{
    std::vector<char> chunk(1 << 20, 'x');
    const Clock::time_point start = Clock::now();
    const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return {};
    for (qint64 left = bytes; left > 0;) {
        const ssize_t n = ::write(fd, chunk.data(), static_cast<size_t>(std::min<qint64>(left, chunk.size())));
        if (n <= 0)
            break;
        left -= n;
    }
    ::close(fd);
    return {secondsSince(start), bytes};
}

void print(const char* label, const Result& result, long events)
{
    const double mb = static_cast<double>(result.bytes) / 1e6;
    if (events > 0)
        std::printf("%-34s %9.0f events/s %9.1f MB/s  (%ld events, %.1f MB, %.3f s)\n", label,
                    events / result.seconds, mb / result.seconds, events, mb, result.seconds);
    else
        std::printf("%-34s %9s          %9.1f MB/s  (%.1f MB, %.3f s)\n", label, "", mb / result.seconds, mb,
                    result.seconds);
}

}  // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const long events = argc > 1 ? std::atol(argv[1]) : 4'000'000;
    const int perMessage = argc > 2 ? std::atoi(argv[2]) : 500;
    QTemporaryDir temporary(QDir::tempPath() + QStringLiteral("/bench_dumper-XXXXXX"));
    const QString storage = argc > 3 ? QString::fromLocal8Bit(argv[3]) : temporary.path();
    std::printf("data dumper: %ld events in messages of %d, storage %s\n", events, perMessage,
                qPrintable(storage));

    for (const char* type : {"BIN", "CSV", "JSON"}) {
        const Result dumper = runDumper(storage, QString::fromLatin1(type), events, perMessage);
        print((std::string("dumper ") + type).c_str(), dumper, events);
        const QString plainPath = storage + QStringLiteral("/plain.dat");
        print("  same bytes, std::ofstream 1 MiB", plainOfstream(plainPath, dumper.bytes), 0);
        print("  same bytes, write(2) 1 MiB", plainWrite(plainPath, dumper.bytes), 0);
        QFile::remove(plainPath);
    }
    return 0;
}
