// One command of a board entry's "commands" list: a plugin query path that
// SendCommand sends, and the sequence it belongs to.
#pragma once

#include <QJsonObject>
#include <QString>

struct BoardCommand {
    enum Type { Config = 0, ConfigAll = 1, Start = 2, Stop = 3, Reset = 4, Other = 5 };

    QString name;
    QString text;
    QString path;
    int command_type = Other;
    bool display_ui = false;
    bool loop = false;
    bool attached = false;   // its "endpoint_type" named an existing endpoint

    static BoardCommand fromJson(const QJsonObject& object);
};
