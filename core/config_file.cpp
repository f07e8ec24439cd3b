#include "core/config_file.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>

namespace config_file {

QJsonObject read(const QString& path, bool* parsed, QString* problem)
{
    QFile file(path);
    QJsonDocument document;
    QString why;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        why = QStringLiteral("cannot be read: %1").arg(file.errorString());
    } else {
        QJsonParseError error{};
        document = QJsonDocument::fromJson(file.readAll(), &error);
        if (document.isNull())
            why = QStringLiteral("is not JSON: %1 at byte %2").arg(error.errorString()).arg(error.offset);
        else if (!document.isObject())
            why = QStringLiteral("has no object at its top level");
    }
    if (parsed)
        *parsed = why.isEmpty();
    if (problem)
        *problem = why;
    return document.object();
}

}  // namespace config_file
