#include "shared_tunables.h"

#include "connection_string.h"
#include "sim_status.h"

namespace sim {

SharedTunables::SharedTunables(const SimTunables& initial)
    : tunables_(initial)
{
}

SimTunables SharedTunables::current(uint64_t& version) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    version = version_.load(std::memory_order_relaxed);
    return tunables_;
}

int32_t SharedTunables::apply(const std::string& key, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    SimTunables changed = tunables_;
    const int32_t status = ConnectionString::applyTunable(key, value, changed);
    if (status == kOk) {
        tunables_ = changed;
        version_.fetch_add(1, std::memory_order_release);
    }
    return status;
}

}  // namespace sim
