#include "core/block_factory.h"

#include "core/block_context.h"
#include "core/quarix_block.h"

#include "blocks/source/source.h"
#include "blocks/time_sorting/process_time_sorting.h"
#include "blocks/tee/process_tee.h"
#include "blocks/position/position.h"
#include "blocks/image/image.h"
#include "blocks/spectrum/histogram.h"
#include "blocks/tof_histogram/time_distribution.h"
#include "blocks/dumper/data_dumper.h"
#include "blocks/oscilloscope/oscilloscope.h"
#include "blocks/rate_counters/sink_rate_counter.h"
#include "board_access/hv.h"

namespace {
template <typename Block>
QuarixBlock* make(QObject* parent, BlockContext* context, const QJsonValue& entry)
{
    return new Block(parent, context, entry);
}

struct FactoryEntry {
    const char* type;
    QuarixBlock* (*create)(QObject*, BlockContext*, const QJsonValue&);
};

const FactoryEntry kFactoryTable[] = {
    {"source", &make<Source>},
    {"time_sorting", &make<Process_Time_Sorting>},
    {"tee", &make<Process_Tee>},
    {"position", &make<Position>},
    {"image", &make<Image>},
    {"spectrum", &make<Histogram>},
    {"tof_histogram", &make<time_distribution>},
    {"dumper", &make<DataDumper>},
    {"oscilloscope", &make<Oscilloscope>},
    {"rate_counters_sink", &make<SinkRateCounter>},
    {"hv", &make<HV>},
};
}  // namespace

QuarixBlock* BlockFactory::CreateBlock(QObject* parent, const QString& block_type, BlockContext* context,
                                       const QJsonValue& entry) const
{
    for (const FactoryEntry& known : kFactoryTable) {
        if (block_type == QLatin1String(known.type))
            return known.create(parent, context, entry);
    }
    return nullptr;
}

QStringList BlockFactory::knownTypes()
{
    QStringList types;
    for (const FactoryEntry& known : kFactoryTable)
        types.append(QLatin1String(known.type));
    return types;
}
