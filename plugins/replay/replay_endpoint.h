// One endpoint of a replay board: plays the recording from its first record,
// as EnergyEvent records, paced by the recorded timestamps or as fast as it
// is read. Each endpoint plays on its own; a reset goes back to the start.
//
// Passes: with loop set, pass p (counted from 0 since the last reset)
// delivers every record with its timestamp + p * (span + 1), span being the
// last timestamp of the recording minus the first, so that the timestamps of
// a recording in time order keep increasing from pass to pass.
//
// Memory: the reader's buffer (RecordingReader::kChunkRecords records), the
// records read ahead (as many), and the batches: each holds max_batch
// entries and records (64 bytes an event); one freed batch is kept for the
// next read.
#pragma once

#include "plugins/common/endpoint.h"
#include "recording.h"
#include "replay_settings.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace replay {

using board_plugin::Batch;

class ReplayEndpoint : public board_plugin::Endpoint {
public:
    ReplayEndpoint(const Settings& settings, std::shared_ptr<const Recording> recording, bool running);

    // Events delivered since the last reset.
    uint64_t delivered() const { return delivered_.load(); }
    // Every record delivered once (never with loop).
    bool finished() const { return finished_.load(); }
    // The play ended early: a file could no longer be read.
    bool failed() const { return failed_.load(); }

private:
    void startedLocked(Clock::time_point now) override;
    void stoppedLocked(Clock::time_point now) override;
    void resetLocked(Clock::time_point now) override;
    Batch produceLocked(Clock::time_point now) override;
    Clock::duration untilDueLocked(Clock::time_point now) const override;
    void recycleLocked(Batch& batch) override;

    // The next record to deliver, reading ahead when needed; null at the end
    // of the play (or after a read failure).
    const RawRecord* nextLocked();
    // Its timestamp in the current pass, and the board clock ticks from the
    // start of the play to that time.
    uint64_t passTimestamp(const RawRecord& record) const;
    uint64_t ticksFromStart(const RawRecord& record) const;
    // Running time since the last reset, stops left out.
    uint64_t runningNs(Clock::time_point now) const;
    bool ended() const { return finished_.load() || failed_.load(); }

    const Settings settings_;
    const std::shared_ptr<const Recording> recording_;
    const uint64_t passTicks_;  // span + 1
    RecordingReader reader_;
    std::unique_ptr<RawRecord[]> ahead_;  // RecordingReader::kChunkRecords
    size_t aheadCount_ = 0;
    size_t aheadAt_ = 0;
    uint64_t pass_ = 0;
    uint64_t sequence_ = 0;
    std::chrono::nanoseconds runBefore_{0};  // running time before the current start
    Clock::time_point runningSince_{};
    bool running_;
    Batch spare_;
    std::atomic<uint64_t> delivered_{0};
    std::atomic<bool> finished_{false};
    std::atomic<bool> failed_{false};
};

}  // namespace replay
