// The settings of the control server: the optional top-level "server" section
// of the configuration file.
//
//     "server": {
//         "max_message_bytes": 1048576,           // largest message a client may send
//         "max_client_backlog_bytes": 16777216,   // replies a client may leave unread
//         "allowed_origins": ["http://lab-pc:51235"],
//         "listen_addresses": ["127.0.0.1", "::1"],
//         "access_token": "k3Jx-9fQ...",
//         "http_port": 51235                      // the dashboard's web server; 0: none
//     }
//
// Every key is optional; without the section the server behaves as it always
// did (every address, no token), with the default limits and the dashboard
// on port 51235. Other keys of the section are left to their readers.
#pragma once

#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

struct ServerSettings {
    static constexpr quint16 kWebSocketPort = 51234;
    static constexpr int kDefaultHttpPort = 51235;
    static constexpr qint64 kDefaultMaxMessageBytes = 1048576;          // 1 MiB
    static constexpr qint64 kMinMaxMessageBytes = 1024;
    static constexpr qint64 kMaxMaxMessageBytes = 268435456;            // 256 MiB
    static constexpr qint64 kDefaultMaxClientBacklogBytes = 16777216;   // 16 MiB
    static constexpr qint64 kMinMaxClientBacklogBytes = 65536;
    static constexpr qint64 kMaxMaxClientBacklogBytes = 1073741824;     // 1 GiB
    static constexpr int kMinTokenLength = 16;
    static constexpr int kMaxTokenLength = 256;

    qint64 maxMessageBytes = kDefaultMaxMessageBytes;
    qint64 maxClientBacklogBytes = kDefaultMaxClientBacklogBytes;
    // Origins allowed besides the local ones, as "scheme://host:port" with the
    // scheme and host in lower case and the port always written out.
    QStringList allowedOrigins;
    // Empty: every address of the machine.
    QList<QHostAddress> listenAddresses;
    // Empty: no token asked for.
    QString accessToken;
    // The port of the dashboard's web server, on the same addresses; 0: no web server.
    int httpPort = kDefaultHttpPort;

    // Reads the "server" section of a configuration. On a bad value returns
    // false and sets *error to one line naming the section, the key and the
    // accepted values; *settings is then unchanged.
    static bool read(const QJsonObject& config, ServerSettings* settings, QString* error);

    // Whether a browser connection with this Origin header may connect: an
    // empty origin (no header: not a browser) always may, as may every origin
    // whose host is localhost, 127.0.0.1 or ::1, and the configured ones.
    bool originAllowed(const QString& origin) const;

    // Whether the token a client presented is the configured one, compared in
    // a time that does not depend on where the two differ. True when no token
    // is configured.
    bool tokenAccepted(const QString& presented) const;
};
