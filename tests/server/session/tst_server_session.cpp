// One real server on the demo configuration (simulated boards, every block
// kind), quiet, with an access token, a message limit and an allowed origin,
// talked to by real WebSocket clients: who may connect, routing and exact
// replies, the configuration's description, recording safety, a recorded run
// and its files, live data and high voltage; and its dashboard's web server.
#include "server_process.h"
#include "ws_client.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>
#include <map>
#include <memory>

namespace {
const QString kToken = QStringLiteral("0123456789abcdef-token");
const QString kTrue = QStringLiteral("[{\"response\": true}]");
const QString kFalse = QStringLiteral("[{\"response\": false}]");
const QString kExisting = QStringLiteral("[{\"response\": \"Existing Folder\"}]");
const QString kIdle = QStringLiteral("[{\"response\": true, \"status\":\"idle\"}]");
const QString kFreerun = QStringLiteral("[{\"response\": true, \"status\":\"freerun\"}]");
const QString kNoRun = QStringLiteral("[{\"status\":0,\"name\": \"list_dump\",\"event_rate\":0,\"id\":0,"
                                      "\"stored_events\":0,\"running_time\":0,\"used_space\":0}]");
const QString kSpectrum = QStringLiteral("processing/0/filter_chain/spectra/chain/spectrum");
const QString kRates = QStringLiteral("processing/0/filter_chain/rates/chain/rates");
const QByteArray kPage("<!doctype html><title>Quarix</title>\n");

QString json(const QJsonValue& value)
{
    return QString::fromUtf8(value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                             : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
}

QString command(const QString& cmd, const QString& key = QString(), const QJsonValue& value = QJsonValue())
{
    QJsonObject message{{"cmd", cmd}};
    if (!key.isEmpty())
        message.insert(key, value);
    return json(message);
}

// A message for a block reached by full path; extra keys go to the top level.
QString byPath(const QString& path, const QJsonArray& args, const QJsonObject& extra = {})
{
    QJsonObject message = extra;
    message.insert("path", path);
    message.insert("args", args);
    return json(message);
}

QString chainPath(const QString& chain, const QString& name)
{
    return QStringLiteral("processing/0/filter_chain/%1/chain/%2").arg(chain, name);
}

// How the server takes one connection and one message on it: "answered",
// "refused" (handshake refused) or "closed <code>".
QString outcomeOf(const QString& target, const QString& origin, const QString& message, quint64 frameSize)
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
        return QStringLiteral("answered");
    return disconnected.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("closed %1").arg(socket.closeCode());
}

// Every entry below a folder (links not followed) with the hash of each file's bytes.
std::map<QString, QByteArray> tree(const QString& folder)
{
    std::map<QString, QByteArray> entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        entries[path] = !it.fileInfo().isSymLink() && it.fileInfo().isFile() && file.open(QIODevice::ReadOnly)
                            ? QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1)
                            : QByteArray("-");
    }
    return entries;
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Sum of the counts of all channels in bins [from, to].
qint64 countsIn(const QJsonArray& spectra, int from, int to)
{
    qint64 sum = 0;
    for (const QJsonValue& channel : spectra) {
        const QJsonArray bins = channel.toObject().value("data").toArray();
        for (int b = from; b <= to && b < bins.size(); ++b)
            sum += bins.at(b).toInt();
    }
    return sum;
}
}  // namespace

class TestServerSession : public QObject {
    Q_OBJECT
private:
    ServerProcess m_server;
    std::map<QString, std::unique_ptr<WsClient>> m_clients;

