// The query paths the simulated board understands:
//   endpoints\<name>            an endpoint (reads and frees)
//   endpoints\<name>\<verb>     a command for that endpoint
//   commands\<verb>             a command for the whole board
// Anything else is kind Other.
#pragma once

#include <string>

namespace sim {

enum class EndpointKind { Energy, EnergyPair, Waveform, RateCounters };

struct QueryPath {
    enum class Kind { Endpoint, EndpointCommand, BoardCommand, Other };

    Kind kind = Kind::Other;
    std::string endpoint;  // endpoint name, for the two endpoint kinds
    std::string verb;      // command word, for the two command kinds

    static QueryPath parse(const char* path);
};

// The data an endpoint serves follows from its name (case-insensitive):
// "pair" → energy pairs, else "wave" → waveforms, else "rate" or "counter" →
// rate counters, else energy events.
EndpointKind endpointKindForName(const std::string& name);

}  // namespace sim
