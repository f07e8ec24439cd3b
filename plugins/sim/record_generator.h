// What an endpoint's data generator offers. One generator per endpoint,
// always called under that endpoint's lock, so it needs none itself.
#pragma once

#include "endpoint_kind.h"
#include "plugins/common/batch.h"
#include "sim_settings.h"

#include <chrono>
#include <memory>

namespace sim {

using board_plugin::Batch;
using board_plugin::BlockLayout;

class DetectorModel;
class RateCounterBank;

// The board-wide things a generator reads (and, for the counters, writes).
struct GeneratorContext {
    const SimSettings& settings;
    const DetectorModel& model;
    RateCounterBank& counters;
    std::chrono::steady_clock::time_point boardOpened;
};

class RecordGenerator {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~RecordGenerator() = default;

    static std::unique_ptr<RecordGenerator> create(EndpointKind kind, const GeneratorContext& context, uint64_t seed);

    virtual void applyTunables(const SimTunables& tunables) = 0;
    // The endpoint starts running: pacing counts from `now`, nothing accumulated while stopped.
    virtual void start(Clock::time_point now) = 0;
    // Back to time 0 and sequence 0 (and, for the rate counters, cleared counters).
    virtual void reset(Clock::time_point now) = 0;
    // What is due at `now`; an invalid or zero-count batch when nothing is.
    virtual Batch produce(Clock::time_point now) = 0;
    // How long from `now` until produce() has something.
    virtual Clock::duration untilDue(Clock::time_point now) const = 0;
};

}  // namespace sim