    // One connection per route for the whole test, opened on first use.
    WsClient& client(const QString& route)
    {
        std::unique_ptr<WsClient>& client = m_clients[route];
        if (!client) {
            client = std::make_unique<WsClient>();
            if (!client->connectTo(route + "?token=" + kToken))
                qWarning() << "cannot connect to" << route;
        }
        return *client;
    }
    QString ask(const QString& route, const QString& message) { return client(route).request(message); }
    QString outside() const { return m_server.dir() + "/outside"; }
    QString run(const QString& id) const { return m_server.storagePath() + '/' + id + '/'; }
    QJsonObject runInfo()
    {
        return QJsonDocument::fromJson(ask("commands", command("get_run_info")).toUtf8()).array().at(0).toObject();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        QJsonObject config = m_server.demoConfig();
        QJsonObject storage = config.value("storage").toObject();
        storage.insert("format", "JSON");
        config.insert("storage", storage);
        config.insert("server", QJsonObject{{"access_token", kToken}, {"max_message_bytes", 4096}, {"max_client_backlog_bytes", 65536},
                                            {"allowed_origins", QJsonArray{"http://Lab-PC:51235"}}});
        // A folder beside the storage folder holding a file, and a link to it from inside.
        QVERIFY(QDir().mkpath(outside()));
        QFile precious(outside() + "/precious.txt");
        QVERIFY(precious.open(QIODevice::WriteOnly) && precious.write("recorded yesterday\n") > 0);
        precious.close();
        QVERIFY(QFile::link(outside(), m_server.storagePath() + "/link"));
        // The dashboard: a page, a script in a folder, and a link leading out of the folder.
        QVERIFY(m_server.addDashboardFile("index.html", kPage) && m_server.addDashboardFile("js/app.js", "run();\n"));
        QVERIFY(QFile::link(outside(), m_server.binDir() + "/dashboard/escape"));
        QVERIFY(m_server.start(m_server.writeConfig(config), true, {"-q"}));
    }

    void cleanupTestCase()
    {
        // Once two waveform reads are made, the first one's progress line was logged (and left out).
        const auto waveReads = [this] {
            const QJsonArray statistics = QJsonDocument::fromJson(ask("commands", command("get_statistics")).toUtf8()).array();
            for (const QJsonValue& block : statistics) {
                if (block.toObject().value("name") == "wave_source")
                    return block.toObject().value("outputs").toArray().at(0).toObject().value("messages").toInt();
            }
            return 0;
        };
        QTRY_VERIFY_WITH_TIMEOUT(waveReads() >= 2, 10000);
        m_clients.clear();
        QCOMPARE(m_server.terminate(), 0);
        const QString output = m_server.output();
        QVERIFY2(!output.contains("Sanitizer") && !output.contains("runtime error"), qPrintable(output));
        const int ready = output.indexOf("QUARIX IS STARTED AND READY\n");
        QVERIFY2(ready >= 0 && output.indexOf("Dashboard: http://localhost:51235/\n") > ready, qPrintable(output));
        QVERIFY(output.contains("Signal 15 received: closing open files"));
        QVERIFY2(!output.contains("W OK") && !output.contains("Set \"") && !output.contains("Connecting to board"),
                 qPrintable(output));
    }

    // get_configuration, against the values of the demo configuration: the
    // keys of "expected" in the element named "name" of the array "where"
    // (the reply itself when "where" is empty).
    void theConfigurationIsDescribed_data()
    {
        QTest::addColumn<QString>("where");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QJsonObject>("expected");
        const auto view = [](const QString& type, const QString& route, const QString& path, const QJsonObject& shown) {
            return QJsonObject{{"type", type}, {"route", route.isEmpty() ? QJsonValue() : route}, {"full_path", path}, {"view", shown}};
        };
        QTest::newRow("spectrum") << "blocks" << "spectrum" << view("spectrum", "query_by_json", kSpectrum,
            {{"bins", 4096}, {"channels", 16}, {"gain", 0.25}});
        QTest::newRow("time-of-flight") << "blocks" << "time_histogram" << view("tof_histogram", "query_by_json",
            chainPath("spectra", "time_histogram"), {{"bins", 3600}, {"channels", 16},
            {"binning", QJsonObject{{"value", 100000000}, {"unit", "timestamp units per bin"}}}});
        QTest::newRow("position") << "blocks" << "position" << view("position", "query_by_json",
            chainPath("positions", "position"), {{"elements", 8}, {"bins", 128}});
        QTest::newRow("image") << "blocks" << "image" << view("image", "query_by_json", chainPath("spectra", "image"),
            {{"rows", 4}, {"cols", 4}});
        QTest::newRow("oscilloscope") << "blocks" << "oscilloscope" << view("oscilloscope", "oscilloscope",
            chainPath("scope", "oscilloscope"), {{"channels", 4}, {"samples", 512}, {"analog", 1}, {"digital", 2}});
        QTest::newRow("source") << "blocks" << "list_source" << view("source", "", chainPath("spectra", "list_source"),
            {{"board", "digitizer"}, {"endpoint", "list"}, {"calibration", "x*0.25"}, {"use_board_kev", false}});
        QTest::newRow("high voltage") << "blocks" << "hv" << view("hv", "query_by_json", "Hardware/hv", {{"board", "hv"}, {"channels", 4}});
        QTest::newRow("wiring") << "blocks" << "time_histogram"
            << QJsonObject{{"chain", "spectra"}, {"data_type", "energy"}, {"sources", QJsonArray{QJsonObject{{"source", "list_tee"}, {"pin", 1}}}}};
        QTest::newRow("dumper by name") << "blocks" << "list_dump" << QJsonObject{{"type", "dumper"}, {"route", "list_dump"}};
        QTest::newRow("chain") << "chains" << "spectra" << QJsonObject{{"processing", 0}, {"blocks", QJsonArray{"list_source",
            "list_sorter", "list_tee", "spectrum", "time_histogram", "image", "list_dump"}}};
        QTest::newRow("board") << "boards" << "hv" << QJsonObject{{"type", "4-channel high voltage (simulated)"},
            {"plugin", "libVRAXDig2Sim"}, {"full_path", "Hardware/hv"}};
        QTest::newRow("ports") << "" << "" << QJsonObject{{"websocket_port", 51234}, {"http_port", 51235}};
    }

