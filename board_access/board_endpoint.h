// A data source of a board (an event stream, waveforms, counters) with the
// command sequences attached to it.
#pragma once

#include "board_access/board_command.h"

#include <QJsonObject>
#include <QList>
#include <QString>

struct BoardEndpoint {
    QString name;
    QString text;
    QString path;
    quint32 type = 1;   // 0 for "energy_sci_u32", 1 for anything else
    QString type_name;  // the "type" text as configured, empty when absent
    bool enable = false;
    QList<BoardCommand> start_commands;
    QList<BoardCommand> stop_commands;
    QList<BoardCommand> config_commands;
    QList<BoardCommand> reset_commands;

    static BoardEndpoint fromJson(const QJsonObject& object);
};
