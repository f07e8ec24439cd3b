// One endpoint of a simulated board: its run state, its data generator and
// the batches it has handed out and not yet taken back. Reads, frees and
// commands on the endpoint may come from any thread; one lock serialises them.
#pragma once

#include "batch.h"
#include "record_generator.h"
#include "plugins/common/lent_batches.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace sim {

class SharedTunables;

class SimEndpoint {
public:
    SimEndpoint(std::unique_ptr<RecordGenerator> generator, const SharedTunables& tunables, bool running);

    void start();
    void stop();
    void reset();

    // Delivers what is due into `list`. When nothing is (or the endpoint is
    // stopped) it waits up to min(timeoutMs, 20 ms) for data and may return
    // count 0; nothing stays allocated then.
    int32_t read(int32_t timeoutMs, readout::DataList* list);
    // Takes back the batch `list` points to; kUnknownBatch if it is not one of ours.
    int32_t release(readout::DataList* list);
    size_t outstanding() const;

    static constexpr std::chrono::milliseconds kLongestWait{20};

private:
    using Clock = std::chrono::steady_clock;

    Batch produceLocked(Clock::time_point now);

    const SharedTunables& tunables_;
    mutable std::mutex mutex_;
    std::condition_variable stateChanged_;
    std::unique_ptr<RecordGenerator> generator_;
    bool running_;
    uint64_t tunablesVersion_;
    board_plugin::LentBatches<Batch> outstanding_;
};

}  // namespace sim
