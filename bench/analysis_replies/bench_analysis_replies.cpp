// Times "get_data" replies of the largest analysis views, built through the
// blocks' InterpretMessage exactly as the server calls it, after the views
// have been filled through their input pins. Prints milliseconds per reply.
#include "blocks/position/position.h"
#include "blocks/spectrum/histogram.h"

#include "core/block_context.h"
#include "core/data_packet.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_payload_energy.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <vector>

namespace {
std::atomic<long> g_destroyed{0};

// Lets the benchmark see when the worker has handled every event.
class CountedEnergy : public QuarixPayload_Energy {
public:
    CountedEnergy(uint32_t eventChannel, uint32_t energyRaw)
    {
        channel = eventChannel;
        energy_raw = energyRaw;
    }
    ~CountedEnergy() override { g_destroyed.fetch_add(1, std::memory_order_relaxed); }
};

QJsonObject parameter(const QString& name, const QJsonValue& value, bool isArray = false)
{
    QJsonObject p{{"param_name", name}, {"param_value", value}};
    if (isArray)
        p.insert("param_type", "array");
    return p;
}

void push(PinOutput& output, DataPacket* packet)
{
    PinMessage message;
    message.packet = packet;
    while (output.size() >= PinOutput::kQueueLimit - 1)
        QThread::msleep(1);
    output.Push(message);
}

void waitForWorker(long expected)
{
    while (g_destroyed.load() < expected)
        QThread::msleep(1);
}

QString ask(QuarixBlock* block, const QString& message)
{
    QString reply;
    QuarixBlock::interpret(block, message, &reply);
    return reply;
}

void timeReplies(const char* label, QuarixBlock* block, const QString& message)
{
    constexpr int kRuns = 20;
    std::vector<double> ms;
    int bytes = 0;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QString reply = ask(block, message);
        ms.push_back(timer.nsecsElapsed() / 1e6);
        bytes = reply.size();
    }
    std::sort(ms.begin(), ms.end());
    double mean = 0;
    for (double m : ms)
        mean += m / kRuns;
    auto text = [](double value) { return QString::number(value, 'f', 2).toStdString(); };
    std::cout << label << ": " << bytes << " characters, median " << text(ms[kRuns / 2]) << " ms, mean " << text(mean)
              << " ms, best " << text(ms.front()) << " ms per reply (" << kRuns << " replies)" << std::endl;
}

void benchSpectrum(BlockContext& context)
{
    constexpr int kChannels = 32;
    constexpr int kBins = 16384;
    PinOutput output(nullptr, "energy");   // outlives the block, which pops from it until it stops
    const QJsonArray parameters{parameter("bin_number", kBins), parameter("ch_number", kChannels)};
    Histogram spectrum(nullptr, &context,
                       QJsonObject{{"name", "spectrum"}, {"data_type", "energy"}, {"parameters", parameters}});
    spectrum.inputPins().at(0)->Connect(&output);
    ask(&spectrum, R"({"args":[{"cmd":"run_control","status":"freerun"}]})");

    // Every bin gets 1 to 16 counts.
    long events = 0;
    const long before = g_destroyed.load();
    for (int channel = 0; channel < kChannels; ++channel) {
        for (int pass = 0; pass < 16; ++pass) {
            auto* packet = new DataPacket("energy", 0);
            for (int bin = 0; bin < kBins; ++bin) {
                if (bin % 16 >= pass)
                    packet->items.push_back(new CountedEnergy(channel, bin));
            }
            events += long(packet->items.size());
            push(output, packet);
        }
    }
    waitForWorker(before + events);

    QString channels;
    for (int channel = 0; channel < kChannels; ++channel)
        channels += (channel ? QStringLiteral(",") : QString()) + QString::number(channel);
    const QString message = QStringLiteral(R"({"path":"p","args":[{"cmd":"get_data"},{"channels":[)") + channels +
                            QStringLiteral("]}]}");
    timeReplies("spectrum 32 x 16384 get_data", &spectrum, message);
}

void benchHeatmap(BlockContext& context)
{
    constexpr int kColumns = 128;
    constexpr int kRows = 256;
    PinOutput output(nullptr, "energy");   // outlives the block, which pops from it until it stops
    QJsonArray positions, partners;
    for (int column = 0; column < kColumns; ++column) {
        positions.append(column);
        positions.append(column);
        partners.append(2 * column + 1);
        partners.append(2 * column);
    }
    Position position(nullptr, &context,
                      QJsonObject{{"name", "pos"},
                                  {"data_type", "energy"},
                                  {"parameters", QJsonArray{parameter("positions", positions, true),
                                                            parameter("correlated_channels", partners, true),
                                                            parameter("y_positions", kRows)}}});
    position.inputPins().at(0)->Connect(&output);
    ask(&position, R"({"args":[{"cmd":"run_control","status":"freerun"}]})");

    // Energies r and 256 - r give the ratio r / 256, hence row r; every cell gets 1 to 8 counts.
    long events = 0;
    const long before = g_destroyed.load();
    for (int row = 0; row < kRows; ++row) {
        for (int column = 0; column < kColumns; ++column) {
            for (int n = 0; n <= (row + column) % 8; ++n) {
                auto* packet = new DataPacket("energy", 0);
                packet->items.push_back(new CountedEnergy(2 * column, row));
                packet->items.push_back(new CountedEnergy(2 * column + 1, kRows - row));
                events += 2;
                push(output, packet);
            }
        }
    }
    waitForWorker(before + events);
    timeReplies("heatmap 256 x 128 get_data", &position,
                R"({"path":"p","args":[{"cmd":"get_data","source":"heatmap"}]})");
}
}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QList<Board*> boards;
    QList<QuarixBlock*> blocks;
    BlockContext context;
    context.boards = &boards;
    context.blocks = &blocks;
    context.full_path = QStringLiteral("processing/0/filter_chain/bench/chain/block");
    benchSpectrum(context);
    benchHeatmap(context);
    return 0;
}
