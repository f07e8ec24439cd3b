// The rate-counter sink: keeps the latest rate-counter snapshot and a history
// of recent ones (newest first, at most 10001) for the clients, and while a
// run is recorded appends every snapshot to one rate file per run.
//
// Clients address it by full path with an argument list:
//     {"path": "...", "args": [{"cmd": "get_data"}, {"source": "immediate"}]}
// The dump settings of "set_dump_type", "set_dump_path" and "start_dump" are
// top-level keys ("file_type", "file_path", "run_id").
#pragma once

#include "blocks/rate_counters/rate_file_writer.h"
#include "core/block_worker.h"
#include "blocks/common/dump_control.h"
#include "core/quarix_block.h"
#include "blocks/common/recording_block.h"

#include <QElapsedTimer>
#include <QStringList>

#include <deque>
#include <memory>
#include <mutex>

struct BlockContext;
class QuarixPayload_RateCounters;
class SinkRateCounter_Thread;

class SinkRateCounter : public RecordingBlock {
    Q_OBJECT
public:
    SinkRateCounter(QObject* parent, BlockContext* context, const QJsonValue& entry);

    Records records() const override { return Records::RateCounters; }

    bool ReadParameters(const QJsonValue& entry) override;
    const QStringList& channelMap() const { return m_channelMap; }
    // "channels" of the latest snapshot (0 before the first) and the "channel_map" as "labels".
    void describeView(QJsonObject& view) const override;

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);
    void ConfigureDump(int dump_events, QString file_type, QString file_path);

protected:
    void runStarting() override;

private:
    void appendLatest(QString* data_out) const;
    void appendHistory(QString* data_out) const;

    QStringList m_channelMap;
    SinkRateCounter_Thread* m_sink = nullptr;   // the worker, owned through m_worker
};

class SinkRateCounter_Thread : public BlockWorker {
    Q_OBJECT
public:
    using Snapshot = std::shared_ptr<const QuarixPayload_RateCounters>;
    static constexpr std::size_t kHistoryCapacity = 10000;

    SinkRateCounter_Thread(const QString& name, const QList<PinInput*>* inputs, DumpControl* control,
                           const QStringList& channelMap);

    // Snapshots are immutable once stored, so the control side takes these
    // copies under the data mutex and formats its replies without it.
    Snapshot latest() const;
    std::vector<Snapshot> history() const;
    void resetHistory();

protected:
    void process(PinMessage& message) override;
    void finish() override;

private:
    void store(const Snapshot& snapshot);
    void record(const DumpSettings& settings, const QuarixPayload_RateCounters& snapshot);

    DumpControl* const m_control;
    const QStringList m_channelMap;   // kept for the clients' sake; not used in the files

    mutable std::mutex m_dataMutex;   // guards the two fields below
    Snapshot m_latest;
    std::deque<Snapshot> m_history;   // newest first

    RateFileWriter m_file;
    bool m_newFile = true;   // the next record of a run opens the file
    QElapsedTimer m_fileTimer;
};
