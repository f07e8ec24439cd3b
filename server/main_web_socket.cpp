#include "server/main_web_socket.h"

#include "core/quarix_block.h"

#include <QDebug>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QWebSocket>
#include <QWebSocketServer>

#include <utility>

namespace {
const QLatin1String kQueryByJson("query_by_json");

// Block types a client reaches through "query_by_json" and by name.
const char* const kServedByPath[] = {"image", "position", "spectrum", "tof_histogram", "rate_counters_sink", "hv"};
const char* const kServedByName[] = {"oscilloscope", "dumper", "commands", "hv"};

template <size_t N>
bool isServed(const QuarixBlock* block, const char* const (&types)[N])
{
    for (const char* type : types) {
        if (block->blockType() == QLatin1String(type))
            return true;
    }
    return false;
}

QString routeOf(const QWebSocket* client)
{
    return client->requestUrl().path(QUrl::FullyDecoded).remove(QLatin1Char('/'));
}

QString pathOf(const QString& message)
{
    return QJsonDocument::fromJson(message.toUtf8()).object().value(QLatin1String("path")).toString();
}
}  // namespace

MainWebSocket::MainWebSocket(quint16 port, bool debug, QList<QuarixBlock*>* blocks, QObject* parent)
    : QObject(parent),
      m_server(new QWebSocketServer(QStringLiteral("Main Server"), QWebSocketServer::NonSecureMode, this)),
      m_debug(debug)
{
    if (!m_server->listen(QHostAddress::Any, port))
        return;
    if (m_debug)
        qDebug() << "Main server listening on port" << port;
    m_blocks = blocks;
    connect(m_server, &QWebSocketServer::newConnection, this, &MainWebSocket::onNewConnection);
    connect(m_server, &QWebSocketServer::closed, this, &MainWebSocket::closed);
}

MainWebSocket::~MainWebSocket()
{
    m_server->close();
    // Detach the clients first: deleting a socket may emit disconnected, which
    // must not reach socketDisconnected while the list is being torn down.
    const QList<QWebSocket*> clients = std::exchange(m_clients, {});
    for (QWebSocket* client : clients)
        client->disconnect(this);
    qDeleteAll(clients);
}

bool MainWebSocket::isListening() const
{
    return m_server->isListening();
}

void MainWebSocket::onNewConnection()
{
    QWebSocket* client = m_server->nextPendingConnection();
    if (!client)
        return;
    connect(client, &QWebSocket::textMessageReceived, this, &MainWebSocket::processTextMessage);
    connect(client, &QWebSocket::binaryMessageReceived, this, &MainWebSocket::processBinaryMessage);
    connect(client, &QWebSocket::disconnected, this, &MainWebSocket::socketDisconnected);
    m_clients.append(client);
}

void MainWebSocket::processTextMessage(QString message)
{
    auto* client = qobject_cast<QWebSocket*>(sender());
    const QString reply = client ? answer(routeOf(client), message) : QString();
    if (m_debug)
        qDebug() << "Message received:" << message;
    if (client)
        client->sendTextMessage(reply);
}

QString MainWebSocket::answer(const QString& route, const QString& message) const
{
    QString reply;
    if (!m_blocks)
        return reply;
    if (route == kQueryByJson) {
        QuarixBlock* block = QuarixBlock::findByFullPath(*m_blocks, pathOf(message));
        if (block && isServed(block, kServedByPath))
            QuarixBlock::interpret(block, message, &reply);
    } else {
        QuarixBlock* block = QuarixBlock::findByName(*m_blocks, route);
        if (block && isServed(block, kServedByName))
            QuarixBlock::interpret(block, message, &reply);
    }
    return reply;
}

void MainWebSocket::processBinaryMessage(QByteArray message)
{
    if (m_debug)
        qDebug() << "Binary Message received:" << message;
    if (auto* client = qobject_cast<QWebSocket*>(sender()))
        client->sendBinaryMessage(message);
}

void MainWebSocket::socketDisconnected()
{
    auto* client = qobject_cast<QWebSocket*>(sender());
    if (m_debug)
        qDebug() << "socketDisconnected:" << client;
    if (!client)
        return;
    m_clients.removeAll(client);
    client->deleteLater();
}
