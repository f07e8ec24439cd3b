// The data an endpoint of the simulated board serves follows from its name
// (case-insensitive): "pair" → energy pairs, else "wave" → waveforms, else
// "rate" or "counter" → rate counters, else energy events.
#pragma once

#include <string>

namespace sim {

enum class EndpointKind { Energy, EnergyPair, Waveform, RateCounters };

EndpointKind endpointKindForName(const std::string& name);

}  // namespace sim
