#include "core/block_message.h"

#include <QJsonDocument>

namespace block_message {

const char* const kTrue = "[{\"response\": true}]";
const char* const kStatusFreerun = "[{\"response\": true, \"status\":\"freerun\"}]";
const char* const kStatusIdle = "[{\"response\": true, \"status\":\"idle\"}]";

QJsonObject parse(const QString& data_in)
{
    return QJsonDocument::fromJson(data_in.toUtf8()).object();
}

QJsonArray args(const QJsonObject& message)
{
    return message.value(QLatin1String("args")).toArray();
}

QString lastString(const QJsonArray& list, const QString& key)
{
    QString result;
    for (const QJsonValue& element : list) {
        const QJsonValue value = element.toObject().value(key);
        if (value.isString())
            result = value.toString();
    }
    return result;
}

QString command(const QJsonObject& message)
{
    return message.value(QLatin1String("cmd")).toString();
}

}  // namespace block_message
