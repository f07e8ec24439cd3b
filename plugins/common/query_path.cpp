#include "plugins/common/query_path.h"

namespace board_plugin {

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

bool QueryPath::isRunControl() const
{
    return (kind == Kind::EndpointCommand || kind == Kind::BoardCommand)
           && (verb == "start" || verb == "stop" || verb == "reset");
}

}  // namespace board_plugin
