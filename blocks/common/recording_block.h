// The base of the blocks that record files (the list-event dumper, the
// oscilloscope, the rate-counter sink): their recording controls and the
// typed RecordingControl the commands block drives. The slots StartDump,
// StopDump, PauseDump and ReStartDump stay for anything that calls them by
// name, each a one-line forward.
#pragma once

#include "blocks/common/dump_control.h"
#include "core/quarix_block.h"
#include "core/recording_control.h"

struct BlockContext;

class RecordingBlock : public QuarixBlock, public RecordingControl {
    Q_OBJECT
public:
    // Takes the file limits, type and folder of a run start; dumpTimeMs is
    // used by the blocks that record on a timer.
    void configureRecording(int eventsPerFile, int dumpTimeMs, const QString& fileType,
                            const QString& folder) override;
    // A refused run id changes nothing (the reason is logged).
    void startRecording(const QString& runId) override;
    void stopRecording() override { m_control.setStatus(DumpStopped); }
    void pauseRecording() override { m_control.setStatus(DumpPaused); }
    void restartRecording() override { m_control.setStatus(DumpRunning); }

public slots:
    void StartDump(QString run_id) { startRecording(run_id); }
    void StopDump() { stopRecording(); }
    void PauseDump() { pauseRecording(); }
    void ReStartDump() { restartRecording(); }

protected:
    // Every file the block makes lies below the context's storage folder;
    // the file type and run id hold until a client or a run start sets them.
    RecordingBlock(QObject* parent, const BlockContext* context, const QString& fileType = QString(),
                   const QString& runId = QStringLiteral("0"));

    // The first steps of every recording block's constructor: the common
    // keys, the block's parameters (ReadParameters), one input pin and no
    // output. True when the entry is usable, so the worker may be made.
    bool readRecordingEntry(const BlockContext* context, const QJsonValue& entry);
    // Takes the worker made for a usable entry and starts it.
    void startWorker(BlockWorker* worker);

    // Runs when a run id is accepted, just before the run state turns to running.
    virtual void runStarting() {}

    DumpControl m_control;
};
