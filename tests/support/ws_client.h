// A real WebSocket client for tests: connects to the server's control port
// on a route and waits for the one reply each text message gets.
//
//     WsClient client;
//     QVERIFY(client.connectTo("commands"));
//     QCOMPARE(client.request(R"({"cmd":"get_run_info"})"), QString("[]"));
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QWebSocket>

class WsClient {
public:
    static constexpr quint16 kPort = 51234;

    WsClient();
    ~WsClient();

    // Opens ws://127.0.0.1:51234/<route>; retries until the deadline, because
    // the server may still be starting.
    bool connectTo(const QString& route, int timeoutMs = 10000);

    // Sends a text message and returns the next text reply; a null QString on time-out.
    QString request(const QString& text, int timeoutMs = 10000);
    // Sends several messages back to back and returns their replies in arrival order.
    QStringList requestAll(const QStringList& texts, int timeoutMs = 10000);
    // Sends a binary message and returns the binary reply.
    QByteArray requestBinary(const QByteArray& bytes, int timeoutMs = 10000);

    QWebSocket& socket() { return m_socket; }

private:
    QWebSocket m_socket;
    QStringList m_texts;
    QList<QByteArray> m_binaries;
};
