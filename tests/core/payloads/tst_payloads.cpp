// Payloads: deep copies and the exact bytes of every serialised form.
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"

#include <QtTest>

#include <clocale>
#include <cstring>
#include <memory>
#include <sstream>

namespace {
QByteArray serialized(const QuarixPayload& payload, int format, bool* ok = nullptr)
{
    std::ostringstream out;
    const bool result = payload.Serialize(format, out);
    if (ok)
        *ok = result;
    const std::string bytes = out.str();
    return QByteArray(bytes.data(), static_cast<int>(bytes.size()));
}

QByteArray le64(quint64 value)
{
    QByteArray bytes;
    for (int i = 0; i < 8; ++i)
        bytes.append(char((value >> (8 * i)) & 0xff));
    return bytes;
}

QByteArray le32(quint32 value)
{
    return le64(value).left(4);
}

QByteArray leDouble(double value)
{
    quint64 bits;
    std::memcpy(&bits, &value, 8);
    return le64(bits);
}

QuarixPayload_Energy energyEvent()
{
    QuarixPayload_Energy event;
    event.timestamp = 1234;
    event.channel = 3;
    event.energy_raw = 1024;
    event.energy = 256.5;
    event.flag1 = 1;
    event.flag2 = 0;
    event.extra = 77;
    event.arrival_time = 555;
    return event;
}

QuarixPayload_RateCounters oneChannelSnapshot()
{
    QuarixPayload_RateCounters snapshot(1);
    snapshot.timestamp = 42;
    (*snapshot.rates_in)[0] = 12.5;
    (*snapshot.counters_in)[0] = 0x100000005ULL;   // only the low 32 bits go into the binary form
    (*snapshot.rates_out)[0] = 10.25;
    (*snapshot.counters_out)[0] = 9;
    return snapshot;
}
}  // namespace

class TestPayloads : public QObject {
    Q_OBJECT
private slots:
    void kindsCarryTheirTypeAndEventCount()
    {
        QCOMPARE(QVariantList({QuarixPayload_Energy().type, QuarixPayload_Energy().event_count,
                               QuarixPayload_RateCounters(2).type, QuarixPayload_RateCounters(2).event_count,
                               QuarixPayload_Waves().type, QuarixPayload_Waves().event_count,
                               QuarixPayload_Wave().type, QuarixPayload_Wave().event_count}),
                 QVariantList({"energy", 1, "rate_counters", 1, "waveform", 0, "", 0}));
        const QuarixPayload_RateCounters zeroed(3);
        QCOMPARE(int(zeroed.rates_in_start->size()), 3);
        QCOMPARE(zeroed.counters_out->at(2), quint64(0));
    }

    void cloningAStampedEnergyEventCopiesEveryField()
    {
        std::unique_ptr<QuarixPayload> copy(energyEvent().Clone());
        auto* c = dynamic_cast<QuarixPayload_Energy*>(copy.get());
        QVERIFY(c);
        QCOMPARE(QVariantList({quint64(c->arrival_time), quint64(c->timestamp), c->channel, c->energy_raw, c->energy,
                               int(c->flag1), int(c->flag2), c->extra}),
                 QVariantList({555ULL, 1234ULL, 3U, 1024U, 256.5, 1, 0, 77U}));
    }

    void aClonedWaveformGroupOutlivesItsSource()
    {
        auto* group = new QuarixPayload_Waves;
        group->timestamp = 900;
        group->n_samples = 2;
        group->header64 = 11;
        group->header32a = 12;
        group->header32b = 13;
        for (int w = 0; w < 2; ++w) {
            auto* wave = new QuarixPayload_Wave;
            wave->trace_header32a = 20 + w;
            wave->analog = new std::vector<double>{1.5 + w, -2.0};
            wave->digital = new std::vector<uint32_t>{6u, 1u};
            group->waves.push_back(wave);
        }
        std::unique_ptr<QuarixPayload_Waves> clone(static_cast<QuarixPayload_Waves*>(group->Clone()));
        QVERIFY(clone->waves.at(0) != group->waves.at(0));
        QVERIFY(clone->waves.at(0)->analog != group->waves.at(0)->analog);
        delete group;
        QCOMPARE(clone->timestamp, quint64(900));
        QCOMPARE(clone->n_samples, 2);
        QCOMPARE(clone->header64, quint64(11));
        QCOMPARE(clone->header32b, 13u);
        QCOMPARE(int(clone->waves.size()), 2);
        QCOMPARE(clone->waves.at(1)->trace_header32a, 21u);
        QCOMPARE(*clone->waves.at(1)->analog, (std::vector<double>{2.5, -2.0}));
        QCOMPARE(*clone->waves.at(0)->digital, (std::vector<uint32_t>{6u, 1u}));
    }

    void aWaveformGroupSkipsNullWavesWhenDestroyed()
    {
        auto* group = new QuarixPayload_Waves;
        group->waves.push_back(nullptr);
        group->waves.push_back(new QuarixPayload_Wave);
        std::unique_ptr<QuarixPayload> clone(group->Clone());
        delete group;   // must not touch the null entry
        QCOMPARE(int(static_cast<QuarixPayload_Waves*>(clone.get())->waves.size()), 2);
    }

