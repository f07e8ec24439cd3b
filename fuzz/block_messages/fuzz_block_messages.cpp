// Fuzzes the client messages of every block a client can reach: spectrum,
// time-of-flight histogram, image, position, oscilloscope, dumper, rate
// counter sink, high voltage (on a simulated board) and the commands block.
// The blocks are made once, through the block factory, and fed a little data
// so that their replies carry numbers.
//
// An input is "<route>\n<message>", the route being what a client's URL path
// gives (the block name, or "query_by_json"); an input without a line break
// is a message on "query_by_json". The message reaches the block the way the
// WebSocket server routes it. A message that is not a JSON object must get
// an empty reply.
#include "fuzz_support.h"

#include "board_access/board.h"
#include "core/block_context.h"
#include "core/application/block_types.h"
#include "core/block_message.h"
#include "core/data_packet.h"
#include "core/client_routing.h"
#include "core/recording_control.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"
#include "server/quarix_commands.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {
// One chain of every client-reachable block, small enough to answer quickly.
const char* const kChain = R"([
 {"block_type": "spectrum", "name": "spectrum", "data_type": "energy",
  "parameters": [{"param_name": "bin_number", "param_value": 64}, {"param_name": "ch_number", "param_value": 4},
                 {"param_name": "gain", "param_value": 0.5}]},
 {"block_type": "tof_histogram", "name": "tof", "data_type": "energy",
  "parameters": [{"param_name": "bin_number", "param_value": 64}, {"param_name": "ch_number", "param_value": 4},
                 {"param_name": "binning", "param_value": 10}]},
 {"block_type": "image", "name": "image", "data_type": "energy",
  "parameters": [{"param_name": "x_positions", "param_value": ["A", "B"], "param_type": "array"},
                 {"param_name": "y_positions", "param_value": ["1", "2"], "param_type": "array"}]},
 {"block_type": "position", "name": "position", "data_type": "energy",
  "parameters": [{"param_name": "correlated_channels", "param_value": [1, 0, 3, 2], "param_type": "array"},
                 {"param_name": "positions", "param_value": [0, 0, 1, 1], "param_type": "array"},
                 {"param_name": "y_positions", "param_value": 16}]},
 {"block_type": "oscilloscope", "name": "scope", "data_type": "waveform",
  "parameters": [{"param_name": "sample_number", "param_value": 16}, {"param_name": "ch_analog", "param_value": 1},
                 {"param_name": "ch_digital", "param_value": 2}, {"param_name": "ch_number", "param_value": 2}]},
 {"block_type": "dumper", "name": "list_dump", "data_type": "energy"},
 {"block_type": "rate_counters_sink", "name": "rates", "data_type": "rate_counters",
  "parameters": [{"param_name": "channel_map", "param_value": ["a", "b", "c", "d"], "param_type": "array_string"}]},
 {"block_type": "hv", "name": "hv", "data_type": "hv", "sources": [{"source": "hv"}],
  "parameters": [{"param_name": "n_channels", "param_value": 4}]}
])";

[[noreturn]] void giveUp(const char* what)
{
    std::fprintf(stderr, "block messages set-up: %s\n", what);
    std::abort();
}

QuarixPayload* energyEvent(uint64_t timestamp, uint32_t channel, uint32_t raw)
{
    auto* event = new QuarixPayload_Energy();
    event->timestamp = timestamp;
    event->channel = channel;
    event->energy_raw = raw;
    event->energy = raw * 0.5;
    return event;
}

DataPacket* energyPacket()
{
    auto* packet = new DataPacket(QStringLiteral("energy"), 0);
    // Two coincident pairs (channels 0/1 and 2/3) and a few single events.
    const uint32_t channels[] = {0, 1, 2, 3, 3, 0, 7};
    for (uint32_t i = 0; i < sizeof channels / sizeof *channels; ++i)
        packet->items.push_back(energyEvent(100 + i * 3, channels[i], 40 + 7 * i));
    return packet;
}

DataPacket* wavePacket()
{
    auto* group = new QuarixPayload_Waves();
    group->n_samples = 16;
    group->timestamp = 1000;
    for (int channel = 0; channel < 2; ++channel) {
        auto* wave = new QuarixPayload_Wave();
        wave->analog = new std::vector<double>(16);
        wave->digital = new std::vector<uint32_t>(16);
        for (int s = 0; s < 16; ++s) {
            (*wave->analog)[size_t(s)] = 900.0 + 10 * s - 3 * channel;
            (*wave->digital)[size_t(s)] = uint32_t(s >= 4) | uint32_t(s >= 8) << 1;
        }
        group->waves.push_back(wave);
    }
    auto* packet = new DataPacket(QStringLiteral("waveform"), 1000);
    packet->items.push_back(group);
    return packet;
}

DataPacket* ratePacket()
{
    auto* snapshot = new QuarixPayload_RateCounters(4);
    snapshot->timestamp = 123456;
    snapshot->elapsed_time = 2.001;
    for (size_t c = 0; c < 4; ++c) {
        (*snapshot->rates_in)[c] = 1000.5 * double(c + 1);
        (*snapshot->rates_out)[c] = 990.25 * double(c + 1);
        (*snapshot->counters_in)[c] = 2001 * (c + 1);
        (*snapshot->counters_out)[c] = 1981 * (c + 1);
        (*snapshot->rates_in_start)[c] = (*snapshot->counters_in)[c] / snapshot->elapsed_time;
        (*snapshot->rates_out_start)[c] = (*snapshot->counters_out)[c] / snapshot->elapsed_time;
    }
    auto* packet = new DataPacket(QStringLiteral("rate_counters"), 123456);
    packet->items.push_back(snapshot);
    return packet;
}

