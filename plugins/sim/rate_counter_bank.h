// The board's input and output counters per channel, shared by the endpoints
// that generate events (they add) and the rate-counter endpoint (it reads and
// clears). One lock keeps every snapshot consistent: input never below output.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

class RateCounterBank {
public:
    explicit RateCounterBank(uint32_t channels);

    uint32_t channels() const { return channels_; }

    // Adds the counts of units that each cover `channelsPerUnit` consecutive
    // channels (1 for single channels, 2 for pair elements).
    void add(const std::vector<uint64_t>& inPerUnit, const std::vector<uint64_t>& outPerUnit, uint32_t channelsPerUnit);
    // Copies the counters into two arrays of channels() values.
    void snapshot(uint64_t* in, uint64_t* out) const;
    void clear();

private:
    const uint32_t channels_;
    mutable std::mutex mutex_;
    std::vector<uint64_t> in_;
    std::vector<uint64_t> out_;
};

}  // namespace sim
