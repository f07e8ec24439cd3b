#include "core/block_factory.h"

#include "core/block_context.h"
#include "core/quarix_block.h"

#if __has_include("blocks/source/source.h")
#include "blocks/source/source.h"
#define HAVE_SOURCE 1
#endif
#if __has_include("blocks/time_sorting/process_time_sorting.h")
#include "blocks/time_sorting/process_time_sorting.h"
#define HAVE_PROCESS_TIME_SORTING 1
#endif
#if __has_include("blocks/tee/process_tee.h")
#include "blocks/tee/process_tee.h"
#define HAVE_PROCESS_TEE 1
#endif
#if __has_include("blocks/position/position.h")
#include "blocks/position/position.h"
#define HAVE_POSITION 1
#endif
#if __has_include("blocks/image/image.h")
#include "blocks/image/image.h"
#define HAVE_IMAGE 1
#endif
#if __has_include("blocks/spectrum/histogram.h")
#include "blocks/spectrum/histogram.h"
#define HAVE_HISTOGRAM 1
#endif
#if __has_include("blocks/tof_histogram/time_distribution.h")
#include "blocks/tof_histogram/time_distribution.h"
#define HAVE_TIME_DISTRIBUTION 1
#endif
#if __has_include("blocks/dumper/data_dumper.h")
#include "blocks/dumper/data_dumper.h"
#define HAVE_DATADUMPER 1
#endif
#if __has_include("blocks/oscilloscope/oscilloscope.h")
#include "blocks/oscilloscope/oscilloscope.h"
#define HAVE_OSCILLOSCOPE 1
#endif
#if __has_include("blocks/rate_counters/sink_rate_counter.h")
#include "blocks/rate_counters/sink_rate_counter.h"
#define HAVE_SINKRATECOUNTER 1
#endif
#if __has_include("board_access/hv.h")
#include "board_access/hv.h"
#define HAVE_HV 1
#endif

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
#ifdef HAVE_SOURCE
    {"source", &make<Source>},
#endif
#ifdef HAVE_PROCESS_TIME_SORTING
    {"time_sorting", &make<Process_Time_Sorting>},
#endif
#ifdef HAVE_PROCESS_TEE
    {"tee", &make<Process_Tee>},
#endif
#ifdef HAVE_POSITION
    {"position", &make<Position>},
#endif
#ifdef HAVE_IMAGE
    {"image", &make<Image>},
#endif
#ifdef HAVE_HISTOGRAM
    {"spectrum", &make<Histogram>},
#endif
#ifdef HAVE_TIME_DISTRIBUTION
    {"tof_histogram", &make<time_distribution>},
#endif
#ifdef HAVE_DATADUMPER
    {"dumper", &make<DataDumper>},
#endif
#ifdef HAVE_OSCILLOSCOPE
    {"oscilloscope", &make<Oscilloscope>},
#endif
#ifdef HAVE_SINKRATECOUNTER
    {"rate_counters_sink", &make<SinkRateCounter>},
#endif
#ifdef HAVE_HV
    {"hv", &make<HV>},
#endif
    {nullptr, nullptr},
};
}  // namespace

QuarixBlock* BlockFactory::CreateBlock(QObject* parent, const QString& block_type, BlockContext* context,
                                       const QJsonValue& entry) const
{
    for (const FactoryEntry& known : kFactoryTable) {
        if (known.type && block_type == QLatin1String(known.type))
            return known.create(parent, context, entry);
    }
    return nullptr;
}

QStringList BlockFactory::knownTypes()
{
    QStringList types;
    for (const FactoryEntry& known : kFactoryTable) {
        if (known.type)
            types.append(QLatin1String(known.type));
    }
    return types;
}
