#include "blocks/source/record_conversion.h"

#include "board_access/readout_records.h"
#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"
#include "core/quarix_payload_rate_counters.h"
#include "core/quarix_payload_wave.h"
#include "core/quarix_payload_waves.h"

#include <cstring>

namespace {
// Plugin memory is read by copy: nothing guarantees that its records are aligned.
template <typename T>
T readAt(const void* address)
{
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

readout::Entry entryAt(const char* entries, int32_t i)
{
    return readAt<readout::Entry>(entries + static_cast<size_t>(i) * sizeof(readout::Entry));
}

uint64_t u64At(const uint64_t* values, uint32_t i)
{
    return readAt<uint64_t>(values + i);
}
}  // namespace

RecordConverter::Kind RecordConverter::kindOf(const QString& dataType)
{
    if (dataType == QLatin1String("energy"))
        return Kind::Energy;
    if (dataType == QLatin1String("energy_pair"))
        return Kind::EnergyPair;
    if (dataType == QLatin1String("waveform"))
        return Kind::Waveform;
    if (dataType == QLatin1String("rate_counters"))
        return Kind::RateCounters;
    return Kind::Other;
}

RecordConverter::RecordConverter(const QString& dataType, const QString& endpointPath)
    : m_dataType(dataType),
      m_energyType(QStringLiteral("energy")),
      m_endpointPath(endpointPath),
      m_kind(kindOf(dataType))
{
}

void RecordConverter::convert(const void* entries, int32_t count, const EnergyCalibration& calibration,
                              double elapsedSeconds, std::vector<PinMessage>& out)
{
    if (!entries || count <= 0)
        return;
    if (count > kMaxEntries) {
        ++m_badRecords;
        return;
    }
    const auto* bytes = static_cast<const char*>(entries);
    switch (m_kind) {
    case Kind::Energy: convertEnergy(bytes, count, calibration, out); break;
    case Kind::EnergyPair: convertEnergyPairs(bytes, count, calibration, out); break;
    case Kind::Waveform: convertWaveforms(bytes, count, out); break;
    case Kind::RateCounters: convertRateCounters(bytes, count, elapsedSeconds, out); break;
    case Kind::Other: break;
    }
}

PinMessage RecordConverter::message(const QString& dataType, quint64 header0, quint64 header1,
                                    DataPacket* packet) const
{
    PinMessage message;
    message.data_type = dataType;
    message.source = m_endpointPath;
    message.header0 = header0;
    message.header1 = header1;
    message.packet = packet;
    return message;
}

void RecordConverter::convertEnergy(const char* entries, int32_t count, const EnergyCalibration& calibration,
                                    std::vector<PinMessage>& out)
{
    auto* packet = new DataPacket(m_dataType, 0);
    packet->items.reserve(static_cast<size_t>(count));
    for (int32_t i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            ++m_badRecords;
            continue;
        }
        const auto record = readAt<readout::EnergyEvent>(entry.record);
        auto* event = new QuarixPayload_Energy;
        event->timestamp = record.timestamp;
        event->channel = record.channel;
        event->energy_raw = record.energy_raw;
        event->energy = calibration.energy(record.energy_raw, record.energy);
        event->flag1 = record.flag1;
        event->flag2 = record.flag2;
        event->extra = record.extra;
        packet->items.push_back(event);
        packet->timestamp = record.timestamp;
    }
    const readout::Entry first = entryAt(entries, 0);
    out.push_back(message(m_dataType, first.header0, first.header1, packet));
}

void RecordConverter::convertEnergyPairs(const char* entries, int32_t count, const EnergyCalibration& calibration,
                                         std::vector<PinMessage>& out)
{
    const quint64 secondHeader = entryAt(entries, 0).header1;
    for (int32_t i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            ++m_badRecords;
            continue;
        }
        const auto record = readAt<readout::EnergyPair>(entry.record);
        if (record.pair_index > kMaxPairIndex) {
            ++m_badRecords;
            continue;
        }
        auto* packet = new DataPacket(m_energyType, record.timestamp);
        for (uint32_t side = 0; side < 2; ++side) {
            auto* event = new QuarixPayload_Energy;
            event->timestamp = record.timestamp;
            event->channel = 2 * record.pair_index + side;
            event->energy_raw = record.energy_raw[side];
            event->energy = calibration.energy(record.energy_raw[side], record.energy[side]);
            event->flag1 = record.flag1;
            event->flag2 = record.flag2;
            event->extra = record.extra;
            packet->items.push_back(event);
        }
        out.push_back(message(m_energyType, record.timestamp, secondHeader, packet));
    }
}

