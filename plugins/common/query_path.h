// The query paths a board plugin understands:
//   endpoints\<name>            an endpoint (reads and frees)
//   endpoints\<name>\<verb>     a command for that endpoint
//   commands\<verb>             a command for the whole board
// Anything else is kind Other.
#pragma once

#include <string>

namespace board_plugin {

struct QueryPath {
    enum class Kind { Endpoint, EndpointCommand, BoardCommand, Other };

    Kind kind = Kind::Other;
    std::string endpoint;  // endpoint name, for the two endpoint kinds
    std::string verb;      // command word, for the two command kinds

    static QueryPath parse(const char* path);
    // A start, stop or reset of an endpoint or of the whole board.
    bool isRunControl() const;
};

}  // namespace board_plugin
