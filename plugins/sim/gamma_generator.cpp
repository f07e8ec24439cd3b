#include "gamma_generator.h"

#include "detector_model.h"

namespace sim {

GammaGenerator::GammaGenerator(const GeneratorContext& context, uint64_t seed) : context_(context), random_(seed)
{
    GammaGenerator::applyTunables(context.settings.tunables);
}

void GammaGenerator::applyTunables(const SimTunables& tunables)
{
    tunables_ = tunables;
    spectrum_.configure(tunables, context_.model.channelResolutionScales());
}

void GammaGenerator::start(Clock::time_point now)
{
    pacer_.restart(now);
}

void GammaGenerator::reset(Clock::time_point now)
{
    pacer_.restart(now);
    ticks_ = 0.0;
    sequence_ = 0;
}

}  // namespace sim
