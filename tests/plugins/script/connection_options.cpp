#include "connection_options.h"

#include <QList>

#include <limits>

bool ConnectionOptions::parse(const QByteArray& text, ConnectionOptions* options, QString* error)
{
    const QList<QByteArray> pairs = text.split(';');
    for (const QByteArray& pair : pairs) {
        if (pair.isEmpty())
            continue;
        const int equals = pair.indexOf('=');
        if (equals < 0) {
            *error = QStringLiteral("connection part without '=': ") + QString::fromLatin1(pair);
            return false;
        }
        const QByteArray key = pair.left(equals);
        const QByteArray value = pair.mid(equals + 1);
        bool ok = true;
        if (key == "script") {
            options->scriptPath = value;
        } else if (key == "log") {
            options->logPath = value;
        } else if (key == "open_status") {
            options->openStatus = value.toInt(&ok);
        } else if (key == "open_delay_ms") {
            options->openDelayMs = value.toUInt(&ok);
        } else if (key == "handle") {
            const qulonglong handle = value.toULongLong(&ok);
            ok = ok && handle <= std::numeric_limits<uint32_t>::max();
            options->handle = static_cast<uint32_t>(handle);
            options->hasHandle = ok;
        } else {
            *error = QStringLiteral("unknown connection key: ") + QString::fromLatin1(key);
            return false;
        }
        if (!ok) {
            *error = QStringLiteral("bad number in connection part: ") + QString::fromLatin1(pair);
            return false;
        }
    }
    return true;
}
