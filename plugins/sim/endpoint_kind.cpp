#include "endpoint_kind.h"

#include <algorithm>
#include <cctype>

namespace sim {

EndpointKind endpointKindForName(const std::string& name)
{
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    const auto contains = [&lower](const char* word) { return lower.find(word) != std::string::npos; };
    if (contains("pair"))
        return EndpointKind::EnergyPair;
    if (contains("wave"))
        return EndpointKind::Waveform;
    if (contains("rate") || contains("counter"))
        return EndpointKind::RateCounters;
    return EndpointKind::Energy;
}

}  // namespace sim
