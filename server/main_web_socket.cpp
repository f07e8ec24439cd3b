#include "server/main_web_socket.h"

#include "core/block_message.h"
#include "core/client_routing.h"
#include "core/quarix_block.h"

#include <QAbstractSocket>
#include <QDebug>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <cerrno>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// How long a connection being closed may take to say goodbye before it is cut.
constexpr int kCloseGraceMs = 2000;
// Read beyond the largest message a socket may hold, so that a whole message
// always fits: bounds what one client puts in memory, and the work of reading
// it, at each wake-up.
constexpr qint64 kReadBufferSlack = 65536;
// A client with more than this waiting is read no further until all of it is
// answered (or kMaxPauseMs have passed); the network holds back what it sends
// meanwhile, and the work of reading it waits too.
constexpr qint64 kPauseBytes = 65536;
constexpr size_t kPauseMessages = 64;
// Reading resumes after this long in any case: a socket that holds part of a
// message and gets nothing new for 5 s is closed (code 1001) by the WebSocket
// layer.
constexpr int kMaxPauseMs = 2000;
// Set on a client once its close has been reported.
const char* const kClosingProperty = "quarixClosing";
// A client that held more than this (requests waiting and replies unsent)
// has its memory handed back to the system when it goes.
constexpr qint64 kLargeClientBytes = 1 << 20;

QString routeOf(const QWebSocket* client)
{
    return client->requestUrl().path(QUrl::FullyDecoded).remove(QLatin1Char('/'));
}

QString peerOf(const QWebSocket* client)
{
    QHostAddress address = client->peerAddress();
    bool mapped = false;
    const quint32 ipv4 = address.toIPv4Address(&mapped);
    if (mapped)
        address = QHostAddress(ipv4);
    return QStringLiteral("%1 port %2").arg(address.toString()).arg(client->peerPort());
}

// Hands the pages freed with a large backlog back to the system: glibc keeps
// them in its heap otherwise, and the server's memory would stay at its peak.
void releaseFreedMemory()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

// Keeps the network side of a closed connection open for a while, reading and
// throwing away whatever the client still sends. Closing a socket with unread
// data resets the connection, and the reset can destroy the close message on
// its way to a client that is still sending (the rest of a message that was
// too big, for example).
class DrainingClose : public QObject {
public:
    DrainingClose(int descriptor, QObject* parent)
        : QObject(parent), m_descriptor(descriptor), m_notifier(descriptor, QSocketNotifier::Read, this)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, [this]() { drain(); });
        // Once the socket's own side is closed (right after the close message
        // went out), the end of the stream follows the close message.
        QTimer::singleShot(0, this, [this]() { ::shutdown(m_descriptor, SHUT_WR); });
        QTimer::singleShot(kCloseGraceMs, this, [this]() { finish(); });
    }
    ~DrainingClose() override
    {
        m_notifier.setEnabled(false);
        ::close(m_descriptor);
    }

private:
    void drain()
    {
        char buffer[65536];
        // At most 1 MB per wake-up: the other clients' turns come first.
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = ::recv(m_descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
                return;
            finish();   // end of the stream, or the connection is gone
            return;
        }
    }
    void finish()
    {
        m_notifier.setEnabled(false);
        deleteLater();
    }

    int m_descriptor;
    QSocketNotifier m_notifier;
};

// The network socket under a client. The WebSocket server keeps the sockets
// it accepted as its own children, not the QWebSocket's: it is found there by
// its two ends. Null when it cannot be found.
QAbstractSocket* networkSocketOf(const QWebSocket* client, const QList<QWebSocketServer*>& servers)
{
    for (const QWebSocketServer* server : servers) {
        for (QAbstractSocket* socket : server->findChildren<QAbstractSocket*>()) {
            if (socket->peerPort() == client->peerPort() && socket->localPort() == client->localPort() &&
                socket->peerAddress() == client->peerAddress() && socket->socketDescriptor() >= 0)
                return socket;
        }
    }
    return nullptr;
}

