#include "ws_client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <QUrl>

WsClient::WsClient()
{
    QObject::connect(&m_socket, &QWebSocket::textMessageReceived, [this](const QString& text) { m_texts.append(text); });
    QObject::connect(&m_socket, &QWebSocket::binaryMessageReceived,
                     [this](const QByteArray& bytes) { m_binaries.append(bytes); });
}

WsClient::~WsClient()
{
    m_socket.abort();
}

bool WsClient::connectTo(const QString& route, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1/%2").arg(kPort).arg(route));
    while (!deadline.hasExpired()) {
        m_socket.open(url);
        QDeadlineTimer attempt(qMin<qint64>(2000, deadline.remainingTime()));
        while (m_socket.state() != QAbstractSocket::ConnectedState &&
               m_socket.state() != QAbstractSocket::UnconnectedState && !attempt.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (m_socket.state() == QAbstractSocket::ConnectedState)
            return true;
        m_socket.abort();
        QThread::msleep(50);
    }
    return false;
}

QString WsClient::request(const QString& text, int timeoutMs)
{
    const QStringList replies = requestAll(QStringList{text}, timeoutMs);
    return replies.isEmpty() ? QString() : replies.first();
}

QStringList WsClient::requestAll(const QStringList& texts, int timeoutMs)
{
    m_texts.clear();
    for (const QString& text : texts)
        m_socket.sendTextMessage(text);
    QDeadlineTimer deadline(timeoutMs);
    while (m_texts.size() < texts.size() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QStringList replies = m_texts;
    m_texts.clear();
    return replies;
}

QByteArray WsClient::requestBinary(const QByteArray& bytes, int timeoutMs)
{
    m_binaries.clear();
    m_socket.sendBinaryMessage(bytes);
    QDeadlineTimer deadline(timeoutMs);
    while (m_binaries.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return m_binaries.isEmpty() ? QByteArray() : m_binaries.takeFirst();
}
