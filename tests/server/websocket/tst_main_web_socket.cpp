// The control server on its real port, talked to by real WebSocket clients:
// routing by URL path and by "path", one reply per text message, binary echo.
#include "core/quarix_block.h"
#include "log_capture.h"
#include "server/main_web_socket.h"
#include "ws_client.h"

#include <QSignalSpy>
#include <QTcpServer>
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
};

QTEST_GUILESS_MAIN(TestMainWebSocket)
#include "tst_main_web_socket.moc"
