#include "value_store.h"

namespace sim {

namespace {

struct NamedDefault {
    const char* segment;
    const char* value;
};

// High-voltage channel settings as a freshly powered board reports them.
const NamedDefault kDefaults[] = {
    {"VSet", "0"},     // volts
    {"ISet", "10"},    // current limit, microamperes
    {"RampUp", "10"},  // volts per second
    {"RampDown", "10"},
    {"VMax", "1500"},  // volts
    {"Trip", "1"},     // seconds over the current limit before the channel trips
    {"Temp", "25"},    // board temperature, degrees Celsius
};

}  // namespace

void ValueStore::set(const std::string& path, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    values_[path] = value;
}

std::string ValueStore::get(const std::string& path) const
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = values_.find(path);
        if (found != values_.end())
            return found->second;
    }
    return defaultFor(path);
}

std::string ValueStore::lastSegment(const std::string& path)
{
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ValueStore::defaultFor(const std::string& path)
{
    const std::string segment = lastSegment(path);
    for (const NamedDefault& entry : kDefaults) {
        if (segment == entry.segment)
            return entry.value;
    }
    return "0";
}

}  // namespace sim
