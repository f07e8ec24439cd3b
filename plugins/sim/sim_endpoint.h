// One endpoint of a simulated board: a board endpoint (run state, lent
// batches, reads that wait for data) whose data comes from its generator.
#pragma once

#include "plugins/common/endpoint.h"
#include "record_generator.h"

#include <cstdint>
#include <memory>

namespace sim {

class SharedTunables;

class SimEndpoint : public board_plugin::Endpoint {
public:
    SimEndpoint(std::unique_ptr<RecordGenerator> generator, const SharedTunables& tunables, bool running);

private:
    void startedLocked(Clock::time_point now) override;
    void resetLocked(Clock::time_point now) override;
    Batch produceLocked(Clock::time_point now) override;
    Clock::duration untilDueLocked(Clock::time_point now) const override;

    const SharedTunables& tunables_;
    std::unique_ptr<RecordGenerator> generator_;
    uint64_t tunablesVersion_;
};

}  // namespace sim
