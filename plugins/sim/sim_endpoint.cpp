#include "sim_endpoint.h"

#include "shared_tunables.h"

namespace sim {

SimEndpoint::SimEndpoint(std::unique_ptr<RecordGenerator> generator, const SharedTunables& tunables, bool running)
    : Endpoint(running)
    , tunables_(tunables)
    , generator_(std::move(generator))
{
    generator_->applyTunables(tunables_.current(tunablesVersion_));
    if (running)
        generator_->start(Clock::now());
}

void SimEndpoint::startedLocked(Clock::time_point now)
{
    generator_->start(now);
}

void SimEndpoint::resetLocked(Clock::time_point now)
{
    generator_->reset(now);
}

Batch SimEndpoint::produceLocked(Clock::time_point now)
{
    if (tunables_.version() != tunablesVersion_)
        generator_->applyTunables(tunables_.current(tunablesVersion_));
    return generator_->produce(now);
}

RecordGenerator::Clock::duration SimEndpoint::untilDueLocked(Clock::time_point now) const
{
    return generator_->untilDue(now);
}

}  // namespace sim
