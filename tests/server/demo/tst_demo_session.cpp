// The demo configuration end to end: the real server on the simulated boards,
// driven by a real WebSocket client as a user's client would drive it.
#include "server_process.h"
#include "ws_client.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {
const QString kSpectrum = QStringLiteral("processing/0/filter_chain/spectra/chain/spectrum");

QString request(const QString& path, const QJsonArray& args)
{
    return QString::fromUtf8(QJsonDocument(QJsonObject{{"path", path}, {"args", args}}).toJson(QJsonDocument::Compact));
}

const QString kOk = QStringLiteral("[{\"response\": true}]");

// The demo configuration with the test's storage folder and the simulated event
// rate per channel (the first element of the digitizer's first group) lowered,
// so that sanitizer builds keep up.
QJsonObject demoConfig(const QString& storage, const QString& rate)
{
    QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/quarix_config_qdcpos.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject storageObject = config.value("storage").toObject();
    storageObject.insert("file_path", storage);
    config.insert("storage", storageObject);
    QJsonArray hardware = config.value("Hardware").toArray();
    QJsonObject digitizer = hardware.at(0).toObject();
    QJsonArray groups = digitizer.value("configs").toArray();
    QJsonObject group = groups.at(0).toObject();
    QJsonArray elements = group.value("elements").toArray();
    QJsonObject element = elements.at(0).toObject();
    element.insert("value", rate);
    elements.replace(0, element);
    group.insert("elements", elements);
    groups.replace(0, group);
    digitizer.insert("configs", groups);
    hardware.replace(0, digitizer);
    config.insert("Hardware", hardware);
    return config;
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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

class TestDemoSession : public QObject {
    Q_OBJECT
private:
    ServerProcess m_server;

private slots:
    void initTestCase()
    {
        QVERIFY(m_server.addPlugin(QStringLiteral(QUARIX_SIM_PLUGIN)));
        const QJsonObject config = demoConfig(m_server.storagePath(), QStringLiteral("500"));
        QVERIFY(!config.isEmpty());
        QVERIFY(m_server.start(m_server.writeConfig(config)));
    }

    void cleanupTestCase() { QCOMPARE(m_server.terminate(), 0); }

    void aClientReadsLiveSpectraWithThePhotopeaks()
    {
        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        const auto ask = [&](const QJsonArray& args) { return client.request(request(kSpectrum, args)); };
        QJsonArray channels;
        for (int c = 0; c < 16; ++c)
            channels.append(c);
        const auto spectraNow = [&] {
            return QJsonDocument::fromJson(ask({QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}).toUtf8()).array();
        };
        const QJsonArray status{QJsonObject{{"cmd", "data_get_status"}}};
        QCOMPARE(ask(status), QStringLiteral("[{\"response\": true, \"status\":\"idle\"}]"));
        QCOMPARE(ask({QJsonObject{{"cmd", "run_control"}}, QJsonObject{{"status", "freerun"}}}), kOk);
        QCOMPARE(ask(status), QStringLiteral("[{\"response\": true, \"status\":\"freerun\"}]"));

        QJsonArray spectra;
        QTRY_VERIFY_WITH_TIMEOUT((spectra = spectraNow(), countsIn(spectra, 0, 4095) > 12000), 20000);
        QCOMPARE(spectra.size(), 16);
        QCOMPARE(spectra.at(0).toObject().value("data").toArray().size(), 4096);
        // One bin is one keV: the 662 keV photopeak stands well above the
        // valley between the Compton edge (477 keV) and the peak.
        const qint64 peak = countsIn(spectra, 645, 679);
        const qint64 valley = countsIn(spectra, 560, 594);
        QVERIFY2(peak > 3 * valley, qPrintable(QStringLiteral("peak %1, valley %2").arg(peak).arg(valley)));
        QVERIFY(countsIn(spectra, 1320, 1345) > 2 * countsIn(spectra, 1380, 1405));   // 1332 keV

        // Stop counting, clear, and read zeros.
        QCOMPARE(ask({QJsonObject{{"cmd", "run_control"}, {"status", "idle"}}}), kOk);
        QCOMPARE(ask({QJsonObject{{"cmd", "reset"}}}), kOk);
        const QJsonArray cleared = spectraNow();
        QCOMPARE(cleared.size(), 16);
        QCOMPARE(countsIn(cleared, 0, 4095), qint64(0));
        QCOMPARE(ask(status), QStringLiteral("[{\"response\": true, \"status\":\"idle\"}]"));
    }

    void aClientRecordsARunAndTheFilesMatchTheRunInformation()
    {
        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        QCOMPARE(commands.request(R"({"cmd":"get_run_info"})"),
                 QStringLiteral("[{\"status\":0,\"name\": \"list_dump\",\"event_rate\":0,\"id\":0,"
                                "\"stored_events\":0,\"running_time\":0,\"used_space\":0}]"));
        QCOMPARE(commands.request(R"({"cmd":"start_dump","run_id":"12"})"), kOk);
        QCOMPARE(commands.request(R"({"cmd":"start_dump","run_id":"12"})"),
                 QStringLiteral("[{\"response\": \"Existing Folder\"}]"));
        QTest::qWait(1500);
        QCOMPARE(commands.request(R"({"cmd":"pause_dump"})"), kOk);
        QTest::qWait(300);
        QCOMPARE(commands.request(R"({"cmd":"restart_dump"})"), kOk);
        QTest::qWait(1500);
        const auto runInfo = [&] {
            return QJsonDocument::fromJson(commands.request(R"({"cmd":"get_run_info"})").toUtf8()).array().at(0).toObject();
        };
        const QJsonObject running = runInfo();
        QCOMPARE(running.value("status").toInt(), 1);
        QCOMPARE(running.value("id").toInt(), 12);
        QVERIFY(running.value("stored_events").toDouble() > 0);
        QVERIFY(running.value("running_time").toDouble() > 2.0);

        QCOMPARE(commands.request(R"({"cmd":"stop_dump"})"), kOk);
        // The writers close their files at the next message they handle.
        const QString run = m_server.storagePath() + QStringLiteral("/12/");
        QTest::qWait(1500);
        const QJsonObject done = runInfo();
        QCOMPARE(done.value("status").toInt(), 0);

        // List events: "QRXS", ten digits of creation time, 25-byte records.
        const QByteArray list = fileBytes(run + "list_dump_0.bin");
        QVERIFY(list.startsWith("QRXS"));
        bool digits = false;
        QVERIFY(list.mid(4, 10).toLongLong(&digits) > 1600000000 && digits);
        QCOMPARE((list.size() - 14) % 25, 0);
        QCOMPARE(qint64((list.size() - 14) / 25), qint64(done.value("stored_events").toDouble()));
        QCOMPARE(qint64(list.size()), qint64(done.value("used_space").toDouble()));

        const QList<QByteArray> stat = fileBytes(run + "list_dump_0.stat").split('\n');
        QVERIFY(stat.size() >= 3);
        QCOMPARE(stat.at(0), QByteArray("RUNNING_TIME_s,TOTAL_EVENTS,EVENT_RATE_hz,USED_SPACE_byte"));
        QCOMPARE(stat.at(1).split(',').size(), 4);

        // Waveforms: 16-byte header, records of 32 + 4 channels x 512 samples x 12 bytes.
        const QByteArray waves = fileBytes(run + "oscilloscope_0.bin");
        QVERIFY(waves.startsWith(QByteArray("QRXO\0\0\0\0", 8)));
        QVERIFY(waves.size() >= 16 + 24608);
        QCOMPARE((waves.size() - 16) % 24608, 0);

        // Rate counters: 16-byte header, records of 12 + 24 x 16 channels.
        const QByteArray rates = fileBytes(run + "rates_0.bin");
        QVERIFY(rates.startsWith(QByteArray("QRXR\0\0\0\0", 8)));
        QVERIFY(rates.size() >= 16 + 396);
        QCOMPARE((rates.size() - 16) % 396, 0);
    }

    void highVoltageIsSwitchedAndReadBack()
    {
        WsClient commands;
        QVERIFY(commands.connectTo("commands"));
        WsClient query;
        QVERIFY(query.connectTo("query_by_json"));
        const QString readAll = R"({"path":"Hardware/hv","args":[{"cmd":"get_all_ch_values","param":"all"}]})";
        QVERIFY(query.request(readAll).contains("\"VMon\":[0,0,0,0]"));
        QCOMPARE(commands.request(R"({"cmd":"hv_on"})"), kOk);
        QCOMPARE(query.request(readAll),
                 QStringLiteral("{\"response\":\"ok\",\"VSet\":[900,900,950,950],\"ISet\":[20,20,20,20],"
                                "\"RampUp\":25,\"VMon\":[900,900,950,950],\"IMon\":[2.300,2.300,2.425,2.425],"
                                "\"Temp\":25}"));
        QCOMPARE(commands.request(R"({"cmd":"hv_off"})"), kOk);
        QVERIFY(query.request(readAll).contains("\"VMon\":[0,0,0,0]"));
    }
};

QTEST_GUILESS_MAIN(TestDemoSession)
#include "tst_demo_session.moc"
