#include "core/quarix_block.h"

#include "core/block_context.h"
#include "core/block_worker.h"
#include "core/pin_input.h"
#include "core/pin_output.h"

#include <QJsonObject>

QuarixBlock::QuarixBlock(QObject* parent) : QObject(parent) {}

QuarixBlock::~QuarixBlock()
{
    deleteWorker();
    qDeleteAll(m_inputPins);
    qDeleteAll(m_outputPins);
}

void QuarixBlock::setName(const QString& name)
{
    if (m_name != name)
        m_name = name;
}

void QuarixBlock::setFullPath(const QString& fullPath)
{
    if (m_fullPath != fullPath)
        m_fullPath = fullPath;
}

void QuarixBlock::setConfigurationError(const QString& key, const QString& problem)
{
    if (m_configurationError.isEmpty())
        m_configurationError = QStringLiteral("key \"%1\": %2").arg(key, problem);
}

bool QuarixBlock::ReadParameters(const QJsonValue&)
{
    return true;
}

void QuarixBlock::shutdown()
{
    stopWorker();
}

void QuarixBlock::deleteWorker()
{
    // A block made without createBlock() would reach here with its worker
    // still running over members already destroyed.
    if (m_worker && m_worker->isRunning())
        qFatal("block \"%s\" destroyed with its worker running: blocks are made with createBlock()",
               qPrintable(m_name));
    delete m_worker;
    m_worker = nullptr;
}

void QuarixBlock::stopWorker()
{
    if (m_worker)
        m_worker->stopAndWait();
}

bool QuarixBlock::interpret(QuarixBlock* block, const QString& data_in, QString* data_out)
{
    if (!block)
        return false;
    return QMetaObject::invokeMethod(block, "InterpretMessage", Qt::DirectConnection, Q_ARG(QString, data_in),
                                     Q_ARG(QString*, data_out));
}

QuarixBlock* QuarixBlock::findByName(const QList<QuarixBlock*>& blocks, const QString& name)
{
    for (QuarixBlock* block : blocks) {
        if (block->Name() == name)
            return block;
    }
    return nullptr;
}

QuarixBlock* QuarixBlock::findByFullPath(const QList<QuarixBlock*>& blocks, const QString& fullPath)
{
    for (QuarixBlock* block : blocks) {
        if (block->FullPath() == fullPath)
            return block;
    }
    return nullptr;
}

QString QuarixBlock::readCommonKeys(const BlockContext* context, const QJsonValue& entry)
{
    if (context)
        setFullPath(context->full_path);
    const QJsonObject object = entry.toObject();
    setName(object.value(QLatin1String("name")).toString());
    return object.value(QLatin1String("data_type")).toString();
}

void QuarixBlock::wakeWorker()
{
    if (!m_inputPins.isEmpty() && m_worker)
        m_worker->NewDataInTheInputPin();
}

void QuarixBlock::createPins(int inputs, int outputs, const QString& dataType)
{
    for (int i = 0; i < inputs; ++i)
        m_inputPins.append(new PinInput(nullptr, dataType));
    for (int i = 0; i < outputs; ++i)
        m_outputPins.append(new PinOutput(nullptr, dataType));
    for (PinInput* pin : m_inputPins)
        connect(pin, SIGNAL(DataReady(int)), this, SLOT(NewDataInTheInputPin(int)));
}
