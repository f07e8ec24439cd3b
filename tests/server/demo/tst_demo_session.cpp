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

QJsonObject demoConfig(const QString& storage)
{
    QFile file(QStringLiteral(QUARIX_SOURCE_DIR "/quarix_config_qdcpos.json"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject storageObject = config.value("storage").toObject();
    storageObject.insert("file_path", storage);
    config.insert("storage", storageObject);
    return config;
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
        const QJsonObject config = demoConfig(m_server.storagePath());
        QVERIFY(!config.isEmpty());
        QVERIFY(m_server.start(m_server.writeConfig(config)));
    }

    void cleanupTestCase() { QCOMPARE(m_server.terminate(), 0); }

    void aClientReadsLiveSpectraWithThePhotopeaks()
    {
        WsClient client;
        QVERIFY(client.connectTo("query_by_json"));
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "data_get_status"}}})),
                 QStringLiteral("[{\"response\": true, \"status\":\"idle\"}]"));
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "run_control"}}, QJsonObject{{"status", "freerun"}}})),
                 QStringLiteral("[{\"response\": true}]"));
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "data_get_status"}}})),
                 QStringLiteral("[{\"response\": true, \"status\":\"freerun\"}]"));

        QJsonArray channels;
        for (int c = 0; c < 16; ++c)
            channels.append(c);
        QJsonArray spectra;
        QTRY_VERIFY_WITH_TIMEOUT(
            (spectra = QJsonDocument::fromJson(
                           client.request(request(kSpectrum, {QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}))
                               .toUtf8())
                           .array(),
             countsIn(spectra, 0, 4095) > 20000),
            20000);
        QCOMPARE(spectra.size(), 16);
        QCOMPARE(spectra.at(0).toObject().value("data").toArray().size(), 4096);
        // One bin is one keV: the 662 keV photopeak stands well above the
        // valley between the Compton edge (477 keV) and the peak.
        const qint64 peak = countsIn(spectra, 645, 679);
        const qint64 valley = countsIn(spectra, 560, 594);
        QVERIFY2(peak > 3 * valley, qPrintable(QStringLiteral("peak %1, valley %2").arg(peak).arg(valley)));
        QVERIFY(countsIn(spectra, 1320, 1345) > 2 * countsIn(spectra, 1380, 1405));   // 1332 keV

        // Stop counting, clear, and read zeros.
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "run_control"}, {"status", "idle"}}})),
                 QStringLiteral("[{\"response\": true}]"));
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "reset"}}})), QStringLiteral("[{\"response\": true}]"));
        const QJsonArray cleared = QJsonDocument::fromJson(
                                       client.request(request(kSpectrum, {QJsonObject{{"cmd", "get_data"}, {"channels", channels}}}))
                                           .toUtf8())
                                       .array();
        QCOMPARE(cleared.size(), 16);
        QCOMPARE(countsIn(cleared, 0, 4095), qint64(0));
        QCOMPARE(client.request(request(kSpectrum, {QJsonObject{{"cmd", "data_get_status"}}})),
                 QStringLiteral("[{\"response\": true, \"status\":\"idle\"}]"));
    }
};

QTEST_GUILESS_MAIN(TestDemoSession)
#include "tst_demo_session.moc"
