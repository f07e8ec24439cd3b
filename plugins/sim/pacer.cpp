#include "pacer.h"

#include <cmath>

namespace sim {

uint64_t Pacer::take(Clock::time_point now, double perSecond, uint64_t cap)
{
    if (now > last_) {
        credit_ += std::chrono::duration<double>(now - last_).count() * perSecond;
        last_ = now;
    }
    const double whole = std::floor(credit_);
    if (whole >= double(cap)) {
        credit_ -= whole;
        return cap;
    }
    credit_ -= whole;
    return uint64_t(whole);
}

Pacer::Clock::duration Pacer::untilDue(Clock::time_point now, double perSecond) const
{
    if (perSecond <= 0.0)
        return std::chrono::hours(1);
    const auto due = last_ + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>((1.0 - credit_) / perSecond));
    return due > now ? due - now : Clock::duration::zero();
}

}  // namespace sim
