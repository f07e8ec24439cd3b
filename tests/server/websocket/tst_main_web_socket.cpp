// The control server on its real port, talked to by real WebSocket clients:
// routing by URL path and by "path", one reply per text message, binary echo;
// and its defences against hostile clients (message size, unread replies,
// origins, access token), also through the real executable's "server" section.
#include "core/quarix_block.h"
#include "log_capture.h"
#include "server/main_web_socket.h"
#include "server_process.h"
#include "ws_client.h"

#include <QFile>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QtTest>

#include <memory>

namespace {
constexpr quint16 kPort = 51234;
const QString kChain = QStringLiteral("processing/0/filter_chain/main/chain/");

// A block that answers with its tag (its name unless given) and the message it
// was given, so each reply shows which block the server chose and what it passed on.
class AnsweringBlock : public QuarixBlock {
    Q_OBJECT
public:
    AnsweringBlock(const QString& type, const QString& name, bool silent = false, const QString& tag = QString())
        : m_silent(silent), m_tag(tag.isNull() ? name : tag)
    {
        m_blockType = type;
        setName(name);
        setFullPath(kChain + name);
    }

public slots:
    void InterpretMessage(QString data_in, QString* data_out)
    {
        if (!m_silent)
            *data_out = m_tag + QLatin1Char('|') + data_in;
    }

private:
    bool m_silent;
    QString m_tag;
};

// Settings from the text of a "server" section, as the start-up reads them.
ServerSettings settingsFrom(const QString& section)
{
    ServerSettings settings;
    QString error;
    const QJsonObject config{{"server", QJsonDocument::fromJson(section.toUtf8()).object()}};
    if (!ServerSettings::read(config, &settings, &error))
        qWarning().noquote() << error;
    return settings;
}

// Connects to ws://127.0.0.1:51234/<target> (route and query) with the given
// Origin header, sends one message and tells how the server took it:
// "answered", "refused" (handshake refused) or "closed <code>".
QString outcomeOf(const QString& target, const QString& origin, const QString& message = QStringLiteral("ping"),
                  quint64 frameSize = 0)
{
    QWebSocket socket(origin);
    if (frameSize)
        socket.setOutgoingFrameSize(frameSize);
    QSignalSpy texts(&socket, &QWebSocket::textMessageReceived);
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy disconnected(&socket, &QWebSocket::disconnected);
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/%2").arg(WsClient::kPort).arg(target)));
    QDeadlineTimer opening(5000);
    while (connected.isEmpty() && disconnected.isEmpty() && !opening.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (connected.isEmpty())
        return QStringLiteral("refused");
    if (socket.state() == QAbstractSocket::ConnectedState)
        socket.sendTextMessage(message);
    QDeadlineTimer answering(10000);
    while (texts.isEmpty() && disconnected.isEmpty() && !answering.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!texts.isEmpty())
        return texts.first().first().toString() == "commands|" + message ? QStringLiteral("answered")
                                                                          : QStringLiteral("wrong reply");
    return disconnected.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("closed %1").arg(socket.closeCode());
}

bool anyLineContains(const QStringList& lines, const QString& text)
{
    for (const QString& line : lines) {
        if (line.contains(text))
            return true;
    }
    qWarning().noquote() << "no log line holds" << text << "in:" << lines;
    return false;
}

// The smallest example configuration, with the storage folder of the server
// copy and the given "server" section.
QJsonObject minimalConfig(const ServerProcess& server, const QString& section)
{
    QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/config/minimal_spectrum.json"));
    file.open(QIODevice::ReadOnly);
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject storage = config.value("storage").toObject();
    storage.insert("file_path", server.storagePath());
    config.insert("storage", storage);
    config.insert("server", QJsonDocument::fromJson(section.toUtf8()).object());
    return config;
}

const QString kToken = QStringLiteral("0123456789abcdef-token");

}  // namespace

class TestMainWebSocket : public QObject {
    Q_OBJECT
private:
    QList<QuarixBlock*> m_blocks;
    std::unique_ptr<MainWebSocket> m_server;

private slots:
    void init()
    {
        const char* blocks[][2] = {{"oscilloscope", "osc1"}, {"dumper", "dump1"},   {"commands", "commands"},
                                   {"hv", "hv1"},            {"spectrum", "spec1"}, {"image", "img1"},
                                   {"position", "pos1"},     {"tof_histogram", "tof1"}, {"rate_counters_sink", "rates1"},
                                   {"source", "src1"},       {"time_sorting", "sort1"}};
        for (const auto& block : blocks)
            m_blocks << new AnsweringBlock(block[0], block[1]);
        m_blocks << new AnsweringBlock("dumper", "quiet", true) << new AnsweringBlock("dumper", QString::fromUtf8("t\xC3\xBCr"));
        m_server = std::make_unique<MainWebSocket>(kPort, false, &m_blocks, nullptr);
        QVERIFY(m_server->isListening());
    }

