// Fuzzes the conversion of one batch a board plugin delivered. The input
// describes the batch: the source's data type, the calibration, the entry
// count, and per entry a record (or none) with its counts and values. The
// batch is then built in memory the way a plugin would hand it over, every
// pointer valid for exactly what its record declares (each array its own
// allocation, so that a read one element too far is caught), sometimes at an
// odd address as a plugin may deliver it.
//
// A count beyond the converter's limits is backed by a small buffer only: the
// converter must refuse it without reading. Counts within the limits but
// above the caps below are legal and only slow: such inputs are left out.
//
// Checked besides the sanitizers: the converter's accounting, every entry a
// message item or a bad record, as its header promises.
#include "blocks/source/record_conversion.h"
#include "board_access/readout_records.h"
#include "core/data_packet.h"
#include "core/quarix_payload_energy.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {
constexpr int32_t kEntryCap = 1024;          // entries built per batch
constexpr int64_t kSampleCap = 1 << 16;      // samples of all traces of the batch
constexpr uint32_t kRateChannelCap = 4096;   // channels of one rate record

const char* const kDataTypes[] = {"energy", "energy_pair", "waveform", "rate_counters", "list"};

// Every allocation of one batch, freed with it.
class Arena {
public:
    // Room for `count` objects of T, zeroed, at an address that is misaligned
    // by one byte when `odd` is set.
    template <typename T>
    T* make(size_t count, bool odd)
    {
        const size_t bytes = count * sizeof(T) + (odd ? 1 : 0);
        m_blocks.push_back(std::make_unique<char[]>(bytes > 0 ? bytes : 1));
        std::memset(m_blocks.back().get(), 0, bytes);
        return reinterpret_cast<T*>(m_blocks.back().get() + (odd ? 1 : 0));
    }
    // What a count beyond the limits points at: a few bytes, never enough.
    template <typename T>
    const T* tooSmall()
    {
        return reinterpret_cast<const T*>(make<char>(8, false));
    }
    template <typename T>
    T* place(const T& value, bool odd)
    {
        T* slot = make<T>(1, odd);
        std::memcpy(static_cast<void*>(slot), &value, sizeof value);
        return slot;
    }

private:
    std::vector<std::unique_ptr<char[]>> m_blocks;
};

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "record conversion: %s\n", what);
    std::abort();
}

template <typename T>
void fill(FuzzedDataProvider& input, T* values, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const T value = input.ConsumeIntegral<T>();
        std::memcpy(values + i, &value, sizeof value);
    }
}

// A waveform record and its trace block. False when its samples would pass the cap.
bool makeWaveform(FuzzedDataProvider& input, Arena& arena, bool odd, int64_t& samples, readout::Waveform& record)
{
    record.timestamp = input.ConsumeIntegral<uint64_t>();
    record.header64 = input.ConsumeIntegral<uint64_t>();
    record.n_samples = input.ConsumeBool() ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(0, 64);
    record.n_traces = input.ConsumeBool() ? input.ConsumeIntegral<int32_t>() : input.ConsumeIntegralInRange<int32_t>(0, 4);
    record.header32a = input.ConsumeIntegral<uint32_t>();
    record.header32b = input.ConsumeIntegral<uint32_t>();
    if (!input.ConsumeBool())
        return true;   // no trace block
    readout::TraceBlock block{};
    block.header32a = input.ConsumeIntegral<uint32_t>();
    block.header64 = input.ConsumeIntegral<uint64_t>();
    block.header32b = input.ConsumeIntegral<uint32_t>();
    const bool beyond = record.n_samples < 0 || record.n_samples > RecordConverter::kMaxSamples ||
                        record.n_traces < 0 || record.n_traces > RecordConverter::kMaxTraces;
    const bool withAnalog = input.ConsumeBool();
    const bool withDigital = input.ConsumeBool();
    if (beyond) {
        block.analog = withAnalog ? arena.tooSmall<int32_t>() : nullptr;
        block.digital = withDigital ? arena.tooSmall<uint32_t>() : nullptr;
    } else {
        const int64_t count = int64_t(record.n_traces) * record.n_samples;
        samples += count;
        if (samples > kSampleCap)
            return false;
        if (withAnalog) {
            int32_t* analog = arena.make<int32_t>(size_t(count), odd);
            fill(input, analog, size_t(std::min<int64_t>(count, 32)));
            block.analog = analog;
        }
        if (withDigital) {
            uint32_t* digital = arena.make<uint32_t>(size_t(count), odd);
            fill(input, digital, size_t(std::min<int64_t>(count, 32)));
            block.digital = digital;
        }
    }
    record.traces = arena.place(block, odd);
    return true;
}

