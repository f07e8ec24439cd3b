#include "record_generator.h"

#include "list_mode_generator.h"
#include "rate_snapshot_generator.h"
#include "waveform_generator.h"

namespace sim {

std::unique_ptr<RecordGenerator> RecordGenerator::create(EndpointKind kind, const GeneratorContext& context,
                                                         uint64_t seed)
{
    switch (kind) {
    case EndpointKind::EnergyPair:
        return std::make_unique<PairGenerator>(context, seed);
    case EndpointKind::Waveform:
        return std::make_unique<WaveformGenerator>(context, seed);
    case EndpointKind::RateCounters:
        return std::make_unique<RateSnapshotGenerator>(context);
    case EndpointKind::Energy:
        break;
    }
    return std::make_unique<EnergyGenerator>(context, seed);
}

}  // namespace sim
