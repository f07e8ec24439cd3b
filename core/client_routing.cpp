#include "core/client_routing.h"

#include "core/block_message.h"
#include "core/quarix_block.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace client_routing {
namespace {
const QLatin1String kByFullPath("query_by_json");
}  // namespace

QString answer(const QList<QuarixBlock*>& blocks, const QString& route, const QString& message)
{
    QString reply;
    if (block_message::hasDuplicateKey(message))
        return reply;
    QuarixBlock* block = nullptr;
    if (route == kByFullPath) {
        const QString path =
            QJsonDocument::fromJson(message.toUtf8()).object().value(QLatin1String("path")).toString();
        block = QuarixBlock::findByFullPath(blocks, path);
        if (block && !(block->type() && block->type()->reachableByFullPath()))
            block = nullptr;
    } else {
        block = QuarixBlock::findByName(blocks, route);
        if (block && !(block->type() && block->type()->reachableByName()))
            block = nullptr;
    }
    if (block)
        QuarixBlock::interpret(block, message, &reply);
    return reply;
}

QString routeOf(const QuarixBlock& block)
{
    if (!block.type())
        return QString();
    if (block.type()->reachableByFullPath())
        return kByFullPath;
    return block.type()->reachableByName() ? block.Name() : QString();
}

}  // namespace client_routing
