#include "core/config_file.h"

#include <QFile>
#include <QJsonDocument>

namespace config_file {

QJsonObject read(const QString& path, bool* parsed)
{
    QFile file(path);
    QJsonDocument document;
    if (file.open(QIODevice::ReadOnly | QIODevice::Text))
        document = QJsonDocument::fromJson(file.readAll());
    if (parsed)
        *parsed = !document.isNull();
    return document.object();
}

}  // namespace config_file
