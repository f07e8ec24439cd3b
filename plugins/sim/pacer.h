// Turns wall time into a number of entries due at a given rate. Fractions
// carry over from read to read; what exceeds a read's cap is dropped, as a
// board drops data its buffer cannot hold.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim {

class Pacer {
public:
    using Clock = std::chrono::steady_clock;

    void restart(Clock::time_point now)
    {
        last_ = now;
        credit_ = 0.0;
    }

    // Entries due since the previous call at `perSecond`, at most `cap`.
    uint64_t take(Clock::time_point now, double perSecond, uint64_t cap);

    // Time from `now` until take() would return at least one entry.
    Clock::duration untilDue(Clock::time_point now, double perSecond) const;

private:
    Clock::time_point last_{};
    double credit_ = 0.0;
};

}  // namespace sim
