// Builds the enabled chains of the configuration's "processing" section: every
// block from the table of block types, checked and wired to the output pins
// its "sources" name. The first entry it cannot use stops it, with a message
// naming the chain, the block and the key.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

class Board;
class QuarixBlock;

class ChainBuilder {
public:
    // New blocks are appended to `blocks`, which owns them (also those of a
    // refused entry); the blocks see `boards` and the two paths.
    ChainBuilder(QList<Board*>* boards, QList<QuarixBlock*>* blocks, const QString& configPath,
                 const QString& storagePath);

    // Builds every enabled chain; false at the first refused entry.
    bool buildAll(const QJsonObject& config);
    bool buildChain(int processingIndex, const QJsonObject& chain);

    // Stops building (false) once `blocks` holds this many; none by default.
    void setBlockLimit(int limit) { m_blockLimit = limit; }

    // The order in which the server ends: the sources first, so that nothing
    // new enters the chains, then every other block in creation order, which
    // is upstream before downstream.
    static void shutDownInOrder(const QList<QuarixBlock*>& blocks);

private:
    QList<Board*>* m_boards;
    QList<QuarixBlock*>* m_blocks;
    QString m_configPath;
    QString m_storagePath;
    int m_blockLimit = -1;
};