    void cleanup()
    {
        m_server.reset();
        qDeleteAll(m_blocks);
        m_blocks.clear();
    }

    void routesEachMessageToOneBlock_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");

        const QString cmd = QStringLiteral(R"({"cmd":"get_run_info"})");
        auto byPath = [](const QString& name) {
            return QStringLiteral(R"({"path":"%1%2","args":[{"cmd":"get_data"}]})").arg(kChain, name);
        };

        // By name.
            QTest::newRow("oscilloscope") << "/osc1" << cmd << "osc1|" + cmd;
        QTest::newRow("dumper") << "/dump1" << cmd << "dump1|" + cmd;
        QTest::newRow("hv by name") << "/hv1" << cmd << "hv1|" + cmd;
        QTest::newRow("slashes removed") << "/com/mands" << cmd << "commands|" + cmd;
        QTest::newRow("trailing slash") << "/commands/" << cmd << "commands|" + cmd;
        QTest::newRow("query part ignored") << "/commands?client=ui&x=1" << cmd << "commands|" + cmd;
        QTest::newRow("encoded slash decoded then removed") << "/com%2Fmands" << cmd << "commands|" + cmd;
        QTest::newRow("percent-encoded name decoded") << "/t%C3%BCr" << cmd << QString::fromUtf8("t\xC3\xBCr|") + cmd;
        QTest::newRow("names are case-sensitive") << "/Commands" << cmd << "";
        QTest::newRow("unknown name") << "/nobody" << cmd << "";
        QTest::newRow("spectrum not served by name") << "/spec1" << cmd << "";
        QTest::newRow("source not served") << "/src1" << cmd << "";
        QTest::newRow("time sorting not served") << "/sort1" << cmd << "";
        QTest::newRow("block leaves the reply empty") << "/quiet" << cmd << "";
        QTest::newRow("name route with a path key ignores it") << "/osc1" << byPath("spec1") << "osc1|" + byPath("spec1");

