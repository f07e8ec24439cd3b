// Creates a block from its type string, the start-up's context and the block
// entry of the configuration file. Unknown types (matched exactly, with case)
// create nothing. "commands" is not a factory type: the start-up makes it.
#pragma once

#include <QJsonValue>
#include <QString>
#include <QStringList>

class QObject;
class QuarixBlock;
struct BlockContext;

class BlockFactory {
public:
    QuarixBlock* CreateBlock(QObject* parent, const QString& block_type, BlockContext* context,
                             const QJsonValue& entry) const;

    // The type names the factory knows, in the order it compares them.
    static QStringList knownTypes();
};
