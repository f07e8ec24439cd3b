#include "blocks/common/recording_block.h"

#include "core/block_context.h"

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