void RecordConverter::convertWaveforms(const char* entries, int32_t count, std::vector<PinMessage>& out)
{
    auto* group = new QuarixPayload_Waves;
    int64_t batchSamples = 0;
    for (int32_t i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            ++m_badRecords;
            continue;
        }
        const auto record = readAt<readout::Waveform>(entry.record);
        const bool hasTraces = record.n_traces > 0 && record.traces;
        const int64_t recordSamples = hasTraces ? int64_t(record.n_traces) * record.n_samples : 0;
        if (record.n_samples < 0 || record.n_samples > kMaxSamples || record.n_traces < 0 ||
            record.n_traces > kMaxTraces || batchSamples + recordSamples > kMaxBatchSamples) {
            ++m_badRecords;
            continue;
        }
        batchSamples += recordSamples;
        group->timestamp = record.timestamp;
        group->header64 = record.header64;
        group->n_samples = record.n_samples;
        group->header32a = record.header32a;
        group->header32b = record.header32b;
        if (!hasTraces)
            continue;
        const auto block = readAt<readout::TraceBlock>(record.traces);
        const auto samples = static_cast<size_t>(record.n_samples);
        for (size_t t = 0; t < static_cast<size_t>(record.n_traces); ++t) {
            auto* wave = new QuarixPayload_Wave;
            wave->trace_header32a = block.header32a;
            wave->trace_header64 = block.header64;
            wave->trace_header32b = block.header32b;
            wave->analog = new std::vector<double>(samples);
            wave->digital = new std::vector<uint32_t>(samples);
            const size_t offset = t * samples;
            for (size_t s = 0; s < samples; ++s) {
                if (block.analog)
                    (*wave->analog)[s] = static_cast<double>(readAt<int32_t>(block.analog + offset + s));
                if (block.digital)
                    (*wave->digital)[s] = readAt<uint32_t>(block.digital + offset + s);
            }
            group->waves.push_back(wave);
        }
    }
    const readout::Entry last = entryAt(entries, count - 1);
    auto* packet = new DataPacket(m_dataType, group->timestamp);
    packet->items.push_back(group);
    out.push_back(message(m_dataType, last.header0, last.header1, packet));
}

void RecordConverter::convertRateCounters(const char* entries, int32_t count, double elapsedSeconds,
                                          std::vector<PinMessage>& out)
{
    const double elapsed = elapsedSeconds + 0.001;
    for (int32_t i = 0; i < count; ++i) {
        const readout::Entry entry = entryAt(entries, i);
        if (!entry.record) {
            ++m_badRecords;
            continue;
        }
        const auto record = readAt<readout::RateCounters>(entry.record);
        if (record.n_channels == 0 || record.n_channels > kMaxRateChannels) {
            ++m_badRecords;
            continue;
        }
        auto* snapshot = new QuarixPayload_RateCounters(static_cast<int32_t>(record.n_channels));
        snapshot->timestamp = entry.header0;
        snapshot->elapsed_time = elapsed;
        for (uint32_t c = 0; c < record.n_channels; ++c) {
            if (record.rates_in)
                (*snapshot->rates_in)[c] = static_cast<double>(u64At(record.rates_in, c));
            if (record.rates_out)
                (*snapshot->rates_out)[c] = static_cast<double>(u64At(record.rates_out, c));
            if (record.counters_in) {
                const uint64_t counter = u64At(record.counters_in, c);
                (*snapshot->counters_in)[c] = counter;
                (*snapshot->rates_in_start)[c] = static_cast<double>(counter) / elapsed;
            }
            if (record.counters_out) {
                const uint64_t counter = u64At(record.counters_out, c);
                (*snapshot->counters_out)[c] = counter;
                (*snapshot->rates_out_start)[c] = static_cast<double>(counter) / elapsed;
            }
        }
        auto* packet = new DataPacket(m_dataType, snapshot->timestamp);
        packet->items.push_back(snapshot);
        out.push_back(message(m_dataType, entry.header0, entry.header1, packet));
    }
}
