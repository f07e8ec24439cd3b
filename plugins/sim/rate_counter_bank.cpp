#include "rate_counter_bank.h"

#include <algorithm>

namespace sim {

RateCounterBank::RateCounterBank(uint32_t channels)
    : channels_(channels)
    , in_(channels, 0)
    , out_(channels, 0)
{
}

void RateCounterBank::add(const std::vector<uint64_t>& inPerUnit, const std::vector<uint64_t>& outPerUnit,
                          uint32_t channelsPerUnit)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t unit = 0; unit < inPerUnit.size(); ++unit) {
        if (inPerUnit[unit] == 0)
            continue;
        for (uint32_t k = 0; k < channelsPerUnit; ++k) {
            const size_t channel = unit * channelsPerUnit + k;
            if (channel < channels_) {
                in_[channel] += inPerUnit[unit];
                out_[channel] += outPerUnit[unit];
            }
        }
    }
}

void RateCounterBank::snapshot(uint64_t* in, uint64_t* out) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::copy(in_.begin(), in_.end(), in);
    std::copy(out_.begin(), out_.end(), out);
}

void RateCounterBank::clear()
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(in_.begin(), in_.end(), 0);
    std::fill(out_.begin(), out_.end(), 0);
}

}  // namespace sim
