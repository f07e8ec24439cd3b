#include "alias_table.h"

namespace sim {

void AliasTable::build(const std::vector<double>& weights)
{
    const size_t n = weights.size();
    probability_.assign(n, 1.0);
    alias_.resize(n);
    for (size_t i = 0; i < n; ++i)
        alias_[i] = uint32_t(i);
    double sum = 0.0;
    for (double w : weights)
        sum += w > 0.0 ? w : 0.0;
    if (n == 0 || sum <= 0.0)
        return;

    std::vector<double> scaled(n);
    std::vector<uint32_t> small, large;
    for (size_t i = 0; i < n; ++i) {
        scaled[i] = (weights[i] > 0.0 ? weights[i] : 0.0) * double(n) / sum;
        (scaled[i] < 1.0 ? small : large).push_back(uint32_t(i));
    }
    while (!small.empty() && !large.empty()) {
        const uint32_t s = small.back();
        small.pop_back();
        const uint32_t l = large.back();
        probability_[s] = scaled[s];
        alias_[s] = l;
        scaled[l] -= 1.0 - scaled[s];
        if (scaled[l] < 1.0) {
            large.pop_back();
            small.push_back(l);
        }
    }
    // Left-overs are 1 up to rounding.
    for (uint32_t i : small)
        probability_[i] = 1.0;
    for (uint32_t i : large)
        probability_[i] = 1.0;
}

}  // namespace sim