// Starts a DrainingClose on a copy of the client's socket descriptor, when the
// close message has left completely (otherwise the socket is still writing and
// the close takes its normal course).
void drainAfterClose(QWebSocket* client, const QList<QWebSocketServer*>& servers, QObject* parent)
{
    if (client->bytesToWrite() > 0)
        return;
    if (const QAbstractSocket* socket = networkSocketOf(client, servers)) {
        const int copy = ::dup(int(socket->socketDescriptor()));
        if (copy >= 0)
            new DrainingClose(copy, parent);
    }
}

// Makes the coming close of a client's socket a reset: the system then drops
// what it still holds for the client at once, instead of keeping it (megabytes
// for a client that does not read) until the client reads or a time-out.
void resetOnClose(const QWebSocket* client, const QList<QWebSocketServer*>& servers)
{
    if (const QAbstractSocket* socket = networkSocketOf(client, servers)) {
        const linger reset{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
}
}  // namespace

MainWebSocket::MainWebSocket(quint16 port, bool debug, QList<QuarixBlock*>* blocks, QObject* parent,
                             const ServerSettings& settings)
    : QObject(parent), m_debug(debug), m_settings(settings)
{
    const bool configured = !m_settings.listenAddresses.isEmpty();
    const QList<QHostAddress> addresses = configured ? m_settings.listenAddresses : QList<QHostAddress>{QHostAddress::Any};
    for (const QHostAddress& address : addresses) {
        auto* server = new QWebSocketServer(QStringLiteral("Main Server"), QWebSocketServer::NonSecureMode, this);
        if (!server->listen(address, port)) {
            if (configured)
                qWarning().noquote() << QStringLiteral("Cannot listen on %1 port %2: %3")
                                            .arg(address.toString())
                                            .arg(port)
                                            .arg(server->errorString());
            delete server;
            continue;
        }
        connect(server, &QWebSocketServer::originAuthenticationRequired, this, &MainWebSocket::checkOrigin);
        connect(server, &QWebSocketServer::newConnection, this, &MainWebSocket::onNewConnection);
        connect(server, &QWebSocketServer::closed, this, &MainWebSocket::closed);
        m_servers.append(server);
    }
    if (m_servers.isEmpty())
        return;
    if (m_debug)
        qDebug() << "Main server listening on port" << port;
    m_blocks = blocks;
}

MainWebSocket::~MainWebSocket()
{
    for (QWebSocketServer* server : qAsConst(m_servers))
        server->close();
    // Detach the clients first: deleting a socket may emit disconnected, which
    // must not reach socketDisconnected while the list is being torn down.
    const QList<QWebSocket*> clients = std::exchange(m_clients, {});
    for (QWebSocket* client : clients)
        client->disconnect(this);
    qDeleteAll(clients);
}

bool MainWebSocket::isListening() const
{
    for (const QWebSocketServer* server : m_servers) {
        if (server->isListening())
            return true;
    }
    return false;
}

void MainWebSocket::checkOrigin(QWebSocketCorsAuthenticator* authenticator) const
{
    const bool allowed = m_settings.originAllowed(authenticator->origin());
    authenticator->setAllowed(allowed);
    if (!allowed)
        qWarning().noquote() << QStringLiteral("Refused a connection from origin \"%1\": not a local page and not in "
                                               "\"allowed_origins\"")
                                    .arg(authenticator->origin().left(200));
}

void MainWebSocket::onNewConnection()
{
    auto* server = qobject_cast<QWebSocketServer*>(sender());
    while (server && server->hasPendingConnections()) {
        if (QWebSocket* client = server->nextPendingConnection())
            accept(client);
    }
}

void MainWebSocket::accept(QWebSocket* client)
{
    // Both limits: a single frame is refused from its header, before its
    // payload is read; a message sent as many small frames when the frames
    // read so far pass the limit.
    client->setMaxAllowedIncomingFrameSize(quint64(m_settings.maxMessageBytes));
    client->setMaxAllowedIncomingMessageSize(quint64(m_settings.maxMessageBytes));
    client->setReadBufferSize(m_settings.maxMessageBytes + kReadBufferSlack);
    connect(client, &QWebSocket::disconnected, this, &MainWebSocket::socketDisconnected);
    connect(client, &QWebSocket::aboutToClose, this, [this, client]() { reportClose(client); });
    m_clients.append(client);

    if (!m_settings.accessToken.isEmpty()) {
        const QString presented =
            QUrlQuery(client->requestUrl()).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded);
        if (!m_settings.tokenAccepted(presented)) {
            qWarning().noquote() << QStringLiteral("Refused the connection of %1: access token %2")
                                        .arg(peerOf(client), presented.isEmpty() ? QStringLiteral("missing")
                                                                                 : QStringLiteral("wrong"));
            client->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("access token missing or wrong"));
            return;
        }
    }
    connect(client, &QWebSocket::textMessageReceived, this, &MainWebSocket::processTextMessage);
    connect(client, &QWebSocket::binaryMessageReceived, this, &MainWebSocket::processBinaryMessage);
}

