// How a client message reaches a block: on the route "query_by_json" by the
// full path given as the message's "path", on any other route by the block
// name the route gives; only blocks whose type lets clients reach them that
// way answer. The WebSocket server sends every message through here.
#pragma once

#include <QList>
#include <QString>

class QuarixBlock;

namespace client_routing {

// The answer of the addressed block, or empty when no block answers. A
// message that gives a key twice in one object is answered empty and never
// parsed (the JSON parser loses memory on it).
QString answer(const QList<QuarixBlock*>& blocks, const QString& route, const QString& message);

// The route a client connects to for this block: "query_by_json" when its
// type is reached by full path, else its name when reached by name; empty
// when clients do not reach it.
QString routeOf(const QuarixBlock& block);

}  // namespace client_routing
