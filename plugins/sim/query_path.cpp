#include "query_path.h"

#include <algorithm>
#include <cctype>

namespace sim {

QueryPath QueryPath::parse(const char* path)
{
    QueryPath result;
    if (!path)
        return result;
    const std::string text(path);
    const size_t first = text.find('\\');
    if (first == std::string::npos)
        return result;
    const std::string head = text.substr(0, first);
    const std::string rest = text.substr(first + 1);

    if (head == "commands") {
        if (!rest.empty() && rest.find('\\') == std::string::npos) {
            result.kind = Kind::BoardCommand;
            result.verb = rest;
        }
        return result;
    }
    if (head != "endpoints")
        return result;

    const size_t second = rest.find('\\');
    const std::string name = rest.substr(0, second);
    if (name.empty())
        return result;
    if (second == std::string::npos) {
        result.kind = Kind::Endpoint;
        result.endpoint = name;
        return result;
    }
    const std::string verb = rest.substr(second + 1);
    if (verb.empty() || verb.find('\\') != std::string::npos)
        return result;
    result.kind = Kind::EndpointCommand;
    result.endpoint = name;
    result.verb = verb;
    return result;
}

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
