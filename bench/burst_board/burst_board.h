// A board that delivers one known burst of list-mode energy events, paced by
// the wall clock, and measures how far the reader fell behind it.
//
// Event k (counted from 0 since the last reset) has timestamp k * spacing,
// channel k % channels, raw energy (k * 7919) % 4096 + 1, flags 0 and
// extra = the low 32 bits of k, so a recording or a spectrum of the burst can
// be checked event by event. Event k falls due delay_ms + k / rate seconds of
// running time after the start; each read delivers everything due and not
// yet delivered, at most max_batch (the rest stays due, like data waiting in
// a board's buffer). The lag of a read is the time from the moment its
// oldest event fell due to the read. The report file (JSON) gives the counts
// and the lag figures; it is rewritten every half second while the burst
// runs and at every read once the last event has been delivered.
#pragma once

#include "board_access/readout_records.h"
#include "plugins/common/lent_batches.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace burst {

enum Status : int32_t {
    kOk = 0,
    kNullArgument = -1,
    kUnknownHandle = -2,
    kUnknownPath = -3,
    kUnknownBatch = -5,
    kUnknownScheme = -20,
    kMalformedConnection = -21,
    kUnknownKey = -22,
    kBadKeyValue = -23,
};

struct Settings {
    uint64_t events = 10000000;
    double rate = 1000000.0;   // events per second; 0: the whole burst is due at once
    uint32_t channels = 16;
    uint64_t spacing = 1000;   // timestamp units between consecutive events
    uint32_t maxBatch = 1000000;
    uint32_t delayMs = 0;      // running time from the start to the first event
    std::string report;        // report file; empty: none

    // Parses "burst" or "burst:key=value;key=value". Returns kOk or an error status.
    static int32_t parse(const char* text, Settings& out);
};

// Event k of the burst, as the board delivers it.
readout::EnergyEvent burstEvent(uint64_t k, uint32_t channels, uint64_t spacing);

class BurstBoard {
public:
    explicit BurstBoard(const Settings& settings);

    // Opens a board from its connection string (see Settings::parse).
    static int32_t open(const char* connection, std::unique_ptr<BurstBoard>& board);
    // Values are accepted and read back as "0": the connection string alone sets the burst up.
    int32_t setValue(const char*, const char*) { return kOk; }
    int32_t getValue(const char* path, char* value);
    int32_t sendCommand(const char* path);
    int32_t read(const char* path, int32_t timeoutMs, readout::DataList* list);
    int32_t release(const char* path, readout::DataList* list);

private:
    using Clock = std::chrono::steady_clock;

    // A delivered batch's memory. Freed batches are kept for later reads, as
    // a board's driver reuses its buffers: a fresh allocation per read would
    // cost the reader page faults that no board imposes.
    struct Block {
        std::unique_ptr<unsigned char[]> bytes;
        size_t size = 0;
    };

    struct ReportData;

    void startLocked(Clock::time_point now);
    void stopLocked(Clock::time_point now);
    void resetLocked(Clock::time_point now);
    // Running time of the burst (pauses left out), in nanoseconds.
    int64_t runningNsLocked(Clock::time_point now) const;
    int64_t dueNs(uint64_t k) const;
    // Number of events due at running time `t` (0 to events).
    uint64_t dueCount(int64_t t) const;
    // Time until the next undelivered event falls due; a long time when stopped or done.
    Clock::duration untilNextDueLocked(Clock::time_point now) const;
    ReportData snapshotLocked(Clock::time_point now) const;
    void writeReport(const ReportData& data) const;

    const Settings settings_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;

    bool running_ = false;
    int64_t runNsBefore_ = 0;           // running time accumulated before the current start
    Clock::time_point runningSince_{};  // the current start, while running
    Clock::time_point firstStart_{};    // first start since the last reset
    bool startedSinceReset_ = false;
    double firstStartEpoch_ = 0.0;      // the same moment on the system clock

    uint64_t next_ = 0;                 // next event to deliver
    uint64_t deliveredTotal_ = 0;       // since the board was opened, over all resets
    uint64_t reads_ = 0;                // non-empty reads since the last reset
    uint64_t fullReads_ = 0;            // of those, reads capped at max_batch
    uint32_t resets_ = 0;
    uint32_t starts_ = 0;
    Clock::time_point firstDelivery_{};
    Clock::time_point lastDelivery_{};
    std::vector<float> lagsMs_;         // one per non-empty read since the last reset
    float maxLagMs_ = -1.0f;
    double maxLagAtS_ = -1.0;           // when the read with the largest lag came, after the first start
    Clock::time_point lastReport_{};

    board_plugin::LentBatches<Block> outstanding_;
    std::vector<Block> spare_;          // freed batches, for reuse
};

}  // namespace burst
