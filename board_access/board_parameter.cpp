#include "board_access/board_parameter.h"

#include <QJsonArray>

namespace {
int valueTypeCode(const QString& text)
{
    if (text == QLatin1String("list"))
        return BoardParameter::List;
    if (text == QLatin1String("u32"))
        return BoardParameter::U32;
    if (text == QLatin1String("boolean"))
        return BoardParameter::Boolean;
    if (text == QLatin1String("bool_array"))
        return BoardParameter::BoolArray;
    if (text == QLatin1String("list_array"))
        return BoardParameter::ListArray;
    if (text == QLatin1String("u32_array"))
        return BoardParameter::U32Array;
    if (text == QLatin1String("string_array"))
        return BoardParameter::StringArray;
    return BoardParameter::OtherType;
}

// The bits are listed from channel 0 up; channel 0 is the least significant digit.
QString boolArrayValue(const QJsonArray& bits)
{
    QString binary;
    for (int i = bits.size() - 1; i >= 0; --i)
        binary += bits.at(i).toString();
    bool ok = false;
    const qlonglong number = binary.toLongLong(&ok, 2);
    return QString::number(ok ? number : 0);
}
}  // namespace

BoardParameter BoardParameter::fromJson(const QJsonObject& object)
{
    BoardParameter parameter;
    parameter.name = object.value(QLatin1String("name")).toString();
    parameter.path = object.value(QLatin1String("path")).toString();
    parameter.writable = object.value(QLatin1String("access")).toString() != QLatin1String("read_only");
    parameter.value_type = valueTypeCode(object.value(QLatin1String("value_type")).toString());
    if (!parameter.writable)
        return parameter;

    const QJsonArray values = object.value(QLatin1String("values")).toArray();
    if (parameter.value_type == BoolArray) {
        parameter.value = boolArrayValue(values);
    } else if (parameter.value_type == StringArray || parameter.value_type == ListArray ||
               parameter.value_type == U32Array) {
        for (const QJsonValue& element : values) {
            if (element.isString())
                parameter.values.append(element.toString());
            else if (element.isDouble())
                parameter.values.append(QString::number(element.toDouble(), 'g', 6));
            else if (element.isBool())
                parameter.values.append(element.toBool() ? QStringLiteral("1") : QStringLiteral("0"));
        }
    } else {
        parameter.value = object.value(QLatin1String("value")).toString();
    }
    parameter.direct_apply = object.value(QLatin1String("direct_apply")).toBool(false);
    return parameter;
}

QString BoardParameter::channelPath(const QString& path, int channel)
{
    QString result = path;
    result.replace(QLatin1Char('\\'), QStringLiteral("\\Channel%1\\").arg(channel));
    return result;
}
