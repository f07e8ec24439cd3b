#include "core/application/block_types.h"

#include "core/block_context.h"
#include "core/quarix_block.h"

#include "blocks/dumper/data_dumper.h"
#include "blocks/image/image.h"
#include "blocks/oscilloscope/oscilloscope.h"
#include "blocks/position/position.h"
#include "blocks/rate_counters/sink_rate_counter.h"
#include "blocks/source/source.h"
#include "blocks/spectrum/histogram.h"
#include "blocks/tee/process_tee.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "blocks/tof_histogram/time_distribution.h"
#include "board_access/hv.h"

namespace {
template <typename Block>
QuarixBlock* make(QObject* parent, BlockContext* context, const QJsonValue& entry)
{
    return createBlock<Block>(parent, context, entry);
}

using Role = BlockType::Role;
constexpr unsigned kByName = BlockType::ByName;
constexpr unsigned kByPath = BlockType::ByFullPath;

const BlockType kBlockTypes[] = {
    // name                  clients reach it by   role              created by
    {"source",               BlockType::Unreachable, Role::Source,     &make<Source>},
    {"time_sorting",         BlockType::Unreachable, Role::Processing, &make<Process_Time_Sorting>},
    {"tee",                  BlockType::Unreachable, Role::Processing, &make<Process_Tee>},
    {"position",             kByPath,                Role::Processing, &make<Position>},
    {"image",                kByPath,                Role::Processing, &make<Image>},
    {"spectrum",             kByPath,                Role::Processing, &make<Histogram>},
    {"tof_histogram",        kByPath,                Role::Processing, &make<time_distribution>},
    {"dumper",               kByName,                Role::Writer,     &make<DataDumper>},
    {"oscilloscope",         kByName,                Role::Writer,     &make<Oscilloscope>},
    {"rate_counters_sink",   kByPath,                Role::Writer,     &make<SinkRateCounter>},
    {"hv",                   kByName | kByPath,      Role::HighVoltage, &make<HV>},
    {"commands",             kByName,                Role::Control,    nullptr},
};
}  // namespace

const BlockType* BlockFactory::find(const QString& block_type)
{
    for (const BlockType& type : kBlockTypes) {
        if (block_type == QLatin1String(type.name))
            return &type;
    }
    return nullptr;
}

QuarixBlock* BlockFactory::CreateBlock(QObject* parent, const QString& block_type, BlockContext* context,
                                       const QJsonValue& entry) const
{
    const BlockType* type = find(block_type);
    if (!type || !type->create)
        return nullptr;
    QuarixBlock* block = type->create(parent, context, entry);
    block->setType(type);
    return block;
}

QStringList BlockFactory::knownTypes()
{
    QStringList types;
    for (const BlockType& type : kBlockTypes) {
        if (type.create)
            types.append(QLatin1String(type.name));
    }
    return types;
}