        // By full path.
        for (const char* name : {"rates1", "hv1"})   // the analysis blocks are reached by path on the running server
            QTest::newRow(qPrintable(QStringLiteral("query_by_json %1").arg(name)))
                << "/query_by_json" << byPath(name) << QString::fromLatin1(name) + '|' + byPath(name);
        QTest::newRow("query_by_json with slashes") << "/query_by_/json/" << byPath("spec1") << "spec1|" + byPath("spec1");
        QTest::newRow("query_by_json with a query part") << "/query_by_json?a=b" << byPath("img1") << "img1|" + byPath("img1");
        QTest::newRow("query_by_json is case-sensitive") << "/Query_by_json" << byPath("spec1") << "";
        QTest::newRow("oscilloscope not served by path") << "/query_by_json" << byPath("osc1") << "";
        QTest::newRow("dumper not served by path") << "/query_by_json" << byPath("dump1") << "";
        QTest::newRow("commands not served by path") << "/query_by_json" << byPath("commands") << "";
        QTest::newRow("unknown path") << "/query_by_json" << byPath("nothing") << "";
        QTest::newRow("a name is not a full path") << "/query_by_json" << R"({"path":"spec1"})" << "";
        QTest::newRow("path missing") << "/query_by_json" << R"({"args":[{"cmd":"get_data"}]})" << "";
        QTest::newRow("path not a string") << "/query_by_json" << R"({"path":12})" << "";
        QTest::newRow("not JSON") << "/query_by_json" << "get_data please" << "";
        // A key given twice in one object is never parsed (the parser would lose memory on it).
        const QString twice = "{\"cmd\":\"x\",\"args\":[1],\"args\":[2]}";
        const QString escapedTwice = "{\"cmd\":\"x\",\"a\":{\"k\":1,\"\\u006b\":[]}}";
        const QString separateObjects = "{\"cmd\":\"x\",\"a\":[{\"k\":1},{\"k\":1}],\"s\":\"{\\\"k\\\":1,\\\"k\\\":1}\"}";
        QTest::newRow("key twice") << "/commands" << twice << "";
        QTest::newRow("key twice once decoded") << "/commands" << escapedTwice << "";
        QTest::newRow("same key in separate objects") << "/commands" << separateObjects << "commands|" + separateObjects;
        QTest::newRow("JSON array") << "/query_by_json" << QString("[{\"path\":\"%1spec1\"}]").arg(kChain) << "";
    }

    void routesEachMessageToOneBlock()
    {
        QFETCH(QString, path);
        QFETCH(QString, message);
        QFETCH(QString, reply);
        WsClient client;
        QVERIFY(client.connectTo(path.mid(1)));
        QCOMPARE(client.requestAll({message}), QStringList{reply});   // also an empty reply is a reply
    }

    void theFirstOfTwoBlocksWithTheSameNameOrPathAnswers()
    {
        m_blocks.prepend(new AnsweringBlock("dumper", "osc1", false, "early-osc1"));
        auto* earlyImage = new AnsweringBlock("spectrum", "early", false, "early-img1");
        earlyImage->setFullPath(kChain + "img1");
        m_blocks.prepend(earlyImage);

        WsClient byName, byPath;
        QVERIFY(byName.connectTo("osc1") && byPath.connectTo("query_by_json"));
        QCOMPARE(byName.request("a"), QStringLiteral("early-osc1|a"));
        const QString message = QStringLiteral(R"({"path":"%1img1"})").arg(kChain);
        QCOMPARE(byPath.request(message), "early-img1|" + message);
    }

