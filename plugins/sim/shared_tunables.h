// The board's current tunable settings. Writers (SetValue on the main
// thread) bump a version; each endpoint compares the version at every read
// and copies the settings only when it changed, so reads stay cheap.
#pragma once

#include "sim_settings.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace sim {

class SharedTunables {
public:
    explicit SharedTunables(const SimTunables& initial);

    uint64_t version() const { return version_.load(std::memory_order_acquire); }
    // The settings together with the version they belong to.
    SimTunables current(uint64_t& version) const;
    // Applies "sim\<key>" = value; a status of sim_status.h.
    int32_t apply(const std::string& key, const std::string& value);

private:
    mutable std::mutex mutex_;
    SimTunables tunables_;
    std::atomic<uint64_t> version_{0};
};

}  // namespace sim
