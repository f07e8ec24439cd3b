// Fuzzes the configuration loader: the input is written as a configuration
// file, read back with config_file::read, and every enabled chain of its
// "processing" is built and wired by the start-up's chain builder, then torn
// down the way the server ends (workers stopped, sources first, blocks
// deleted in reverse order). Boards are not opened per
// input: the blocks see the fixed list of simulated boards ("digitizer" and
// "hv"), whatever the file's "Hardware" says, and no source is started.
#include "fuzz_support.h"

#include "core/block_context.h"
#include "core/application/chain_builder.h"
#include "core/config_file.h"
#include "core/quarix_block.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>

namespace {
// Blocks built per input at most: every block has a worker thread and may
// hold tens of megabytes at its size limits, so the cost of one input stays
// bounded. The demo configuration has 15.
constexpr int kMaxBlocks = 16;

// Deleted last made first, after the server's orderly stop.
void tearDown(QList<QuarixBlock*>& blocks)
{
    ChainBuilder::shutDownInOrder(blocks);
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
    ChainBuilder builder(&workspace.boards(), &blocks, path, workspace.storagePath());
    builder.setBlockLimit(kMaxBlocks);
    builder.buildAll(config);
    tearDown(blocks);
    return 0;
}