    void cloningARateSnapshotKeepsAllSixVectors()
    {
        QuarixPayload_RateCounters snapshot = oneChannelSnapshot();
        snapshot.elapsed_time = 2.001;
        (*snapshot.rates_in_start)[0] = 3.0;
        (*snapshot.rates_out_start)[0] = 4.0;
        std::unique_ptr<QuarixPayload_RateCounters> c(static_cast<QuarixPayload_RateCounters*>(snapshot.Clone()));
        QVERIFY(c->rates_in != snapshot.rates_in);
        QCOMPARE(QVariantList({quint64(c->timestamp), c->elapsed_time, c->rates_in->at(0), quint64(c->counters_in->at(0)),
                               c->rates_out->at(0), quint64(c->counters_out->at(0)), c->rates_in_start->at(0),
                               c->rates_out_start->at(0)}),
                 QVariantList({42ULL, 2.001, 12.5, 0x100000005ULL, 10.25, 9ULL, 3.0, 4.0}));
    }

    // The ordinary energy forms are checked byte for byte in the files of a recorded run; here the extremes.
    void energyEventFormsKeepExtremeValues()
    {
        QuarixPayload_Energy event = energyEvent();
        event.flag1 = 0xff;
        event.flag2 = 0x81;   // (0x81 * 2 + 0xff) modulo 256
        QCOMPARE(serialized(event, 0).at(24), char(static_cast<quint8>(0x81 * 2 + 0xff)));
        event.timestamp = 18446744073709551615ULL;
        event.channel = 4294967295u;   // written unsigned
        event.energy_raw = 0;
        QCOMPARE(serialized(event, 1), QByteArray("18446744073709551615,4294967295,0,\n"));
    }

    void rateSnapshotBinaryFormIsFortyBytesForOneChannel()
    {
        const QuarixPayload_RateCounters snapshot = oneChannelSnapshot();
        const QByteArray expected = le64(42) + le64(1) + leDouble(12.5) + le32(5) + leDouble(10.25) + le32(9);
        const QByteArray bytes = serialized(snapshot, 0);
        QCOMPARE(bytes.size(), 40);
        QCOMPARE(bytes, expected);
    }

    void rateSnapshotTextForms()
    {
        QuarixPayload_RateCounters snapshot(2);
        snapshot.timestamp = 7;
        *snapshot.rates_in = {1.5, 2.0};
        *snapshot.counters_in = {10, 20};
        *snapshot.rates_out = {0.25, 1e6};
        *snapshot.counters_out = {8, 18};
        QCOMPARE(serialized(snapshot, 1),
                 QByteArray("7,2,1.500000,10,0.250000,8,2.000000,20,1000000.000000,18,\n"));
        QCOMPARE(serialized(snapshot, 2),
                 QByteArray("{\"timestamp\":7,\"nchannels\":2,\"rates_in\": [ 1.500000,2.000000], "
                            "\"counters_in\": [ 10,20], \"rates_out\": [ 0.250000,1000000.000000], "
                            "\"counters_out\": [ 8,18] }\n"));
        const QByteArray single = serialized(oneChannelSnapshot(), 2);
        QVERIFY(single.contains("\"rates_in\": [ 12.500000], "));
    }

    void textFormsIgnoreTheProcessLocale()
    {
        // A decimal-comma locale must not leak into the files.
        const char* previous = std::setlocale(LC_ALL, nullptr);
        const std::string saved = previous ? previous : "C";
        if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "fr_FR.UTF-8"))
            QSKIP("no decimal-comma locale installed");
        const QByteArray csv = serialized(oneChannelSnapshot(), 1);
        std::setlocale(LC_ALL, saved.c_str());
        QVERIFY(csv.startsWith("42,1,12.500000,"));
    }

    void unknownFormatsWriteNothing_data()
    {
        QTest::addColumn<int>("kind");   // 0 energy, 1 rate counters, 2 waveform group, 3 single wave
        QTest::addColumn<int>("format");
        const int rows[][2] = {{0, 3}, {0, -1}, {1, 3}, {2, 0}, {2, 1}, {2, 2}, {2, 3}, {3, 1}, {3, 3}};
        for (const auto& row : rows)
            QTest::addRow("kind %d format %d", row[0], row[1]) << row[0] << row[1];
    }
    void unknownFormatsWriteNothing()
    {
        QFETCH(int, kind);
        QFETCH(int, format);
        std::unique_ptr<QuarixPayload> payload;
        switch (kind) {
        case 0: payload.reset(new QuarixPayload_Energy); break;
        case 1: payload.reset(new QuarixPayload_RateCounters(1)); break;
        case 2: payload.reset(new QuarixPayload_Waves); break;
        default: payload.reset(new QuarixPayload_Wave); break;
        }
        bool ok = true;
        QCOMPARE(serialized(*payload, format, &ok), QByteArray());
        QVERIFY(!ok);
    }
};

QTEST_GUILESS_MAIN(TestPayloads)
#include "tst_payloads.moc"
