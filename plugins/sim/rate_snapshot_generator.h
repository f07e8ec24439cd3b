// "rate_counters": one snapshot of the board's counters per read, at most one
// per 100 ms (one per read with a fixed batch size). Counters are cumulative
// since the last reset of a rate-counter endpoint; rates are the counts per
// second since the previous snapshot (or since start or reset), measured on
// the wall clock. header0 is the snapshot time in board clock units since the
// board was opened; header1 counts the snapshots since the last reset.
#pragma once

#include "record_generator.h"

#include <cstdint>
#include <vector>

namespace sim {

class RateSnapshotGenerator final : public RecordGenerator {
public:
    explicit RateSnapshotGenerator(const GeneratorContext& context);

    void applyTunables(const SimTunables& tunables) override;
    void start(Clock::time_point now) override;
    void reset(Clock::time_point now) override;
    Batch produce(Clock::time_point now) override;
    Clock::duration untilDue(Clock::time_point now) const override;

    static constexpr std::chrono::milliseconds kInterval{100};

private:
    void rememberBaseline(Clock::time_point now);

    const GeneratorContext context_;
    uint32_t fixedBatch_;
    Clock::time_point previousTime_;
    std::vector<uint64_t> previousIn_;
    std::vector<uint64_t> previousOut_;
    uint64_t sequence_ = 0;
};

}  // namespace sim
