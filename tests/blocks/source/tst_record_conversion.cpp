// Records a board delivers that cannot be what the source's data type says:
// each is skipped and counted, and nothing is read through its pointers.
// Under AddressSanitizer a read beyond the small arrays below fails the test.
#include "blocks/source/record_conversion.h"
#include "board_access/readout_records.h"
#include "core/data_packet.h"
#include "core/quarix_payload_waves.h"

#include <QtTest>

#include <vector>

namespace {
using Limits = RecordConverter;

// Arrays just large enough for what the valid row declares (two traces at the
// sample limit) and too small for what every invalid row declares.
struct Memory {
    std::vector<int32_t> analog = std::vector<int32_t>(2 * Limits::kMaxSamples, 7);
    std::vector<uint32_t> digital = std::vector<uint32_t>(2 * Limits::kMaxSamples, 1);
    uint64_t counters[4] = {1, 2, 3, 4};
    readout::TraceBlock traces{0, 0, 0, 0, 0, analog.data(), digital.data()};
    readout::Waveform wave{};
    readout::RateCounters rates{};
    readout::EnergyPair pair{};
    readout::Entry entry{0, 5, 6, nullptr};
};

struct Converted {
    uint64_t bad = 0;
    int messages = 0;
    int waves = 0;
};

Converted convert(const QString& dataType, const readout::Entry& entry, int32_t count = 1)
{
    RecordConverter converter(dataType, QStringLiteral("endpoints\\x"));
    std::vector<PinMessage> out;
    converter.convert(&entry, count, EnergyCalibration(), 1.0, out);
    Converted result{converter.badRecords(), int(out.size()), 0};
    for (PinMessage& message : out) {
        if (message.packet && !message.packet->items.empty()) {
            if (const auto* group = dynamic_cast<const QuarixPayload_Waves*>(message.packet->items.front()))
                result.waves += int(group->waves.size());
        }
        delete message.packet;
    }
    return result;
}
}  // namespace

class TestRecordConversion : public QObject {
    Q_OBJECT
private slots:
    void recordsBeyondTheLimitsAreSkippedAndCounted_data()
    {
        QTest::addColumn<QString>("row");
        QTest::addColumn<int>("bad");
        QTest::addColumn<int>("waves");
        QTest::newRow("waveform at the sample limit") << "samples at limit" << 0 << 2;
        QTest::newRow("waveform beyond the sample limit") << "samples beyond" << 1 << 0;
        QTest::newRow("waveform with negative samples") << "samples negative" << 1 << 0;
        QTest::newRow("waveform beyond the trace limit") << "traces beyond" << 1 << 0;
        QTest::newRow("waveform record missing") << "null record" << 1 << 0;
        QTest::newRow("rate counters beyond the channel limit") << "channels beyond" << 1 << 0;
        QTest::newRow("rate counters without channels") << "no channels" << 1 << 0;
        QTest::newRow("energy pair beyond the pair limit") << "pair beyond" << 1 << 0;
        QTest::newRow("batch beyond the entry limit") << "entries beyond" << 1 << 0;
    }
    void recordsBeyondTheLimitsAreSkippedAndCounted()
    {
        QFETCH(QString, row);
        QFETCH(int, bad);
        QFETCH(int, waves);
        Memory m;
        m.wave.n_traces = 2;
        m.wave.n_samples = Limits::kMaxSamples;
        m.wave.traces = &m.traces;
        m.entry.record = &m.wave;
        QString type = QStringLiteral("waveform");
        int32_t count = 1;
        if (row == "samples beyond")
            m.wave.n_samples = Limits::kMaxSamples + 1;
        else if (row == "samples negative")
            m.wave.n_samples = -5;
        else if (row == "traces beyond")
            m.wave.n_traces = Limits::kMaxTraces + 1;
        else if (row == "null record")
            m.entry.record = nullptr;
        else if (row == "entries beyond")
            count = Limits::kMaxEntries + 1;
        if (row == "channels beyond" || row == "no channels") {
            type = QStringLiteral("rate_counters");
            m.rates.n_channels = row == "no channels" ? 0 : Limits::kMaxRateChannels + 1;
            m.rates.counters_in = m.counters;
            m.entry.record = &m.rates;
        } else if (row == "pair beyond") {
            type = QStringLiteral("energy_pair");
            m.pair.pair_index = Limits::kMaxPairIndex + 1;
            m.entry.record = &m.pair;
        }
        const Converted result = convert(type, m.entry, count);
        QCOMPARE(int(result.bad), bad);
        QCOMPARE(result.waves, waves);
    }
};

QTEST_GUILESS_MAIN(TestRecordConversion)
#include "tst_record_conversion.moc"