    void anEmptyRouteReachesTheFirstBlockWithAnEmptyName_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("firstUnnamedType");
        QTest::addColumn<QString>("reply");
        QTest::newRow("root path, dumper") << "" << "dumper" << "|hello";
        QTest::newRow("root path, commands") << "" << "commands" << "|hello";
        QTest::newRow("only slashes, hv") << "//" << "hv" << "|hello";
        QTest::newRow("first unnamed is a spectrum") << "" << "spectrum" << "";
    }

    void anEmptyRouteReachesTheFirstBlockWithAnEmptyName()
    {
        QFETCH(QString, route);
        QFETCH(QString, firstUnnamedType);
        QFETCH(QString, reply);
        m_blocks.append(new AnsweringBlock(firstUnnamedType, QString()));
        m_blocks.append(new AnsweringBlock("dumper", QString()));   // never reached: not the first
        WsClient client;
        QVERIFY(client.connectTo(route));
        QCOMPARE(client.requestAll({"hello"}), QStringList{reply});
    }

    void aBlockAppendedAfterTheServerWasCreatedIsFound()
    {
        WsClient client;
        QVERIFY(client.connectTo("late"));
        QCOMPARE(client.requestAll({"x"}), QStringList{""});
        m_blocks.append(new AnsweringBlock("commands", "late"));
        QCOMPARE(client.request("y"), QStringLiteral("late|y"));
    }

    void messagesSentBackToBackAreAnsweredOnceEachInOrder()
    {
        WsClient client, unanswered;
        QVERIFY(client.connectTo("commands") && unanswered.connectTo("spec1"));
        QCOMPARE(client.requestAll({"first", "second", "third"}),
                 QStringList({"commands|first", "commands|second", "commands|third"}));
        // A message no block answers still gets one empty reply, and nothing more:
        // a binary round trip after them returns before any stray text.
        QSignalSpy texts(&unanswered.socket(), &QWebSocket::textMessageReceived);
        QCOMPARE(unanswered.requestAll({"m0", "m1", "m2"}), QStringList({"", "", ""}));
        QCOMPARE(unanswered.requestBinary("z"), QByteArray("z"));
        QCOMPARE(texts.count(), 3);
    }

    void binaryMessagesAreEchoedUnchanged_data()
    {
        QTest::addColumn<QString>("route");
        QTest::newRow("named route") << "commands";
        QTest::newRow("query_by_json") << "query_by_json";
        QTest::newRow("unknown route") << "nobody";
    }

    void binaryMessagesAreEchoedUnchanged()
    {
        QFETCH(QString, route);
        WsClient client;
        QVERIFY(client.connectTo(route));
        QSignalSpy texts(&client.socket(), &QWebSocket::textMessageReceived);
        const QByteArray bytes("\x00\xff\x7f", 3);
        QCOMPARE(client.requestBinary(bytes), bytes);
        QCOMPARE(texts.count(), 0);
    }

    void debugFlagWritesTheTraceLines()
    {
        m_server.reset();
        LogCapture log;
        m_server = std::make_unique<MainWebSocket>(kPort, true, &m_blocks, nullptr);
        {
            WsClient client;
            QVERIFY(client.connectTo("commands"));
            QCOMPARE(client.request("hello"), QStringLiteral("commands|hello"));
            QCOMPARE(client.requestBinary("abc"), QByteArray("abc"));
            client.socket().close();
            QTRY_COMPARE(log.lines(QtDebugMsg).size(), 4);
        }
        const QStringList lines = log.lines(QtDebugMsg);
        QCOMPARE(lines.mid(0, 3), QStringList({"Main server listening on port 51234", "Message received: \"hello\"",
                                               "Binary Message received: \"abc\""}));
        QVERIFY2(lines.at(3).startsWith(QStringLiteral("socketDisconnected: QWebSocket(")), qPrintable(lines.at(3)));
    }

    void aBusyPortLeavesTheServerInert()
    {
        m_server.reset();
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, kPort));
        LogCapture log;
        m_server = std::make_unique<MainWebSocket>(kPort, true, &m_blocks, nullptr);
        QVERIFY(!m_server->isListening());
        QVERIFY(log.lines(QtDebugMsg).isEmpty());   // silent, even with the debug flag

        // The server does not try again once the port is free.
        squatter.close();
        QWebSocket client;
        QSignalSpy failed(&client, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error));
        client.open(QUrl("ws://127.0.0.1:51234/commands"));
        QTRY_VERIFY(failed.count() >= 1);
        QCOMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(failed.at(0).at(0).value<QAbstractSocket::SocketError>(), QAbstractSocket::ConnectionRefusedError);
    }

    void destructionClosesTheServerAndItsClients()
    {
        WsClient client;
        QVERIFY(client.connectTo("commands"));
        QCOMPARE(client.request("ping"), QStringLiteral("commands|ping"));
        QSignalSpy disconnected(&client.socket(), &QWebSocket::disconnected);

        m_server.reset();

        QTRY_COMPARE(disconnected.count(), 1);
        // The port is free again for a new server.
        m_server = std::make_unique<MainWebSocket>(kPort, false, &m_blocks, nullptr);
        QVERIFY(m_server->isListening());
    }

    void connectionsAreCheckedForOriginAndToken_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("logged");
        const QString origins = QStringLiteral("{\"allowed_origins\": [\"http://Lab-PC:51235\"]}");
        const QString token = QString(R"({"access_token": "%1"})").arg(kToken);
        QTest::newRow("no Origin: a program") << "{}" << "commands" << "" << "answered" << "";
        QTest::newRow("local page") << "{}" << "commands" << "http://localhost:1234" << "answered" << "";
        QTest::newRow("local page by IPv4") << "{}" << "commands" << "https://127.0.0.1" << "answered" << "";
        QTest::newRow("local page by IPv6") << "{}" << "commands" << "http://[::1]:8080" << "answered" << "";
        QTest::newRow("any other page") << "{}" << "commands" << "http://evil.example" << "refused"
                                        << "Refused a connection from origin \"http://evil.example\"";
        QTest::newRow("local-looking host") << "{}" << "commands" << "http://localhost.evil.example" << "refused"
                                            << "Refused a connection from origin";
        QTest::newRow("configured origin") << origins << "commands" << "http://lab-pc:51235" << "answered" << "";
        QTest::newRow("configured host, other port") << origins << "commands" << "http://lab-pc:8080" << "refused"
                                                     << "Refused a connection from origin";
        QTest::newRow("token missing") << token << "commands" << "" << "closed 1008"
                                       << "access token missing";
        QTest::newRow("token wrong") << token << "commands?token=0123456789abcdef-tokeN" << "" << "closed 1008"
                                     << "access token wrong";
        QTest::newRow("token right") << token << "commands?client=ui&token=" + kToken << "" << "answered" << "";
        QTest::newRow("token right, other page") << token << "commands?token=" + kToken << "http://evil.example"
                                                 << "refused" << "Refused a connection from origin";
    }

    void connectionsAreCheckedForOriginAndToken()
    {
        QFETCH(QString, section);
        QFETCH(QString, target);
        QFETCH(QString, origin);
        QFETCH(QString, outcome);
        QFETCH(QString, logged);
        m_server.reset();
        LogCapture log;
        m_server = std::make_unique<MainWebSocket>(kPort, false, &m_blocks, nullptr, settingsFrom(section));
        QCOMPARE(outcomeOf(target, origin), outcome);
        if (logged.isEmpty())
            QVERIFY(log.lines(QtWarningMsg).isEmpty());
        else
            QTRY_VERIFY(anyLineContains(log.lines(QtWarningMsg), logged));
    }

    void aMessageOverTheLimitIsRefusedAndOthersAreStillAnswered_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("at the limit") << 4096 << 0 << "answered";
        QTest::newRow("one byte over") << 4097 << 0 << "closed 1009";
        QTest::newRow("8 MB in one frame") << (8 << 20) << 0 << "closed 1009";
        QTest::newRow("8 MB in 1 kB frames") << (8 << 20) << 1024 << "closed 1009";
    }

    void aMessageOverTheLimitIsRefusedAndOthersAreStillAnswered()
    {
        QFETCH(int, size);
        QFETCH(int, frameSize);
        QFETCH(QString, outcome);
        m_server.reset();
        LogCapture log;
        m_server = std::make_unique<MainWebSocket>(kPort, false, &m_blocks, nullptr,
                                                   settingsFrom(R"({"max_message_bytes": 4096})"));
        WsClient other;
        QVERIFY(other.connectTo("commands"));
        QCOMPARE(outcomeOf("commands", QString(), QString(size, QLatin1Char('x')), quint64(frameSize)), outcome);
        QCOMPARE(other.request("still there?"), QStringLiteral("commands|still there?"));
        if (outcome != "answered")
            QTRY_VERIFY(anyLineContains(log.lines(QtWarningMsg), "closed with code 1009, message too big"));
    }

    void aClientThatLeavesItsRepliesUnreadIsCutOff()
    {
        m_server.reset();
        LogCapture log;
        m_server = std::make_unique<MainWebSocket>(kPort, false, &m_blocks, nullptr,
                                                   settingsFrom(R"({"max_client_backlog_bytes": 65536})"));
        // A hand-made client that reads the handshake's answer and then nothing.
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, kPort);
        QVERIFY(raw.waitForConnected(5000));
        raw.write("GET /commands HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                  "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QTRY_VERIFY(raw.canReadLine());
        QVERIFY(raw.readLine().startsWith("HTTP/1.1 101"));
        raw.setReadBufferSize(1);
        // Text frames of 32 kB with a zero mask; each is echoed into a 32 kB reply.
        const int payload = 32768;
        QByteArray frame("\x81\xfe", 2);
        frame += char(payload >> 8);
        frame += char(payload & 0xff);
        frame += QByteArray(4, '\0') + QByteArray(payload, 'r');
        QSignalSpy cut(&raw, &QTcpSocket::disconnected);
        WsClient other;
        QVERIFY(other.connectTo("commands"));
        auto cutOffLines = [&log]() {
            QStringList found;
            for (const QString& line : log.lines(QtWarningMsg)) {
                if (line.contains(R"(more than the 65536 allowed ("max_client_backlog_bytes"))"))
                    found << line;
            }
            return found;
        };
        // Enough replies to fill the kernel's buffers on both sides and then the backlog.
        for (int i = 0; i < 4096 && cutOffLines().isEmpty(); ++i) {
            raw.write(frame);
            if (i % 16 == 15) {
                raw.waitForBytesWritten(100);
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            }
        }
        QTRY_VERIFY_WITH_TIMEOUT(!cutOffLines().isEmpty(), 20000);
        QCOMPARE(other.request("still there?"), QStringLiteral("commands|still there?"));
        // Reading again, the client finds its connection gone.
        raw.setReadBufferSize(0);
        QTRY_COMPARE(cut.count(), 1);
        QCOMPARE(cutOffLines().size(), 1);
        QVERIFY2(cutOffLines().first().startsWith("Disconnected 127.0.0.1 port "), qPrintable(cutOffLines().first()));
    }

    void theServerSectionIsCheckedAndAppliedAtStartUp_data()
    {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("limit not a number")
            << R"({"max_message_bytes": "1M"})"
            << R"(Configuration error in "server", key "max_message_bytes": must be a whole number of bytes from 1024 to 268435456, not "1M")";
        QTest::newRow("backlog below its bound")
            << R"({"max_client_backlog_bytes": 1000})"
            << R"(Configuration error in "server", key "max_client_backlog_bytes": must be a whole number of bytes from 65536 to 1073741824, not 1000)";
        QTest::newRow("not an address")
            << R"({"listen_addresses": ["127.0.0.1", "lab-pc"]})"
            << R"(Configuration error in "server", key "listen_addresses": entry 1 must be an IP address)";
        QTest::newRow("valid: loopback only, with a token")
            << QString(R"({"listen_addresses": ["127.0.0.1"], "access_token": "%1"})").arg(kToken) << "";
    }

    void theServerSectionIsCheckedAndAppliedAtStartUp()
    {
        QFETCH(QString, section);
        QFETCH(QString, refusal);
        m_server.reset();
        ServerProcess server;
        QVERIFY(server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QVERIFY(server.start(server.writeConfig(minimalConfig(server, section)), refusal.isEmpty()));
        if (!refusal.isEmpty()) {
            QCOMPARE(server.waitForExit(), 1);
            QVERIFY2(server.output().contains(refusal), qPrintable(server.output()));
            QVERIFY(!server.output().contains("Connecting to board"));   // refused before any board opens
            return;
        }
        QCOMPARE(outcomeOf("commands", QString()), QStringLiteral("closed 1008"));
        QVERIFY(server.waitForOutput("Refused the connection of 127.0.0.1 port "));
        WsClient client;
        QVERIFY(client.connectTo("commands?token=" + kToken));
        QCOMPARE(client.request(R"({"cmd":"get_run_info"})"), QStringLiteral("[]"));
        QCOMPARE(server.terminate(), 0);
    }
};

QTEST_GUILESS_MAIN(TestMainWebSocket)
#include "tst_main_web_socket.moc"