class Blocks {
public:
    Blocks()
    {
        fuzz_support::Workspace& workspace = fuzz_support::workspace();
        const BlockFactory factory;
        for (const QJsonValue& entry : QJsonDocument::fromJson(kChain).array()) {
            BlockContext context;
            context.boards = &workspace.boards();
            context.blocks = &m_blocks;
            context.full_path = QStringLiteral("processing/0/filter_chain/fuzz/chain/") + entry["name"].toString();
            context.config_path = workspace.configPath();
            context.storage_path = workspace.storagePath();
            QuarixBlock* block = factory.CreateBlock(nullptr, entry["block_type"].toString(), &context, entry);
            if (!block || !block->configurationError().isEmpty())
                giveUp("a block of the chain is refused");
            m_blocks.append(block);
            if (!block->inputPins().isEmpty()) {
                m_upstream.push_back(std::make_unique<PinOutput>(nullptr, entry["data_type"].toString()));
                block->inputPins().at(0)->Connect(m_upstream.back().get());
            }
        }
        auto* commands = new quarix_commands(&m_blocks, workspace.configPath());
        commands->setType(BlockFactory::find(QStringLiteral("commands")));
        commands->setName(QStringLiteral("commands"));
        m_blocks.append(commands);
        m_storage = workspace.storagePath();
        for (QuarixBlock* block : m_blocks) {
            // The writers record below the workspace, never in the default /tmp.
            if (auto* recorder = dynamic_cast<RecordingControl*>(block))
                recorder->configureRecording(1000, 1000, QStringLiteral("BIN"), m_storage);
        }
        feedOnce();
    }

    // What the WebSocket server answers to `message` arriving on `route`.
    QString answer(const QString& route, const QString& message)
    {
        return client_routing::answer(m_blocks, route, message);
    }

    // Run folders a "start_dump" made: removed, so the storage stays small.
    void emptyStorage()
    {
        QDir storage(m_storage);
        if (!storage.isEmpty()) {
            storage.removeRecursively();
            QDir().mkpath(m_storage);
        }
    }

private:
    // One packet for each block with an input, counted by the accumulating
    // blocks; the writers are stopped and write nothing. Waits until every
    // block has taken its packet.
    void feedOnce()
    {
        for (QuarixBlock* block : m_blocks) {
            if (block->blockType() == QLatin1String("spectrum") || block->blockType() == QLatin1String("tof_histogram")
                || block->blockType() == QLatin1String("image") || block->blockType() == QLatin1String("position")) {
                QString ignored;
                QuarixBlock::interpret(block, QStringLiteral(R"({"args":[{"cmd":"run_control","status":"freerun"}]})"),
                                       &ignored);
            }
        }
        size_t next = 0;
        for (QuarixBlock* block : m_blocks) {
            if (block->inputPins().isEmpty())
                continue;
            const QString& type = block->blockType();
            DataPacket* packet = type == QLatin1String("oscilloscope")         ? wavePacket()
                                 : type == QLatin1String("rate_counters_sink") ? ratePacket()
                                                                               : energyPacket();
            m_upstream[next++]->Push(PinMessage{packet->name, QString(), 0, 0, packet});
        }
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 5000 && !allTaken())
            QThread::msleep(1);
        if (!allTaken())
            giveUp("the blocks did not take their data");
    }

    bool allTaken() const
    {
        for (const QuarixBlock* block : m_blocks) {
            for (const PinInput* input : block->inputPins()) {
                if (input->eventsTaken() == 0)
                    return false;
            }
        }
        return true;
    }

    QList<QuarixBlock*> m_blocks;
    std::vector<std::unique_ptr<PinOutput>> m_upstream;
    QString m_storage;
};

// A run id with ".." names a folder outside the storage folder. The commands
// block refuses it (the recording safety tests show that); should that ever
// fail, fuzzing would make folders anywhere on the machine running it, so
// such inputs are left out here.
bool leavesTheStorage(const QString& route, const QString& message)
{
    if (route != QLatin1String("commands"))
        return false;
    return block_message::parse(message).value(QLatin1String("run_id")).toString().contains(QLatin1String(".."));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Blocks* blocks = new Blocks();   // lives until the process ends, its workers waiting
    const QString input = fuzz_support::text(data, size);
    const int lineBreak = input.indexOf(QLatin1Char('\n'));
    const QString route = lineBreak < 0 ? QStringLiteral("query_by_json") : input.left(lineBreak);
    const QString message = lineBreak < 0 ? input : input.mid(lineBreak + 1);
    if (leavesTheStorage(route, message))
        return -1;

    const QString reply = blocks->answer(route, message);
    if (!reply.isEmpty() && !QJsonDocument::fromJson(message.toUtf8()).isObject()) {
        std::fprintf(stderr, "A message that is not a JSON object got the reply \"%s\"\n", qPrintable(reply.left(200)));
        std::abort();
    }
    blocks->emptyStorage();
    return 0;
}
