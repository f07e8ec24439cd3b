// The control interface: a plain WebSocket server on which every text message
// is routed to one block and answered with exactly one text message.
//
// The route is the path the client connected with, fully decoded, with every
// "/" removed. On the route "query_by_json" each message's "path" names the
// target block's FullPath; any other route is the target block's Name.
//
//     ws://host:51234/commands        -> block named "commands"
//     ws://host:51234/query_by_json   {"path": "processing/0/filter_chain/main/chain/spec1", "args": [...]}
//
// The reply is whatever the block's InterpretMessage wrote, or an empty text
// when no served block was found. Binary messages are echoed back.
//
// Messages wait in one queue per client and the clients take turns, one
// message each per turn: a client that sends requests without pause delays the
// others by at most one answer per turn. A client with many messages waiting
// is read no further until they are answered (or for 2 s), so what it sends
// meanwhile waits in the network, not in the server.
//
// Hostile or broken clients are held to the settings (ServerSettings):
// - a message larger than maxMessageBytes is refused as soon as its frame
//   header announces it (or, sent in pieces, as soon as the pieces pass the
//   limit): the connection is closed with code 1009 and one log line;
// - a client that leaves more than maxClientBacklogBytes of replies unread, or
//   has more than that of requests waiting for their turn, is disconnected
//   with one log line (a reset, at once), and what it left is freed;
// - a browser connection (one that sends an Origin header) is accepted only
//   from a local page or an allowed origin;
// - with an access token configured, a connection without "?token=<token>"
//   in its URL is closed with code 1008 and one log line.
// A connection the server closes gets the close message and then up to two
// seconds in which what it still sends is read and thrown away, so that the
// close code reaches a client that was still sending.
#pragma once

#include "server/server_settings.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

#include <deque>

class QuarixBlock;
class QWebSocket;
class QWebSocketCorsAuthenticator;
class QWebSocketServer;

class MainWebSocket : public QObject {
    Q_OBJECT
public:
    // When the port cannot be bound the server stays inert; it is silent about
    // it unless the addresses were configured.
    MainWebSocket(quint16 port, bool debug, QList<QuarixBlock*>* blocks, QObject* parent = nullptr,
                  const ServerSettings& settings = ServerSettings());
    ~MainWebSocket() override;

    bool isListening() const;

signals:
    void closed();

private slots:
    void onNewConnection();
    void processTextMessage(QString message);
    void processBinaryMessage(QByteArray message);
    void socketDisconnected();

private:
    struct Waiting {
        QString text;
        QByteArray binary;
        bool isBinary = false;
    };
    struct Queue {
        std::deque<Waiting> messages;
        qint64 bytes = 0;
        bool inTurns = false;   // listed in m_turns
        bool paused = false;    // its socket is not read until the queue is empty, or for 2 s
    };

    QString answer(const QString& route, const QString& message) const;
    void checkOrigin(QWebSocketCorsAuthenticator* authenticator) const;
    void accept(QWebSocket* client);
    void reportClose(QWebSocket* client);
    void enqueue(QWebSocket* client, Waiting message, qint64 size);
    void serveOneTurn();
    void resumeReading(QWebSocket* client);
    void serve(QWebSocket* client, const Waiting& message);
    void enforceBacklog(QWebSocket* client);
    void noteHeld(QWebSocket* client, qint64 bytes);
    void cutOff(QWebSocket* client, const QString& reason);

    QList<QWebSocketServer*> m_servers;
    QList<QWebSocket*> m_clients;
    QHash<QWebSocket*, Queue> m_queues;   // clients with messages waiting
    QList<QWebSocket*> m_turns;           // their order for the next turn
    bool m_turnPosted = false;
    QSet<QWebSocket*> m_largeClients;     // clients that held a lot of memory at some time
    QList<QuarixBlock*>* m_blocks = nullptr;   // not owned; searched at every message
    bool m_debug;
    ServerSettings m_settings;
};
