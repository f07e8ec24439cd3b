// The global commands block ("commands"): runs that concern the whole
// acquisition. Clients send single commands to the route /commands:
//
//   {"cmd": "start", "endpoint": "src0"}      source Run()
//   {"cmd": "stop", "endpoint": "src0"}       source Stop()
//   {"cmd": "reset"}                          every source: Stop(), Flush(), Start()
//   {"cmd": "start_dump", "run_id": "r1"}     run folder <storage>/r1, sources reset, enabled writers started
//   {"cmd": "stop_dump"} / "pause_dump" / "restart_dump"   every file-writing block
//   {"cmd": "get_run_info"}                   [<run info of each dumper>,...]
//   {"cmd": "get_statistics"}                 [<events in/out, losses and pin queues of each block>,...]
//   {"cmd": "get_configuration"}              {"boards":..,"chains":..,"blocks":..,"websocket_port":..,"http_port":..}
//   {"cmd": "hv_on"} / {"cmd": "hv_off"}      every high-voltage block: global on / off
//
// Sources are reached through their slots by name and recording blocks
// through the RecordingControl interface, so this block depends on nothing
// but the block framework. The block list is searched at
// every command; the "storage" section of the configuration file is read
// again at every "start_dump".
//
// The storage folder the configuration names when the block is made is the
// one every run is recorded below: a run id must be one folder name
// (dump_file::isValidRunId), the "file_path" read at a run start must lie
// inside that folder, and the run folder is made below it (never through a
// symbolic link leading out of it). A refused run is logged and answered
// [{"response": false}].
#pragma once

#include "blocks/common/dump_file.h"
#include "core/quarix_block.h"
#include "core/source_control.h"

#include <QJsonObject>
#include <QList>
#include <QString>

#include <memory>

class RecordingControl;
class quarix_commands : public QuarixBlock {
    Q_OBJECT
public:
    quarix_commands(QList<QuarixBlock*>* blocks, const QString& config_path, QObject* parent = nullptr);

    // What the server knows beyond its blocks ("boards", "websocket_port",
    // "http_port"), given by the start-up; "get_configuration" answers it
    // together with the chains and the blocks.
    void setServerDescription(const QJsonObject& description) { m_serverDescription = description; }

public slots:
    void InterpretMessage(QString data_in, QString* data_out);

private:
    QString runSource(const QString& endpoint, void (SourceControl::*operation)()) const;
    void resetSources() const;
    QString startDump(const QString& runId) const;
    // Calls the operation on every recording block whose dump flag is set.
    void forEachWriter(void (RecordingControl::*operation)()) const;
    QString runInfo() const;
    QString statistics() const;
    QString configuration() const;
    void switchHighVoltage(const QString& request) const;

    QList<QuarixBlock*>* m_blocks;
    QString m_configPath;
    QJsonObject m_serverDescription;
    std::shared_ptr<const dump_file::StorageRoot> m_storage;   // null when the folder cannot be opened
};
