// Base of every processing block: a name, a full path, a block type string,
// input and output pins, and the dump flag of the file-writing blocks.
//
// Blocks that answer clients declare the slot
//     void InterpretMessage(QString data_in, QString* data_out);
// which the WebSocket server and the commands block reach by name
// (QuarixBlock::interpret). A block with a worker keeps it in m_worker.
//
// Blocks are made with createBlock<T>(...): the block it returns stops and
// joins its worker before any of the block's own members is destroyed, so no
// block has to remember to do so in its destructor.
#pragma once

#include "core/block_type.h"

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <utility>
#include <vector>

class BlockWorker;
struct BlockContext;
class PinInput;
class PinOutput;
class QJsonObject;

// What a block destroyed or could not use itself, by cause (a name for
// clients); losses at its output pins are counted by the pins.
struct BlockLoss {
    const char* cause;
    uint64_t count;
    bool events;   // count is of events (false: of something else, such as failed reads)
};
using BlockLosses = std::vector<BlockLoss>;

// Where the chain builder placed a block: its chain, the index of the
// "processing" entry holding that chain, and the entry's "data_type". Empty
// (processing -1) for a block made outside a chain, such as the commands block.
struct ChainPlace {
    QString chain;
    int processing = -1;
    QString dataType;
};

class QuarixBlock : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString Name READ Name WRITE setName)
    Q_PROPERTY(QString FullPath READ FullPath WRITE setFullPath)
public:
    explicit QuarixBlock(QObject* parent = nullptr);
    ~QuarixBlock() override;

    QString Name() const { return m_name; }
    void setName(const QString& name);
    QString FullPath() const { return m_fullPath; }
    void setFullPath(const QString& fullPath);

    // The descriptor of the block's type, set when the block is created from
    // the table of block types; null for a block made outside it.
    const BlockType* type() const { return m_type; }
    void setType(const BlockType* type) { m_type = type; }
    // The type's name ("block_type" in the configuration); empty without a type.
    QString blockType() const { return m_type ? QString::fromLatin1(m_type->name) : QString(); }
    bool hasRole(BlockType::Role role) const { return m_type && m_type->role == role; }
    const QList<PinInput*>& inputPins() const { return m_inputPins; }
    const QList<PinOutput*>& outputPins() const { return m_outputPins; }
    bool dumpFlag() const { return m_dump; }

    // Reads the block-specific settings of the block entry; the base reads nothing.
    virtual bool ReadParameters(const QJsonValue& entry);

    // Orderly stop, used only when the process ends: the worker drains what is
    // queued for it, finishes (closing its files) and exits.
    virtual void shutdown();
    // Stops and joins the worker in the same orderly way; nothing without one.
    void stopWorker();

    // Appends the losses this block counts itself, each cause once, even at 0.
    virtual void appendLosses(BlockLosses& losses) const { Q_UNUSED(losses) }

    // Adds what a client needs to show the block's data to `view`: its sizes
    // and scales as the block uses them, defaults included. Nothing for a
    // block without a view of its own.
    virtual void describeView(QJsonObject& view) const { Q_UNUSED(view) }

    const ChainPlace& chainPlace() const { return m_chainPlace; }
    void setChainPlace(const ChainPlace& place) { m_chainPlace = place; }

    // Empty unless the block entry was unusable; then it names the key and the
    // problem, and the start-up refuses the configuration.
    const QString& configurationError() const { return m_configurationError; }

    // Calls the block's InterpretMessage slot, if it has one. False when it has none.
    static bool interpret(QuarixBlock* block, const QString& data_in, QString* data_out);

    // First block of the list whose Name / FullPath equals the text, or none.
    static QuarixBlock* findByName(const QList<QuarixBlock*>& blocks, const QString& name);
    static QuarixBlock* findByFullPath(const QList<QuarixBlock*>& blocks, const QString& fullPath);

protected:
    // The first steps every factory block takes: the full path from the
    // context and the name from the entry's "name". Returns the entry's
    // "data_type", the name of the block's pins.
    QString readCommonKeys(const BlockContext* context, const QJsonValue& entry);
    // The common wake-up: lock the worker's mutex, wake it, unlock.
    void wakeWorker();
    // Creates the input pins, then the output pins, all named by the data type,
    // and connects each input's DataReady to the block's NewDataInTheInputPin(int).
    void createPins(int inputs, int outputs, const QString& dataType);

    void setConfigurationError(const QString& key, const QString& problem);
    // Deletes the stopped worker; a block whose members the worker uses calls
    // it from its own destructor, before those members go.
    void deleteWorker();

    bool m_dump = false;
    QList<PinInput*> m_inputPins;
    QList<PinOutput*> m_outputPins;
    BlockWorker* m_worker = nullptr;   // owned; blocks with another kind of worker manage their own

private:
    const BlockType* m_type = nullptr;
    ChainPlace m_chainPlace;
    QString m_name;
    QString m_fullPath;
    QString m_configurationError;
};

// The most derived class of every block: its destructor runs first and stops
// the worker while the block is still whole.
template <typename Block>
class ManagedBlock final : public Block {
public:
    using Block::Block;
    ~ManagedBlock() override { this->stopWorker(); }
};

template <typename Block, typename... Args>
Block* createBlock(Args&&... args)
{
    return new ManagedBlock<Block>(std::forward<Args>(args)...);
}
