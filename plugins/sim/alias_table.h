// Draws an index with given relative weights in constant time (Walker's alias
// method): channel choice, pair element choice and crystal choice per event.
#pragma once

#include "sim_random.h"

#include <cstdint>
#include <vector>

namespace sim {

class AliasTable {
public:
    // Weights must be non-negative with a positive sum; an empty list gives an
    // empty table whose sample() returns 0.
    void build(const std::vector<double>& weights);

    uint32_t sample(SimRandom& random) const
    {
        const uint32_t n = uint32_t(probability_.size());
        if (n == 0)
            return 0;
        const double scaled = random.uniform() * n;
        const uint32_t column = uint32_t(scaled);
        const uint32_t index = column < n ? column : n - 1;
        return (scaled - index) < probability_[index] ? index : alias_[index];
    }

    size_t size() const { return probability_.size(); }

private:
    std::vector<double> probability_;
    std::vector<uint32_t> alias_;
};

}  // namespace sim