// A rate counter record. False when its channels would pass the cap.
bool makeRateCounters(FuzzedDataProvider& input, Arena& arena, bool odd, readout::RateCounters& record)
{
    record.n_channels = input.ConsumeBool() ? input.ConsumeIntegral<uint32_t>() : input.ConsumeIntegralInRange<uint32_t>(0, 16);
    const bool beyond = record.n_channels > RecordConverter::kMaxRateChannels;
    if (!beyond && record.n_channels > kRateChannelCap)
        return false;
    const uint64_t** arrays[] = {&record.rates_in, &record.rates_out, &record.counters_in, &record.counters_out};
    for (const uint64_t** array : arrays) {
        if (!input.ConsumeBool())
            continue;
        if (beyond) {
            *array = arena.tooSmall<uint64_t>();
        } else {
            uint64_t* values = arena.make<uint64_t>(record.n_channels, odd);
            fill(input, values, std::min<size_t>(record.n_channels, 16));
            *array = values;
        }
    }
    return true;
}

void destroy(std::vector<PinMessage>& messages)
{
    for (PinMessage& message : messages)
        delete message.packet;
    messages.clear();
}

size_t items(const std::vector<PinMessage>& messages)
{
    size_t count = 0;
    for (const PinMessage& message : messages)
        count += message.packet ? message.packet->items.size() : 0;
    return count;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const char* const dataType = input.PickValueInArray(kDataTypes);
    RecordConverter converter(QString::fromLatin1(dataType), QStringLiteral("endpoints\\fuzz"));

    EnergyCalibration calibration;
    calibration.useBoardKev = input.ConsumeBool();
    calibration.compiled = calibration.expression.compile(input.ConsumeRandomLengthString(64));
    const double elapsedSeconds = input.ConsumeFloatingPoint<double>();
    const bool odd = input.ConsumeBool();

    Arena arena;
    const int32_t count = input.ConsumeBool() ? input.ConsumeIntegral<int32_t>()
                                              : input.ConsumeIntegralInRange<int32_t>(0, 8);
    const void* entries = nullptr;
    if (count > RecordConverter::kMaxEntries) {
        entries = arena.tooSmall<readout::Entry>();
    } else if (count > kEntryCap) {
        return -1;
    } else if (input.ConsumeBool()) {
        entries = nullptr;   // a plugin that delivered no list: nothing may be read
    } else {
        const size_t built = count > 0 ? size_t(count) : 0;
        readout::Entry* list = arena.make<readout::Entry>(built, odd);
        int64_t samples = 0;
        const RecordConverter::Kind kind = RecordConverter::kindOf(QString::fromLatin1(dataType));
        for (size_t i = 0; i < built; ++i) {
            readout::Entry entry{};
            entry.header0 = input.ConsumeIntegral<uint64_t>();
            entry.header1 = input.ConsumeIntegral<uint64_t>();
            // A record of the source's kind, of another kind (a misconfigured
            // source reads it as its own: garbage, but within what was
            // allocated only if the sizes agree, so only the kinds of the same
            // size are mixed), or none.
            switch (input.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
                break;
            case 1:
            case 2: {
                if (kind == RecordConverter::Kind::Energy || kind == RecordConverter::Kind::Other) {
                    readout::EnergyEvent record{};
                    record.timestamp = input.ConsumeIntegral<uint64_t>();
                    record.channel = input.ConsumeIntegral<uint32_t>();
                    record.energy_raw = input.ConsumeIntegral<uint32_t>();
                    record.energy = input.ConsumeFloatingPoint<double>();
                    record.flag1 = input.ConsumeIntegral<uint8_t>();
                    record.flag2 = input.ConsumeIntegral<uint8_t>();
                    record.extra = input.ConsumeIntegral<uint32_t>();
                    entry.record = arena.place(record, odd);
                } else if (kind == RecordConverter::Kind::EnergyPair) {
                    readout::EnergyPair record{};
                    record.timestamp = input.ConsumeIntegral<uint64_t>();
                    record.pair_index = input.ConsumeIntegral<uint32_t>();
                    record.energy_raw[0] = input.ConsumeIntegral<uint32_t>();
                    record.energy_raw[1] = input.ConsumeIntegral<uint32_t>();
                    record.energy[0] = input.ConsumeFloatingPoint<double>();
                    record.energy[1] = input.ConsumeFloatingPoint<double>();
                    record.flag1 = input.ConsumeIntegral<uint8_t>();
                    record.extra = input.ConsumeIntegral<uint32_t>();
                    entry.record = arena.place(record, odd);
                } else if (kind == RecordConverter::Kind::Waveform) {
                    readout::Waveform record{};
                    if (!makeWaveform(input, arena, odd, samples, record))
                        return -1;
                    entry.record = arena.place(record, odd);
                } else {
                    readout::RateCounters record{};
                    if (!makeRateCounters(input, arena, odd, record))
                        return -1;
                    entry.record = arena.place(record, odd);
                }
                break;
            }
            default: {
                // Raw bytes of the largest record size: a damaged record.
                const size_t bytes = sizeof(readout::EnergyPair);
                auto* record = arena.make<uint8_t>(bytes, odd);
                const std::vector<uint8_t> raw = input.ConsumeBytes<uint8_t>(bytes);
                if (!raw.empty())
                    std::memcpy(record, raw.data(), raw.size());
                // Pointer fields of a damaged record point nowhere useful: only
                // the kinds without pointers may carry one.
                if (kind == RecordConverter::Kind::Waveform || kind == RecordConverter::Kind::RateCounters)
                    std::memset(record, 0, bytes);
                entry.record = record;
                break;
            }
            }
            std::memcpy(static_cast<void*>(list + i), &entry, sizeof entry);
        }
        entries = list;
    }

    std::vector<PinMessage> messages;
    converter.convert(entries, count, calibration, elapsedSeconds, messages);
    const uint64_t bad = converter.badRecords();

    if (count > RecordConverter::kMaxEntries && (bad != 1 || !messages.empty()))
        fail("a batch beyond the entry limit was not refused as one bad record");
    if (entries && count > 0 && count <= RecordConverter::kMaxEntries) {
        switch (converter.kind()) {
        case RecordConverter::Kind::Energy:
            if (messages.size() != 1 || items(messages) + bad != uint64_t(count))
                fail("energy events: not one packet holding every good record");
            break;
        case RecordConverter::Kind::EnergyPair:
            if (messages.size() + bad != uint64_t(count) || items(messages) != 2 * messages.size())
                fail("energy pairs: not one two-event packet per good record");
            break;
        case RecordConverter::Kind::RateCounters:
            if (messages.size() + bad != uint64_t(count) || items(messages) != messages.size())
                fail("rate counters: not one snapshot per good record");
            break;
        case RecordConverter::Kind::Waveform:
            if (messages.size() != 1 || items(messages) != 1)
                fail("waveforms: not one packet holding one group");
            break;
        case RecordConverter::Kind::Other:
            if (!messages.empty())
                fail("a data type without records made messages");
            break;
        }
    }
    destroy(messages);
    return 0;
}
