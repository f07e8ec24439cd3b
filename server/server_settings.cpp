#include "server/server_settings.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QUrl>

#include <algorithm>
#include <cmath>

namespace {
const QLatin1String kSection("server");

QString valueText(const QJsonValue& value)
{
    // The value as it would be written in the file, shortened.
    QString text;
    if (value.isObject())
        text = QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
    else if (value.isArray())
        text = QString::fromUtf8(QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact));
    else
        text = QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
    return text.size() > 60 ? text.left(57) + QStringLiteral("...") : text;
}

QString problem(const QString& key, const QString& what)
{
    return QStringLiteral("Configuration error in \"%1\", key \"%2\": %3").arg(kSection, key, what);
}

// A whole number of bytes within the bounds, or the default when the key is absent.
bool readBytes(const QJsonObject& section, const QString& key, qint64 low, qint64 high, qint64* out, QString* error)
{
    if (!section.contains(key))
        return true;
    const QJsonValue value = section.value(key);
    const double number = value.toDouble(-1.0);
    if (!value.isDouble() || std::floor(number) != number || number < double(low) || number > double(high)) {
        *error = problem(key, QStringLiteral("must be a whole number of bytes from %1 to %2, not %3")
                                  .arg(low)
                                  .arg(high)
                                  .arg(valueText(value)));
        return false;
    }
    *out = qint64(number);
    return true;
}

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        return 80;
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        return 443;
    return -1;
}

// "scheme://host:port" with the port written out, or an empty string when the
// text is not an origin (scheme, host and optional port, nothing else).
QString normalisedOrigin(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty() || !url.userInfo().isEmpty() ||
        !url.path().isEmpty() || url.hasQuery() || url.hasFragment())
        return QString();
    const QString scheme = url.scheme().toLower();
    const int port = url.port(defaultPort(scheme));
    if (port < 0)
        return QString();
    return QStringLiteral("%1://%2:%3").arg(scheme, url.host().toLower()).arg(port);
}

bool isTokenCharacter(QChar c)
{
    // URL characters that need no escaping in a query: the token can be pasted as it is.
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') || c == QLatin1Char('.') ||
           c == QLatin1Char('_') || c == QLatin1Char('~');
}
}  // namespace

bool ServerSettings::read(const QJsonObject& config, ServerSettings* settings, QString* error)
{
    if (!config.contains(kSection))
        return true;
    if (!config.value(kSection).isObject()) {
        *error = QStringLiteral("Configuration error in \"%1\": must be an object, not %2")
                     .arg(kSection, valueText(config.value(kSection)));
        return false;
    }
    const QJsonObject section = config.value(kSection).toObject();
    ServerSettings read;

    if (!readBytes(section, QStringLiteral("max_message_bytes"), kMinMaxMessageBytes, kMaxMaxMessageBytes,
                   &read.maxMessageBytes, error))
        return false;
    if (!readBytes(section, QStringLiteral("max_client_backlog_bytes"), kMinMaxClientBacklogBytes,
                   kMaxMaxClientBacklogBytes, &read.maxClientBacklogBytes, error))
        return false;

    const QString originsKey = QStringLiteral("allowed_origins");
    if (section.contains(originsKey)) {
        const QJsonValue value = section.value(originsKey);
        if (!value.isArray()) {
            *error = problem(originsKey, QStringLiteral("must be an array of origins such as \"http://lab-pc:51235\", "
                                                        "not %1")
                                             .arg(valueText(value)));
            return false;
        }
        const QJsonArray origins = value.toArray();
        for (int i = 0; i < origins.size(); ++i) {
            const QString origin = normalisedOrigin(origins.at(i).toString());
            if (!origins.at(i).isString() || origin.isEmpty()) {
                *error = problem(originsKey, QStringLiteral("entry %1 must be an origin: scheme, host and optional "
                                                            "port, such as \"http://lab-pc:51235\", not %2")
                                                 .arg(i)
                                                 .arg(valueText(origins.at(i))));
                return false;
            }
            read.allowedOrigins.append(origin);
        }
    }

    const QString addressesKey = QStringLiteral("listen_addresses");
    if (section.contains(addressesKey)) {
        const QJsonValue value = section.value(addressesKey);
        if (!value.isArray() || value.toArray().isEmpty()) {
            *error = problem(addressesKey, QStringLiteral("must be a non-empty array of IP addresses such as "
                                                          "\"127.0.0.1\" or \"::1\" (leave the key out to listen on "
                                                          "every address), not %1")
                                               .arg(valueText(value)));
            return false;
        }
        const QJsonArray addresses = value.toArray();
        for (int i = 0; i < addresses.size(); ++i) {
            QHostAddress address;
            if (!addresses.at(i).isString() || !address.setAddress(addresses.at(i).toString()) ||
                read.listenAddresses.contains(address)) {
                *error = problem(addressesKey, QStringLiteral("entry %1 must be an IP address (each one once), "
                                                              "such as \"127.0.0.1\" or \"::1\", not %2")
                                                   .arg(i)
                                                   .arg(valueText(addresses.at(i))));
                return false;
            }
            read.listenAddresses.append(address);
        }
    }

    const QString tokenKey = QStringLiteral("access_token");
    if (section.contains(tokenKey) && !section.value(tokenKey).isNull()) {
        const QJsonValue value = section.value(tokenKey);
        const QString token = value.toString();
        const bool usable = value.isString() && token.size() >= kMinTokenLength && token.size() <= kMaxTokenLength &&
                            std::all_of(token.begin(), token.end(), isTokenCharacter);
        if (!usable) {
            // The value itself is not repeated: it is meant to be a secret.
            *error = problem(tokenKey, QStringLiteral("must be a string of %1 to %2 characters from A-Z, a-z, 0-9 "
                                                      "and - . _ ~")
                                           .arg(kMinTokenLength)
                                           .arg(kMaxTokenLength));
            return false;
        }
        read.accessToken = token;
    }

    const QString httpPortKey = QStringLiteral("http_port");
    if (section.contains(httpPortKey)) {
        const QJsonValue value = section.value(httpPortKey);
        const double number = value.toDouble(-1.0);
        if (!value.isDouble() || std::floor(number) != number || number < 0 || number > 65535 ||
            number == kWebSocketPort) {
            *error = problem(httpPortKey, QStringLiteral("must be a port number from 1 to 65535 other than the "
                                                         "WebSocket port %1, or 0 to switch the dashboard off, not %2")
                                              .arg(kWebSocketPort)
                                              .arg(valueText(value)));
            return false;
        }
        read.httpPort = int(number);
    }

    *settings = read;
    return true;
}

bool ServerSettings::originAllowed(const QString& origin) const
{
    if (origin.isEmpty())
        return true;
    const QString normalised = normalisedOrigin(origin);
    if (normalised.isEmpty())
        return false;
    const QString host = QUrl(origin).host().toLower();
    if (host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1") || host == QLatin1String("::1"))
        return true;
    return allowedOrigins.contains(normalised);
}

bool ServerSettings::tokenAccepted(const QString& presented) const
{
    if (accessToken.isEmpty())
        return true;
    const QByteArray expected = accessToken.toUtf8();
    const QByteArray given = presented.toUtf8();
    // Every byte of the expected token is looked at whatever the given one holds.
    unsigned difference = unsigned(expected.size() ^ given.size());
    for (int i = 0; i < expected.size(); ++i)
        difference |= unsigned(uchar(expected.at(i)) ^ uchar(i < given.size() ? given.at(i) : 0));
    return difference == 0;
}
