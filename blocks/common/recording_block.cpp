#include "blocks/common/recording_block.h"

#include "core/block_context.h"
#include "core/block_worker.h"

RecordingBlock::RecordingBlock(QObject* parent, const BlockContext* context, const QString& fileType,
                               const QString& runId)
    : QuarixBlock(parent), m_control(fileType, runId, context ? context->storage_path : QString())
{
}

void RecordingBlock::configureRecording(int eventsPerFile, int dumpTimeMs, const QString& fileType,
                                        const QString& folder)
{
    m_control.setDumpTime(dumpTimeMs);
    m_control.configure(eventsPerFile, fileType, folder);
}

void RecordingBlock::startRecording(const QString& runId)
{
    if (!m_control.setRunId(runId))
        return;
    runStarting();
    m_control.setStatus(DumpRunning);
}

bool RecordingBlock::readRecordingEntry(const BlockContext* context, const QJsonValue& entry)
{
    const QString dataType = readCommonKeys(context, entry);
    const bool usable = ReadParameters(entry);
    m_dump = true;
    createPins(1, 0, dataType);
    return usable;
}

void RecordingBlock::startWorker(BlockWorker* worker)
{
    m_worker = worker;
    m_worker->start();
}
