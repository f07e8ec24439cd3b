// The recording controls of a file-writing block (data dumper, oscilloscope,
// rate-counter sink): run state, file type, the folder that holds the run
// folders, run id and the file limits, written by the control side (clients,
// the commands block) and read by the block's worker once per message.
//
//     DumpControl control(QStringLiteral("BIN"), QStringLiteral("run_0"), context->storage_path);
//     control.applyRunCommand(block_message::command(message), message);   // "start_dump" ...
//     const DumpSettings now = control.settings();                         // in the worker
//
// Every file is made below the storage folder (dump_file::StorageRoot),
// opened once here. What a client names is checked before it is taken: a run
// id is one folder name (dump_file::isValidRunId), a folder must lie inside
// the storage folder once its symbolic links and ".." are resolved, and the
// file limits are whole numbers within bounds. A refused value is logged and
// the previous one kept. A block made without a storage folder (outside the
// server: tests, benchmarks) takes the first folder configure() names as its
// storage folder; configure() is called by the commands block only, with the
// configuration's "storage" "file_path".
//
// Integers are atomics; the strings and the storage root are copied under a
// small mutex, so a worker never sees a half-written value. A change acts at
// the worker's next message.
#pragma once

#include "blocks/common/dump_file.h"

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <memory>
#include <mutex>

// Run states shared by every file writer.
enum DumpRunState { DumpStopped = 0, DumpRunning = 1, DumpPaused = 2 };

// One consistent copy of the control fields.
struct DumpSettings {
    int status = DumpStopped;
    int dumpEvents = 0;
    int dumpTime = 0;
    QString fileType;
    QString filePath;         // the folder of the run folders, as given
    QString relativeFolder;   // the same folder below the storage root ("" for the root)
    QString runId;
    std::shared_ptr<const dump_file::StorageRoot> root;

    dump_file::Type type() const { return dump_file::typeOf(fileType); }
    // file_path/run_id/<block name>_<index>, without extension.
    QString baseName(const QString& blockName, int fileIndex) const;
    // The same file below the storage root, to be opened with dump_file::openTarget.
    dump_file::FileTarget target(const QString& blockName, int fileIndex) const;
};

class DumpControl {
public:
    // What a command did: not one of this block's commands, taken, or refused
    // (the previous value kept).
    enum class Reply { NotMine, Accepted, Refused };
    // The bounds of "set_dump_events" (files of at most this many events or
    // records) and "set_dump_time" (milliseconds between waveform records).
    static constexpr int kMinDumpEvents = 1;
    static constexpr int kMaxDumpEvents = 2147483647;
    static constexpr int kMinDumpTime = 1;
    static constexpr int kMaxDumpTime = 86400000;   // one day

    // `storagePath` is the storage folder; the run folders are made in it
    // until another folder is set.
    DumpControl(const QString& fileType, const QString& runId, const QString& storagePath);

    int status() const { return m_status.load(); }
    void setStatus(int status) { m_status.store(status); }
    int dumpEvents() const { return m_dumpEvents.load(); }
    void setDumpEvents(int events) { m_dumpEvents.store(events); }
    int dumpTime() const { return m_dumpTime.load(); }
    void setDumpTime(int milliseconds) { m_dumpTime.store(milliseconds); }

    void setFileType(const QString& fileType);
    // False (logged, the previous folder kept) unless the folder lies inside the storage folder.
    bool setFilePath(const QString& filePath);
    // False (logged, the previous run id kept) unless the run id is one folder name.
    bool setRunId(const QString& runId);
    QString runId() const;
    // The dump configuration of a run start: events per file, type, and the
    // folder of the run folders, checked as setFilePath does.
    void configure(int dumpEvents, const QString& fileType, const QString& filePath);

    DumpSettings settings() const;

    // The run commands every writer answers: "set_dump_type" (top-level
    // "file_type"), "set_dump_path" ("file_path"), "start_dump" (running),
    // "stop_dump", "pause_dump".
    Reply applyRunCommand(const QString& cmd, const QJsonObject& message);
    // "set_dump_events" ("dump_events") and "set_dump_time" ("dump_time"):
    // JSON numbers, whole and within the bounds above.
    Reply applyLimitCommand(const QString& cmd, const QJsonObject& message);

    // The reply text of a command's outcome: [{"response": true}] or
    // [{"response": false}]; empty for NotMine.
    static QLatin1String replyText(Reply reply);

private:
    std::atomic<int> m_status{DumpStopped};
    std::atomic<int> m_dumpEvents{0};
    std::atomic<int> m_dumpTime{0};
    mutable std::mutex m_mutex;   // guards the fields below
    QString m_fileType;
    QString m_filePath;
    QString m_relativeFolder;
    QString m_runId;
    std::shared_ptr<const dump_file::StorageRoot> m_root;
};
