// The data dumper: writes every payload it receives to list-event files of a
// run (file_path/run_id/<name>_<index> + extension), starts a new file once
// the current one holds more than dump_events events, and keeps run
// statistics that it appends once a second to a ".stat" file beside the data
// file and reports through GetRunInfo. Files are always created new: a data or
// statistics file whose name is taken is logged and ends the run, so that a
// recorded run is never written over.
//
// The commands block drives it through RecordingControl (whose operations
// forward to the dump slots, kept for callers by name); the WebSocket server
// reaches InterpretMessage ({"cmd": "set_dump_type", "file_type": "BIN"} ...).
// State changes act when the worker handles its next message.
#pragma once

#include "blocks/dumper/list_file_writer.h"
#include "blocks/dumper/run_statistics_file.h"
#include "core/block_worker.h"
#include "blocks/common/dump_control.h"
#include "core/quarix_block.h"
#include "blocks/common/recording_block.h"

#include <QElapsedTimer>

#include <atomic>
#include <cstdint>

struct BlockContext;

// Written by the worker, read by GetRunInfo, reset by StartDump.
struct DumpRunStatistics {
    std::atomic<double> runningTime{0.0};   // seconds since the run's first file was opened
    std::atomic<double> eventRate{0.0};     // events per second over the last interval
    std::atomic<int64_t> storedEvents{0};   // events handed to the data files this run
    std::atomic<int64_t> usedSpace{0};      // write position of the current data file
};

class DataDumper : public RecordingBlock {
    Q_OBJECT
public:
    DataDumper(QObject* parent, BlockContext* context, const QJsonValue& entry);

    Records records() const override { return Records::ListEvents; }
    // The file type ("format") set now: by the last run start or "set_dump_type".
    void describeView(QJsonObject& view) const override;
    bool appendRunInfo(QString* out) override
    {
        GetRunInfo(out);
        return true;
    }

public slots:
    void NewDataInTheInputPin(int FifoLevel);
    void InterpretMessage(QString data_in, QString* data_out);
    void ConfigureDump(int dump_events, QString file_type, QString file_path);
    // Appends {"status":..,"name": "..","event_rate":..,"id":..,"stored_events":..,"running_time":..,"used_space":..}
    void GetRunInfo(QString* data_out);

protected:
    void runStarting() override;

private:
    DumpRunStatistics m_statistics;
};

class DataDumper_Thread : public BlockWorker {
    Q_OBJECT
public:
    DataDumper_Thread(const QString& name, const QList<PinInput*>* inputs, DumpControl* control,
                      DumpRunStatistics* statistics);

protected:
    void process(PinMessage& message) override;
    void finish() override;

private:
    bool openDataFile(const DumpSettings& settings);
    void closeRun();
    void updateStatistics(const DumpSettings& settings, int64_t batchEvents);

    DumpControl* const m_control;
    DumpRunStatistics* const m_statistics;

    ListFileWriter m_file;
    RunStatisticsFile m_statisticsFile;
    int m_fileIndex = 0;
    int64_t m_eventsInFile = 0;
    bool m_statisticsHeaderPending = false;
    double m_rateAccumulator = 0.0;
    QElapsedTimer m_runTimer;
    QElapsedTimer m_rateTimer;
};
