// One endpoint of a board plugin: its run state and the batches it has handed
// to the server and not yet taken back. Reads, frees and commands may come
// from any thread; one lock serialises them. A plugin derives its endpoints
// from this class and supplies what they deliver and when more falls due; the
// hooks are called under the endpoint's lock.
#pragma once

#include "plugins/common/batch.h"
#include "plugins/common/lent_batches.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace board_plugin {

class Endpoint {
public:
    using Clock = std::chrono::steady_clock;

    // The longest a read waits for data.
    static constexpr std::chrono::milliseconds kLongestWait{20};

    explicit Endpoint(bool running) : running_(running) {}
    virtual ~Endpoint() = default;
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    void start();
    void stop();
    void reset();
    // "start", "stop" or "reset"; any other word changes nothing.
    void runControl(const std::string& verb);

    // Delivers what is due into `list`. When nothing is (or the endpoint is
    // stopped) it waits up to min(timeoutMs, kLongestWait) for data (a start,
    // stop or reset ends the wait) and may return count 0; nothing stays
    // allocated then.
    int32_t read(int32_t timeoutMs, readout::DataList* list);
    // Takes back the batch `list` points to; kUnknownBatch if it is not one of ours.
    int32_t release(readout::DataList* list);
    size_t outstanding() const;

protected:
    // The endpoint goes from stopped to running.
    virtual void startedLocked(Clock::time_point now) = 0;
    // The endpoint goes from running to stopped.
    virtual void stoppedLocked(Clock::time_point) {}
    virtual void resetLocked(Clock::time_point now) = 0;
    // What is due at `now` while running; an invalid or empty batch when nothing is.
    virtual Batch produceLocked(Clock::time_point now) = 0;
    // How long from `now` until produceLocked() has something, while running.
    virtual Clock::duration untilDueLocked(Clock::time_point now) const = 0;
    // A batch the server handed back: the endpoint may move it out to reuse
    // its memory; what is left is freed after the lock is released.
    virtual void recycleLocked(Batch&) {}

private:
    Batch deliverLocked(Clock::time_point now) { return running_ ? produceLocked(now) : Batch(); }

    mutable std::mutex mutex_;
    std::condition_variable stateChanged_;
    bool running_;
    LentBatches<Batch> outstanding_;
};

}  // namespace board_plugin
