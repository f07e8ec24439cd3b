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
//   {"cmd": "hv_on"} / {"cmd": "hv_off"}      every high-voltage block: global on / off
//
// The other blocks are reached through their slots by name, so this block
// depends on nothing but the block framework. The block list is searched at
// every command; the "storage" section of the configuration file is read
// again at every "start_dump".
#pragma once

#include "core/quarix_block.h"

#include <QList>
#include <QString>

class quarix_commands : public QuarixBlock {
    Q_OBJECT
public:
    quarix_commands(QList<QuarixBlock*>* blocks, const QString& config_path, QObject* parent = nullptr);

public slots:
    void InterpretMessage(QString data_in, QString* data_out);

private:
    QString runSource(const QString& endpoint, const char* slot) const;
    void resetSources() const;
    QString startDump(const QString& runId) const;
    // Calls the slot named `slot` of every file-writing block; `slot` takes no argument.
    void forEachDumpBlock(const char* slot) const;
    QString runInfo() const;
    QString statistics() const;
    void switchHighVoltage(const QString& request) const;

    QList<QuarixBlock*>* m_blocks;
    QString m_configPath;
};
