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
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

class QuarixBlock;
class QWebSocket;
class QWebSocketServer;

class MainWebSocket : public QObject {
    Q_OBJECT
public:
    // When the port cannot be bound the server stays inert and silent.
    MainWebSocket(quint16 port, bool debug, QList<QuarixBlock*>* blocks, QObject* parent = nullptr);
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
    QString answer(const QString& route, const QString& message) const;

    QWebSocketServer* m_server;
    QList<QWebSocket*> m_clients;
    QList<QuarixBlock*>* m_blocks = nullptr;   // not owned; searched at every message
    bool m_debug;
};
