// One element of a board's "configs" groups: a plugin parameter path with the
// value (scalar) or per-channel values (array types) to write to it.
#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

struct BoardParameter {
    enum ValueType { List = 0, U32 = 1, Boolean = 4, BoolArray = 5, ListArray = 6, U32Array = 7, StringArray = 8, OtherType = 9 };

    QString name;
    QString path;
    bool writable = true;
    int value_type = OtherType;
    QStringList values;   // one per channel: writable string/list/u32 arrays only
    bool direct_apply = false;
    QString value;        // scalar value; also the number a bool_array encodes

    static BoardParameter fromJson(const QJsonObject& object);

    // The plugin path of one channel: every backslash becomes "\Channel<c>\".
    static QString channelPath(const QString& path, int channel);
};
