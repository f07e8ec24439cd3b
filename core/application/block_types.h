// The table of block types: one row per type, the only place in the server
// that names them all. The factory creates a block from its row, and gives
// the block the row's descriptor, which the start-up, the WebSocket server and
// the commands block read (how clients reach it, whether it is a source or a
// file writer). A new block type is a folder under blocks/ and a row here.
#pragma once

#include "core/block_type.h"

#include <QJsonValue>
#include <QString>
#include <QStringList>

class QObject;
class QuarixBlock;
struct BlockContext;

class BlockFactory {
public:
    // Creates a block of the type named (matched exactly, with case) and gives
    // it its descriptor; null for an unknown type and for a type the start-up
    // makes itself ("commands").
    QuarixBlock* CreateBlock(QObject* parent, const QString& block_type, BlockContext* context,
                             const QJsonValue& entry) const;

    // The row of a type name, or null.
    static const BlockType* find(const QString& block_type);

    // The type names a configuration may give, in the order of the table.
    static QStringList knownTypes();
};