    void theConfigurationIsDescribed()
    {
        QFETCH(QString, where);
        QFETCH(QString, name);
        QFETCH(QJsonObject, expected);
        const QJsonObject reply = QJsonDocument::fromJson(ask("commands", command("get_configuration")).toUtf8()).object();
        QJsonObject found = reply;
        for (const QJsonValue& element : reply.value(where).toArray()) {
            if (element.toObject().value("name") == name)
                found = element.toObject();
        }
        QJsonObject described;
        for (const QString& key : expected.keys())
            described.insert(key, found.value(key));
        QCOMPARE(json(described), json(expected));
    }

    // Plain HTTP on port 51235, one connection per request.
    void theDashboardIsServedReadOnly_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("shown");   // a part of the answer
        QTest::newRow("page") << "GET /?token=" + kToken << "200 OK" << "\r\n\r\n" + QString::fromUtf8(kPage);
        QTest::newRow("type sniffing off") << "GET /js/app.js" << "200 OK" << "X-Content-Type-Options: nosniff\r\n";
        QTest::newRow("scripts from here only") << "GET /" << "200 OK"
            << "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self';";
        QTest::newRow("no body for HEAD") << "HEAD /js/app.js" << "200 OK" << "Content-Length: 7\r\n";
        QTest::newRow("websocket port") << "GET /config.json" << "200 OK" << "\r\n\r\n{\"websocket_port\":51234}";
        QTest::newRow("parent folder") << "GET /../config.json" << "403 Forbidden" << "";
        QTest::newRow("percent-encoded parent") << "GET /%2e%2E/%2e%2e/config.json" << "403 Forbidden" << "";
        QTest::newRow("link leading out") << "GET /escape/precious.txt" << "403 Forbidden" << "";
        QTest::newRow("no listing") << "GET /js/" << "404 Not Found" << "";
        QTest::newRow("POST") << "POST /" << "405 Method Not Allowed" << "Allow: GET, HEAD\r\n";
    }

    void theDashboardIsServedReadOnly()
    {
        QFETCH(QString, request);
        QFETCH(QString, status);
        QFETCH(QString, shown);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, 51235);
        QVERIFY(socket.waitForConnected(5000));
        socket.write(request.toUtf8() + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
        QByteArray answer;
        while (socket.waitForReadyRead(5000))
            answer += socket.readAll();
        QVERIFY2(answer.startsWith("HTTP/1.1 " + status.toUtf8() + "\r\n") && answer.contains(shown.toUtf8()), answer.constData());
        QVERIFY(!request.startsWith("HEAD") || answer.endsWith("\r\n\r\n"));
    }

    void connections_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("origin");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("frameSize");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("logged");
        const QString token = "?token=" + kToken;
        QTest::newRow("token missing") << "commands" << "" << 10 << 0 << "closed 1008" << "access token missing";
        QTest::newRow("token wrong") << "commands?token=0123456789abcdef-tokeN" << "" << 10 << 0 << "closed 1008"
                                     << "access token wrong";
        QTest::newRow("token among other keys") << "commands?client=ui&token=" + kToken << "" << 10 << 0 << "answered" << "";
        QTest::newRow("local page") << "commands" + token << "http://localhost:1234" << 10 << 0 << "answered" << "";
        QTest::newRow("local page by IPv4") << "commands" + token << "https://127.0.0.1" << 10 << 0 << "answered" << "";
        QTest::newRow("local page by IPv6") << "commands" + token << "http://[::1]:8080" << 10 << 0 << "answered" << "";
        QTest::newRow("other page") << "commands" + token << "http://evil.example" << 10 << 0 << "refused"
                                    << "Refused a connection from origin \"http://evil.example\"";
        QTest::newRow("local-looking host") << "commands" + token << "http://localhost.evil.example" << 10 << 0
                                            << "refused" << "Refused a connection from origin \"http://localhost.evil";
        QTest::newRow("configured origin") << "commands" + token << "http://lab-pc:51235" << 10 << 0 << "answered" << "";
        QTest::newRow("configured host, other port") << "commands" + token << "http://lab-pc:8080" << 10 << 0
                                                     << "refused" << "Refused a connection from origin \"http://lab-pc:8080";
        QTest::newRow("at the size limit") << "commands" + token << "" << 4096 << 0 << "answered" << "";
        QTest::newRow("one byte over") << "commands" + token << "" << 4097 << 0 << "closed 1009"
                                       << "closed with code 1009, message too big";
        QTest::newRow("8 MB in 1 kB frames") << "commands" + token << "" << (8 << 20) << 1024 << "closed 1009"
                                             << "closed with code 1009, message too big";
    }

    void connections()
    {
        QFETCH(QString, target);
        QFETCH(QString, origin);
        QFETCH(int, size);
        QFETCH(int, frameSize);
        QFETCH(QString, outcome);
        QFETCH(QString, logged);
        const int before = m_server.output().size();
        QCOMPARE(outcomeOf(target, origin, QString(size, QLatin1Char('x')), quint64(frameSize)), outcome);
        if (!logged.isEmpty())
            QVERIFY2(m_server.waitForOutput(logged, 5000), qPrintable(logged));
        else
            QVERIFY2(!m_server.output().mid(before).contains("Refused"), qPrintable(m_server.output().mid(before)));
        QCOMPARE(ask("commands", command("get_run_info")), kNoRun);   // everyone else is still answered
    }

    // Replies before any run; a reply ending in "..." is compared by its start.
    void routingAndReplies_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        const QJsonArray status{QJsonObject{{"cmd", "data_get_status"}}};
        const QString runInfo = command("get_run_info");
        for (const QString& path : {kSpectrum, chainPath("spectra", "time_histogram"), chainPath("spectra", "image"),
                                    chainPath("positions", "position")})
            QTest::newRow(qPrintable("status " + path.section('/', -1))) << "query_by_json" << byPath(path, status) << kIdle;
        QTest::newRow("run_control") << "query_by_json"
            << byPath(chainPath("spectra", "time_histogram"), {QJsonObject{{"cmd", "run_control"}}, QJsonObject{{"status", "freerun"}}}) << kTrue;
        QTest::newRow("later args override") << "query_by_json"
            << byPath(chainPath("spectra", "time_histogram"), {QJsonObject{{"cmd", "run_control"}}, QJsonObject{{"cmd", "data_get_status"}}})
            << kFreerun;
        QTest::newRow("rates reset") << "query_by_json" << byPath(kRates, {QJsonObject{{"cmd", "reset"}}}) << kTrue;
        QTest::newRow("hv by path") << "query_by_json"
            << byPath("Hardware/hv", {QJsonObject{{"cmd", "get_all_ch_values"}, {"param", "read_only"}}})
            << "{\"data\":[{\"VMon\":[0,0,0,0]},...";
        QTest::newRow("hv by name") << "hv" << json(QJsonObject{{"args", QJsonArray{QJsonObject{{"cmd", "get_all_ch_values"},
            {"param", "read_only"}}}}}) << "{\"data\":[{\"VMon\":[0,0,0,0]},...";
        QTest::newRow("oscilloscope") << "oscilloscope" << json(QJsonObject{{"cmd", "set_channel"}, {"ch_enable", QJsonArray{1, 0, 0, 0}}}) << kTrue;
        QTest::newRow("dumper") << "list_dump" << command("set_dump_events", "dump_events", 500000) << kTrue;
        QTest::newRow("commands") << "commands" << runInfo << kNoRun;
        QTest::newRow("slashes removed") << "com/mands/" << runInfo << kNoRun;
        QTest::newRow("start a source") << "commands" << command("start", "endpoint", "list_source") << kTrue;
        QTest::newRow("stop a source") << "commands" << command("stop", "endpoint", "rate_source") << kTrue;
        QTest::newRow("start it again") << "commands" << command("start", "endpoint", "rate_source") << kTrue;
        QTest::newRow("reset sources") << "commands" << command("reset") << kTrue;
        QTest::newRow("start no block") << "commands" << command("start", "endpoint", "nothing") << kFalse;
        QTest::newRow("stop a dumper") << "commands" << command("stop", "endpoint", "list_dump") << kFalse;
        QTest::newRow("start other case") << "commands" << command("start", "endpoint", "LIST_SOURCE") << kFalse;
        QTest::newRow("start no endpoint") << "commands" << command("start") << kFalse;
        QTest::newRow("unknown command") << "commands" << command("START") << "";
        QTest::newRow("command case") << "commands" << command("Reset") << "";
        QTest::newRow("names are case-sensitive") << "Commands" << runInfo << "";
        QTest::newRow("unknown name") << "nobody" << runInfo << "";
        QTest::newRow("spectrum not by name") << "spectrum" << byPath(kSpectrum, status) << "";
        QTest::newRow("source not served") << "list_source" << runInfo << "";
        QTest::newRow("time sorting not served") << "list_sorter" << runInfo << "";
        QTest::newRow("oscilloscope not by path") << "query_by_json" << byPath(chainPath("scope", "oscilloscope"), status) << "";
        QTest::newRow("dumper not by path") << "query_by_json" << byPath(chainPath("spectra", "list_dump"), status) << "";
        QTest::newRow("unknown path") << "query_by_json" << byPath(chainPath("spectra", "nothing"), status) << "";
        QTest::newRow("a name is not a path") << "query_by_json" << byPath("spectrum", status) << "";
        QTest::newRow("path case") << "Query_by_json" << byPath(kSpectrum, status) << "";
        QTest::newRow("array message") << "query_by_json" << json(QJsonArray{QJsonObject{{"path", kSpectrum}, {"args", status}}}) << "";
        QTest::newRow("not JSON") << "commands" << "reset please" << "";
        QTest::newRow("key twice") << "commands" << "{\"cmd\":\"reset\",\"cmd\":\"reset\"}" << "";
        QTest::newRow("key twice once decoded") << "commands" << "{\"cmd\":\"reset\",\"a\":{\"k\":1,\"\\u006b\":[]}}" << "";
        QTest::newRow("one key in two objects") << "commands" << "{\"cmd\":\"reset\",\"a\":[{\"k\":1},{\"k\":1}]}" << kTrue;
    }

    void routingAndReplies()
    {
        QFETCH(QString, route);
        QFETCH(QString, message);
        QFETCH(QString, reply);
        const QStringList replies = client(route).requestAll({message});   // an empty reply is a reply too
        QCOMPARE(replies.size(), 1);
        if (reply.endsWith("..."))
            QVERIFY2(replies.first().startsWith(reply.chopped(3)), qPrintable(replies.first()));
        else
            QCOMPARE(replies.first(), reply);
    }

    void repliesKeepTheOrderAndBinaryIsEchoed()
    {
        WsClient& commands = client("commands");
        QCOMPARE(commands.requestAll({command("get_run_info"), "x", command("start", "endpoint", "x"), command("reset")}),
                 QStringList({kNoRun, "", kFalse, kTrue}));
        const QByteArray bytes("\x00\xff\x7f", 3);
        QCOMPARE(client("nobody").requestBinary(bytes), bytes);
    }

    void aClientThatLeavesItsRepliesUnreadIsCutOff()
    {
        // A hand-made client that reads the handshake's answer and then nothing;
        // each request (a masked text frame, zero mask) asks for 16 spectra.
        QTcpSocket raw;
        raw.connectToHost(QHostAddress::LocalHost, WsClient::kPort);
        QVERIFY(raw.waitForConnected(5000));
        raw.write("GET /query_by_json?token=" + kToken.toLatin1() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                  "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QTRY_VERIFY(raw.canReadLine());
        QVERIFY(raw.readLine().startsWith("HTTP/1.1 101"));
        raw.setReadBufferSize(1);
        QJsonArray channels;
        for (int c = 0; c < 16; ++c)
            channels.append(c);
        const QByteArray request = byPath(kSpectrum, {QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}).toUtf8();
        const QByteArray frame = QByteArray("\x81\xfe", 2) + char(request.size() >> 8) + char(request.size() & 0xff)
                                 + QByteArray(4, '\0') + request;
        QSignalSpy cut(&raw, &QTcpSocket::disconnected);
        const QString line = QStringLiteral("more than the 65536 allowed (\"max_client_backlog_bytes\")");
        for (int i = 0; i < 3000 && !m_server.output().contains(line); ++i) {
            raw.write(frame);
            raw.waitForBytesWritten(100);
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QVERIFY(m_server.waitForOutput(line, 20000));
        QVERIFY(m_server.output().contains("Disconnected 127.0.0.1 port "));
        QCOMPARE(ask("commands", command("get_run_info")), kNoRun);
        raw.setReadBufferSize(0);   // reading again, the client finds its connection gone
        QTRY_COMPARE_WITH_TIMEOUT(cut.count(), 1, 10000);
    }

    // Nothing outside the storage folder (nor any file) changes; each refusal says why.
    void refusedRunIdsAndFolders_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("logged");
        const QString id = QStringLiteral("Refused run id ");
        const QString folder = QStringLiteral("Refused folder \"%1\": ");
        for (const QString& bad : {QString("../outside/x"), QString("."), QString(".."), QString("a/b"), QString("<dir>/outside/abs")})
            QTest::newRow(qPrintable("run id " + bad)) << "commands" << command("start_dump", "run_id", bad) << kFalse
                                                        << id + '"' + bad + "\": ";
        QTest::newRow("run id with NUL") << "commands" << command("start_dump", "run_id", QString("r") + QChar(0)) << kFalse
                                         << id + "\"r\\u0000\": ";
        QTest::newRow("run id with newline") << "commands" << command("start_dump", "run_id", "r\nx") << kFalse << id + "\"r\\nx\": ";
        QTest::newRow("run id of 129") << "commands" << command("start_dump", "run_id", QString(129, 'a')) << kFalse
                                       << id + '"' + QString(64, 'a') + "\"...";
        QTest::newRow("run id empty") << "commands" << command("start_dump", "run_id", "") << kExisting << "";
        QTest::newRow("run id absent") << "commands" << command("start_dump") << kExisting << "";
        QTest::newRow("run id a number") << "commands" << command("start_dump", "run_id", 12) << kExisting << "";
        QTest::newRow("run id a link outside") << "commands" << command("start_dump", "run_id", "link") << kExisting << "";
        QTest::newRow("rate sink run id") << "query_by_json"
            << byPath(kRates, {QJsonObject{{"cmd", "start_dump"}}}, {{"run_id", "../outside"}}) << kFalse << id + "\"../outside\": ";
        QTest::newRow("rate sink folder") << "query_by_json"
            << byPath(kRates, {QJsonObject{{"cmd", "set_dump_path"}}}, {{"file_path", "<dir>/outside"}}) << kFalse
            << folder.arg("<dir>/outside");
        QTest::newRow("dumper folder through the link") << "list_dump" << command("set_dump_path", "file_path", "<dir>/storage/link")
                                                        << kFalse << folder.arg("<dir>/storage/link");
        QTest::newRow("oscilloscope folder ..") << "oscilloscope" << command("set_dump_path", "file_path", "<dir>/storage/..")
                                                << kFalse << folder.arg("<dir>/storage/..");
        QTest::newRow("relative folder") << "list_dump" << command("set_dump_path", "file_path", "../outside") << kFalse
                                         << folder.arg("../outside");
        QTest::newRow("dump_events text") << "list_dump" << command("set_dump_events", "dump_events", "abc") << kFalse
                                          << "Refused dump_events \"abc\": ";
        QTest::newRow("dump_events 0") << "oscilloscope" << command("set_dump_events", "dump_events", 0) << kFalse
                                       << "Refused dump_events 0: ";
        QTest::newRow("dump_events 2.5") << "list_dump" << command("set_dump_events", "dump_events", 2.5) << kFalse << "";
        QTest::newRow("dump_time too long") << "oscilloscope" << command("set_dump_time", "dump_time", 86400001) << kFalse
                                            << "Refused dump_time 86400001: ";
        QTest::newRow("dump_time -1") << "oscilloscope" << command("set_dump_time", "dump_time", -1) << kFalse << "";
    }

    void refusedRunIdsAndFolders()
    {
        QFETCH(QString, route);
        QFETCH(QString, message);
        QFETCH(QString, reply);
        QFETCH(QString, logged);
        message.replace("<dir>", m_server.dir());
        logged.replace("<dir>", m_server.dir());
        const std::map<QString, QByteArray> before = tree(m_server.dir());
        QCOMPARE(ask(route, message), reply);
        if (!logged.isEmpty())
            QVERIFY2(m_server.waitForOutput(logged, 5000), qPrintable(logged));
        QTest::qWait(300);   // time for a writer that was wrongly started to create its files
        QVERIFY(tree(m_server.dir()) == before);
    }

    void aRecordedRunWritesCompleteFiles()
    {
        QCOMPARE(ask("commands", command("start_dump", "run_id", "12")), kTrue);
        QCOMPARE(ask("commands", command("start_dump", "run_id", "12")), kExisting);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(run("12") + "list_dump_0.stat"), 10000);   // after a second
        QCOMPARE(ask("commands", command("pause_dump")), kTrue);
        QCOMPARE(runInfo().value("status").toInt(), 2);
        QCOMPARE(ask("commands", command("restart_dump")), kTrue);
        QTest::qWait(1200);
        const QJsonObject running = runInfo();
        QCOMPARE(running.value("status").toInt(), 1);
        QCOMPARE(running.value("id"), QJsonValue(12));
        QVERIFY(running.value("running_time").toDouble() > 1.5);
        QCOMPARE(ask("commands", command("stop_dump")), kTrue);
        // The writers close their files at the next message they handle, while the server runs on.
        QTRY_COMPARE_WITH_TIMEOUT(runInfo().value("status").toInt(), 0, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(bytesOf(run("12") + "list_dump_0.json").endsWith(']')
                                     && bytesOf(run("12") + "oscilloscope_0.json").endsWith(']')
                                     && bytesOf(run("12") + "rates_0.json").endsWith(']'), 5000);
        const QJsonObject done = runInfo();
        const QByteArray list = bytesOf(run("12") + "list_dump_0.json");
        const QJsonArray events = QJsonDocument::fromJson(list).array();
        QCOMPARE(double(events.size()), done.value("stored_events").toDouble());
        QVERIFY(events.size() > 100);
        QCOMPARE(events.first().toObject().keys(), QStringList({"channel", "energy_raw", "timestamp"}));
        QCOMPARE(double(list.size()), done.value("used_space").toDouble() + 1);   // and the closing bracket
        const QList<QByteArray> stat = bytesOf(run("12") + "list_dump_0.stat").split('\n');
        QCOMPARE(stat.at(0), QByteArray("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte"));
        QCOMPARE(stat.at(1).split(',').size(), 4);
        const QJsonArray waves = QJsonDocument::fromJson(bytesOf(run("12") + "oscilloscope_0.json")).array();
        QVERIFY(!waves.isEmpty());
        QCOMPARE(waves.first().toObject().value("n_samples").toInt(), 512);
        const QJsonArray rates = QJsonDocument::fromJson(bytesOf(run("12") + "rates_0.json")).array();
        QVERIFY(!rates.isEmpty());
        QCOMPARE(rates.first().toObject().value("counts_in").toArray().size(), 16);
        QCOMPARE(QDir(run("12")).entryList(QDir::Files),
                 QStringList({"list_dump_0.json", "list_dump_0.stat", "oscilloscope_0.json", "rates_0.json"}));

        // A writer started again on its own finds its file taken, leaves it and stops.
        const std::map<QString, QByteArray> stopped = tree(run("12"));
        QCOMPARE(ask("list_dump", command("start_dump")), kTrue);
        QCOMPARE(ask("oscilloscope", command("start_dump")), kTrue);
        QCOMPARE(ask("query_by_json", byPath(kRates, {QJsonObject{{"cmd", "start_dump"}}}, {{"run_id", "12"}})), kTrue);
        for (const char* name : {"list_dump_0.json", "oscilloscope_0.json", "rates_0.json"})
            QVERIFY2(m_server.waitForOutput(QStringLiteral("Unable to open file  \"%1%2\"  errno:  \"%3\" . Acquisition disabled")
                                                .arg(run("12"), name, QString::fromLocal8Bit(strerror(EEXIST)))), name);
        QTest::qWait(500);
        QVERIFY(tree(run("12")) == stopped);
        // The stopped rate sink is ready for a new run once it has handled a snapshot
        // after its refusal; the second new snapshot in its reply proves that.
        const auto latestRates = [this] {
            return ask("query_by_json", byPath(kRates, {QJsonObject{{"cmd", "get_data"}, {"source", "immediate"}}})).section(',', 1, 1);
        };
        for (int change = 0; change < 2; ++change) {
            const QString seen = latestRates();
            QTRY_VERIFY_WITH_TIMEOUT(latestRates() != seen, 10000);
        }

        // Every run reads the storage settings again: now CSV, no waveforms. A run id
        // that is no decimal number is a JSON string in the run information.
        QJsonObject config = QJsonDocument::fromJson(bytesOf(m_server.dir() + "/config.json")).object();
        QJsonObject storage = config.value("storage").toObject();
        storage.insert("format", "CSV");
        storage.insert("enable_wave", false);
        config.insert("storage", storage);
        m_server.writeConfig(config);
        QCOMPARE(ask("commands", command("start_dump", "run_id", "run-A.1")), kTrue);
        QCOMPARE(runInfo().value("id"), QJsonValue("run-A.1"));
        QTRY_VERIFY_WITH_TIMEOUT(runInfo().value("stored_events").toDouble() > 0 && QFile::exists(run("run-A.1") + "rates_0.csv"), 10000);
        QCOMPARE(ask("commands", command("stop_dump")), kTrue);
        QTest::qWait(1000);
        QCOMPARE(QDir(run("run-A.1")).entryList({"*.csv", "*.json", "*.bin"}, QDir::Files), QStringList({"list_dump_0.csv", "rates_0.csv"}));
        QVERIFY(bytesOf(run("run-A.1") + "list_dump_0.csv").contains(",\n"));
    }

    void liveSpectraShowThePhotopeaks()
    {
        const auto spectrum = [this](const QJsonArray& args) { return ask("query_by_json", byPath(kSpectrum, args)); };
        QJsonArray channels;
        for (int c = 0; c < 16; ++c)
            channels.append(c);
        const auto spectra = [&] {
            return QJsonDocument::fromJson(spectrum({QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}).toUtf8()).array();
        };
        QCOMPARE(spectrum({QJsonObject{{"cmd", "run_control"}, {"status", "freerun"}}}), kTrue);
        QCOMPARE(spectrum({QJsonObject{{"cmd", "data_get_status"}}}), kFreerun);
        QJsonArray counted;
        QTRY_VERIFY_WITH_TIMEOUT((counted = spectra(), countsIn(counted, 0, 4095) > 12000), 20000);
        QCOMPARE(counted.size(), 16);
        QCOMPARE(counted.at(15).toObject().value("data").toArray().size(), 4096);
        // Calibration x*0.25 and gain 0.25: one bin is one keV. The 662 keV photopeak
        // stands well above the valley below it; so does the 1332 keV one.
        QVERIFY(countsIn(counted, 645, 679) > 3 * countsIn(counted, 560, 594));
        QVERIFY(countsIn(counted, 1320, 1345) > 2 * countsIn(counted, 1380, 1405));
        QCOMPARE(spectrum({QJsonObject{{"cmd", "run_control"}, {"status", "idle"}}}), kTrue);
        QCOMPARE(spectrum({QJsonObject{{"cmd", "reset"}}}), kTrue);
        QCOMPARE(countsIn(spectra(), 0, 4095), qint64(0));
        // No block of the demo chains lost anything meanwhile.
        const QJsonArray statistics = QJsonDocument::fromJson(ask("commands", command("get_statistics")).toUtf8()).array();
        QStringList names;
        for (const QJsonValue& block : statistics) {
            names << block.toObject().value("name").toString();
            QCOMPARE(block.toObject().value("lost_events").toInt(), 0);
        }
        QCOMPARE(names, QStringList({"list_source", "list_sorter", "list_tee", "spectrum", "time_histogram", "image",
                                     "list_dump", "pair_source", "pair_sorter", "position", "wave_source", "oscilloscope",
                                     "rate_source", "rates", "hv"}));
    }

    void highVoltageIsSwitchedAndReadBack()
    {
        const QString readAll = byPath("Hardware/hv", {QJsonObject{{"cmd", "get_all_ch_values"}, {"param", "all"}}});
        QCOMPARE(ask("commands", command("hv_on")), kTrue);
        QCOMPARE(ask("query_by_json", readAll),
                 QStringLiteral("{\"response\":\"ok\",\"VSet\":[900,900,950,950],\"ISet\":[20,20,20,20],\"RampUp\":25,"
                                "\"VMon\":[900,900,950,950],\"IMon\":[2.300,2.300,2.425,2.425],\"Temp\":25}"));
        QCOMPARE(ask("commands", command("hv_off")), kTrue);
        QVERIFY(ask("query_by_json", readAll).contains("\"VMon\":[0,0,0,0]"));
    }

    void nothingOutsideTheStorageFolderChanged()
    {
        QCOMPARE(tree(outside()).size(), size_t(1));
        QCOMPARE(bytesOf(outside() + "/precious.txt"), QByteArray("recorded yesterday\n"));
        QCOMPARE(QDir(m_server.dir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList({"bin", "config.json", "outside", "storage"}));
    }
};

QTEST_GUILESS_MAIN(TestServerSession)
#include "tst_server_session.moc"