void MainWebSocket::reportClose(QWebSocket* client)
{
    // Told once per connection, though a connection closed for an error may
    // announce its close twice; not at all for a client cut off.
    if (client->property(kClosingProperty).toBool())
        return;
    client->setProperty(kClosingProperty, true);
    if (client->closeCode() == QWebSocketProtocol::CloseCodeTooMuchData)
        qWarning().noquote() << QStringLiteral("Connection of %1 closed with code 1009, message too big (%2): the "
                                               "server takes messages of at most %3 bytes (\"max_message_bytes\")")
                                    .arg(peerOf(client), client->closeReason())
                                    .arg(m_settings.maxMessageBytes);
    drainAfterClose(client, m_servers, this);
    // A client that never reads would keep a closing connection open for ever.
    QTimer::singleShot(kCloseGraceMs, client, [client]() {
        if (client->state() != QAbstractSocket::UnconnectedState)
            client->abort();
    });
}

void MainWebSocket::processTextMessage(QString message)
{
    if (auto* client = qobject_cast<QWebSocket*>(sender())) {
        const qint64 size = message.size();
        enqueue(client, Waiting{std::move(message), QByteArray(), false}, size);
    }
}

void MainWebSocket::processBinaryMessage(QByteArray message)
{
    if (auto* client = qobject_cast<QWebSocket*>(sender())) {
        const qint64 size = message.size();
        enqueue(client, Waiting{QString(), std::move(message), true}, size);
    }
}

void MainWebSocket::enqueue(QWebSocket* client, Waiting message, qint64 size)
{
    // Messages read in the same batch as a disconnection are not answered.
    if (client->state() != QAbstractSocket::ConnectedState)
        return;
    Queue& queue = m_queues[client];
    queue.bytes += size;
    if (queue.bytes > m_settings.maxClientBacklogBytes) {
        cutOff(client, QStringLiteral("%1 bytes of requests waiting for their turn").arg(queue.bytes));
        return;
    }
    noteHeld(client, queue.bytes + client->bytesToWrite());
    queue.messages.push_back(std::move(message));
    if (!queue.paused && (queue.bytes > kPauseBytes || queue.messages.size() > kPauseMessages)) {
        // A socket stops reading once its buffer holds this much; the
        // incomplete frame a buffer may hold is never taken from it alone.
        queue.paused = true;
        client->setReadBufferSize(1);
        QTimer::singleShot(kMaxPauseMs, client, [this, client]() { resumeReading(client); });
    }
    if (!queue.inTurns) {
        queue.inTurns = true;
        m_turns.append(client);
    }
    if (!m_turnPosted) {
        m_turnPosted = true;
        // Posted, not called: the sockets are read again between two turns.
        QMetaObject::invokeMethod(this, &MainWebSocket::serveOneTurn, Qt::QueuedConnection);
    }
}

