// The recording controls of a file-writing block (data dumper, oscilloscope,
// rate-counter sink): run state, file type, storage folder, run id and the
// file limits, written by the control side (clients, the commands block) and
// read by the block's worker once per message.
//
//     DumpControl control(QStringLiteral("BIN"), QStringLiteral("/tmp"), QStringLiteral("run_0"));
//     control.applyRunCommand(block_message::command(message), message);   // "start_dump" ...
//     const DumpSettings now = control.settings();                         // in the worker
//
// Integers are atomics; the three strings are copied under a small mutex, so
// a worker never sees a half-written string. A change acts at the worker's
// next message.
#pragma once

#include "core/dump_file.h"

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <mutex>

// Run states shared by every file writer.
enum DumpRunState { DumpStopped = 0, DumpRunning = 1, DumpPaused = 2 };

// One consistent copy of the control fields.
struct DumpSettings {
    int status = DumpStopped;
    int dumpEvents = 0;
    int dumpTime = 0;
    QString fileType;
    QString filePath;
    QString runId;

    dump_file::Type type() const { return dump_file::typeOf(fileType); }
    // file_path/run_id/<block name>_<index>, without extension.
    QString baseName(const QString& blockName, int fileIndex) const;
};

class DumpControl {
public:
    DumpControl(const QString& fileType, const QString& filePath, const QString& runId);

    int status() const { return m_status.load(); }
    void setStatus(int status) { m_status.store(status); }
    int dumpEvents() const { return m_dumpEvents.load(); }
    void setDumpEvents(int events) { m_dumpEvents.store(events); }
    int dumpTime() const { return m_dumpTime.load(); }
    void setDumpTime(int milliseconds) { m_dumpTime.store(milliseconds); }

    void setFileType(const QString& fileType);
    void setFilePath(const QString& filePath);
    void setRunId(const QString& runId);
    QString runId() const;
    // The dump configuration of a run start: events per file, type, storage root.
    void configure(int dumpEvents, const QString& fileType, const QString& filePath);

    DumpSettings settings() const;

    // The run commands every writer answers: "set_dump_type" (top-level
    // "file_type"), "set_dump_path" ("file_path"), "start_dump" (running),
    // "stop_dump", "pause_dump". True when `cmd` was one of them.
    bool applyRunCommand(const QString& cmd, const QJsonObject& message);
    // "set_dump_events" ("dump_events") and "set_dump_time" ("dump_time"),
    // integers that read 0 when absent. True when `cmd` was one of them.
    bool applyLimitCommand(const QString& cmd, const QJsonObject& message);

private:
    std::atomic<int> m_status{DumpStopped};
    std::atomic<int> m_dumpEvents{0};
    std::atomic<int> m_dumpTime{0};
    mutable std::mutex m_mutex;   // guards the three strings
    QString m_fileType;
    QString m_filePath;
    QString m_runId;
};
