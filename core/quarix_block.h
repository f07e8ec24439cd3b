// Base of every processing block: a name, a full path, a block type string,
// input and output pins, and the dump flag of the file-writing blocks.
//
// Blocks that answer clients declare the slot
//     void InterpretMessage(QString data_in, QString* data_out);
// which the WebSocket server and the commands block reach by name
// (QuarixBlock::interpret). Blocks with a stream worker keep it in m_worker;
// the base stops it in order (shutdown) before the pins go away.
#pragma once

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>

#include <cstdint>
#include <vector>

class BlockWorker;
struct BlockContext;
class PinInput;
class PinOutput;

// What a block destroyed or could not use itself, by cause (a name for
// clients); losses at its output pins are counted by the pins.
struct BlockLoss {
    const char* cause;
    uint64_t count;
    bool events;   // count is of events (false: of something else, such as failed reads)
};
using BlockLosses = std::vector<BlockLoss>;

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

    const QString& blockType() const { return m_blockType; }
    const QList<PinInput*>& inputPins() const { return m_inputPins; }
    const QList<PinOutput*>& outputPins() const { return m_outputPins; }
    bool dumpFlag() const { return m_dump; }

    // Reads the block-specific settings of the block entry; the base reads nothing.
    virtual bool ReadParameters(const QJsonValue& entry);

    // Orderly stop, used only when the process ends: the worker drains what is
    // queued for it, finishes (closing its files) and exits.
    virtual void shutdown();

    // Appends the losses this block counts itself, each cause once, even at 0.
    virtual void appendLosses(BlockLosses& losses) const { Q_UNUSED(losses) }

    // Empty unless the block entry was unusable; then it names the key and the
    // problem, and the start-up refuses the configuration.
    const QString& configurationError() const { return m_configurationError; }

    // Calls the block's InterpretMessage slot, if it has one. False when it has none.
    static bool interpret(QuarixBlock* block, const QString& data_in, QString* data_out);

    // First block of the list whose Name / FullPath equals the text, or none.
    static QuarixBlock* findByName(const QList<QuarixBlock*>& blocks, const QString& name);
    static QuarixBlock* findByFullPath(const QList<QuarixBlock*>& blocks, const QString& fullPath);

protected:
    // The first steps every factory block takes: set the block type, the full
    // path from the context and the name from the entry's "name". Returns the
    // entry's "data_type", the name of the block's pins.
    QString readCommonKeys(const QString& blockType, const BlockContext* context, const QJsonValue& entry);
    // The common wake-up: lock the worker's mutex, wake it, unlock.
    void wakeWorker();
    // Creates the input pins, then the output pins, all named by the data type,
    // and connects each input's DataReady to the block's NewDataInTheInputPin(int).
    void createPins(int inputs, int outputs, const QString& dataType);

    void setConfigurationError(const QString& key, const QString& problem);

    QString m_blockType;
    bool m_dump = false;
    QList<PinInput*> m_inputPins;
    QList<PinOutput*> m_outputPins;
    BlockWorker* m_worker = nullptr;   // owned; blocks with another kind of worker manage their own

private:
    QString m_name;
    QString m_fullPath;
    QString m_configurationError;
};