void MainWebSocket::serveOneTurn()
{
    m_turnPosted = false;
    const QList<QWebSocket*> turn = std::exchange(m_turns, {});
    for (QWebSocket* client : turn) {
        auto queue = m_queues.find(client);
        if (queue == m_queues.end())
            continue;   // disconnected during this turn
        const Waiting message = std::move(queue->messages.front());
        queue->messages.pop_front();
        queue->bytes -= message.isBinary ? message.binary.size() : message.text.size();
        if (queue->messages.empty()) {
            resumeReading(client);
            m_queues.erase(queue);
        } else {
            m_turns.append(client);
        }
        serve(client, message);   // may disconnect the client: the queue is not used after it
    }
    if (!m_turns.isEmpty() && !m_turnPosted) {
        m_turnPosted = true;
        QMetaObject::invokeMethod(this, &MainWebSocket::serveOneTurn, Qt::QueuedConnection);
    }
}

void MainWebSocket::resumeReading(QWebSocket* client)
{
    auto queue = m_queues.find(client);
    if (queue == m_queues.end() || !queue->paused)
        return;
    queue->paused = false;
    client->setReadBufferSize(m_settings.maxMessageBytes + kReadBufferSlack);
}

void MainWebSocket::serve(QWebSocket* client, const Waiting& message)
{
    if (client->state() != QAbstractSocket::ConnectedState)
        return;
    if (message.isBinary) {
        if (m_debug)
            qDebug() << "Binary Message received:" << message.binary;
        client->sendBinaryMessage(message.binary);
    } else {
        const QString reply = answer(routeOf(client), message.text);
        if (m_debug)
            qDebug() << "Message received:" << message.text;
        client->sendTextMessage(reply);
    }
    enforceBacklog(client);
}

QString MainWebSocket::answer(const QString& route, const QString& message) const
{
    return m_blocks ? client_routing::answer(*m_blocks, route, message) : QString();
}

void MainWebSocket::enforceBacklog(QWebSocket* client)
{
    // Whatever the network takes now leaves the backlog at once; what remains
    // is what the client has not read yet.
    client->flush();
    const qint64 backlog = client->bytesToWrite();
    if (backlog > m_settings.maxClientBacklogBytes)
        cutOff(client, QStringLiteral("%1 bytes of replies left unread").arg(backlog));
    else
        noteHeld(client, backlog);
}

void MainWebSocket::noteHeld(QWebSocket* client, qint64 bytes)
{
    if (bytes > kLargeClientBytes)
        m_largeClients.insert(client);
}

void MainWebSocket::cutOff(QWebSocket* client, const QString& reason)
{
    qWarning().noquote() << QStringLiteral("Disconnected %1: %2, more than the %3 allowed (\"max_client_backlog_bytes\")")
                                .arg(peerOf(client), reason)
                                .arg(m_settings.maxClientBacklogBytes);
    m_queues.remove(client);
    m_turns.removeAll(client);
    m_largeClients.remove(client);
    // No close message: it would wait behind the replies the client does not read.
    // Nor the wait for one that follows a close (see reportClose).
    client->setProperty(kClosingProperty, true);
    resetOnClose(client, m_servers);
    client->abort();
    releaseFreedMemory();
}

void MainWebSocket::socketDisconnected()
{
    auto* client = qobject_cast<QWebSocket*>(sender());
    if (m_debug)
        qDebug() << "socketDisconnected:" << client;
    if (!client)
        return;
    m_clients.removeAll(client);
    m_queues.remove(client);
    m_turns.removeAll(client);
    if (m_largeClients.remove(client))
        connect(client, &QObject::destroyed, this, []() { releaseFreedMemory(); });
    client->deleteLater();
}
