// Fuzzes the configuration loader: the input is written as a configuration
// file, read back with config_file::read, and every enabled chain of its
// "processing" is built through the block factory and wired the way the
// start-up wires it, then torn down the way the server ends (workers stopped,
// sources first, blocks deleted in reverse order). Boards are not opened per
// input: the blocks see the fixed list of simulated boards ("digitizer" and
// "hv"), whatever the file's "Hardware" says, and no source is started.
#include "fuzz_support.h"

#include "core/block_context.h"
#include "core/application/block_types.h"
#include "core/config_file.h"
#include "core/pin_input.h"
#include "core/pin_output.h"
#include "core/quarix_block.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

namespace {
// Inputs wired per block at most, like the start-up's limit on "input_count".
constexpr int kMaxInputs = 64;
// Blocks built per input at most: every block has a worker thread and may
// hold tens of megabytes at its size limits, so the cost of one input stays
// bounded. The demo configuration has 15.
constexpr int kMaxBlocks = 16;

// Wires input i of the newest block of `blocks` to the pin its "sources"[i]
// names on a block made before it. False where the start-up refuses the entry.
bool connectInput(const QList<QuarixBlock*>& blocks, const QJsonArray& sources, int i)
{
    QuarixBlock* block = blocks.last();
    if (i >= sources.size() || i >= block->inputPins().size())
        return false;
    const QJsonObject source = sources.at(i).toObject();
    QuarixBlock* upstream =
        QuarixBlock::findByName(blocks.mid(0, blocks.size() - 1), source.value(QLatin1String("source")).toString());
    if (!upstream)
        return false;
    const QJsonValue pinValue = source.value(QLatin1String("pin"));
    bool isNumber = false;
    const int pin = (pinValue.isDouble() ? QString::number(pinValue.toDouble()) : pinValue.toString()).toInt(&isNumber);
    if (!isNumber || pin < 0 || pin >= upstream->outputPins().size())
        return false;
    block->inputPins().at(i)->Connect(upstream->outputPins().at(pin));
    return true;
}

// Builds the chain's blocks into `blocks`, up to the end of the chain, the
// first entry the start-up would refuse or the block limit. False when it
// stopped early.
bool buildChain(int processingIndex, const QJsonObject& chain, const QString& configPath, QList<QuarixBlock*>& blocks)
{
    fuzz_support::Workspace& workspace = fuzz_support::workspace();
    const BlockFactory factory;
    const QString chainName = chain.value(QLatin1String("name")).toString();
    for (const QJsonValue& value : chain.value(QLatin1String("chain")).toArray()) {
        if (blocks.size() >= kMaxBlocks)
            return false;
        const QJsonObject entry = value.toObject();
        const QString blockType = entry.value(QLatin1String("block_type")).toString();
        BlockContext context;
        context.boards = &workspace.boards();
        context.blocks = &blocks;
        context.full_path = QStringLiteral("processing/%1/filter_chain/%2/chain/%3")
                                .arg(processingIndex)
                                .arg(chainName, entry.value(QLatin1String("name")).toString());
        context.config_path = configPath;
        context.storage_path = workspace.storagePath();
        QuarixBlock* block = factory.CreateBlock(nullptr, blockType, &context, value);
        if (!block)
            return false;
        blocks.append(block);
        if (!block->configurationError().isEmpty())
            return false;
        if (blockType == QLatin1String("source"))
            continue;
        const int inputs = entry.value(QLatin1String("input_count")).toInt();
        const QJsonArray sources = entry.value(QLatin1String("sources")).toArray();
        for (int i = 0; i < inputs && i < kMaxInputs; ++i) {
            if (!connectInput(blocks, sources, i))
                return false;
        }
    }
    return true;
}

// The order the server ends in: sources, then every other block in creation
// order; then the blocks are deleted, last made first.
void tearDown(QList<QuarixBlock*>& blocks)
{
    for (QuarixBlock* block : blocks) {
        if (block->blockType() == QLatin1String("source"))
            block->shutdown();
    }
    for (QuarixBlock* block : blocks) {
        if (block->blockType() != QLatin1String("source"))
            block->shutdown();
    }
    for (int i = blocks.size() - 1; i >= 0; --i)
        delete blocks.at(i);
    blocks.clear();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_support::Workspace& workspace = fuzz_support::workspace();
    static const QString path = workspace.path() + QStringLiteral("/fuzzed_config.json");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    file.close();

    bool parsed = false;
    const QJsonObject config = config_file::read(path, &parsed);
    if (!parsed)
        return 0;
    QList<QuarixBlock*> blocks;
    const QJsonArray processing = config.value(QLatin1String("processing")).toArray();
    bool stopped = false;
    for (int k = 0; k < processing.size() && !stopped; ++k) {
        const QJsonArray chains = processing.at(k).toObject().value(QLatin1String("filter_chain")).toArray();
        for (const QJsonValue& chain : chains) {
            const QJsonObject chainObject = chain.toObject();
            if (!chainObject.value(QLatin1String("enable")).toBool(false))
                continue;
            if (!buildChain(k, chainObject, path, blocks)) {
                stopped = true;
                break;
            }
        }
    }
    tearDown(blocks);
    return 0;
}
