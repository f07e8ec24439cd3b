#include "delivered_batch.h"

#include <cstring>

DeliveredBatch::DeliveredBatch(const std::vector<ScriptEntry>& entries)
{
    std::vector<readout::Entry> table(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        std::memset(&table[i], kUnreadByte, sizeof(readout::Entry));
        table[i].header0 = entries[i].header0;
        table[i].header1 = entries[i].header1;
        table[i].record = placeRecord(entries[i].record);
    }
    entries_ = place(table.data(), table.size());
    count_ = static_cast<int32_t>(table.size());
}

DeliveredBatch::~DeliveredBatch()
{
    for (Block& block : blocks_) {
        std::memset(block.words.get(), 0xDD, block.bytes);
        // Keeps the compiler from dropping the fill as a store to memory about to be freed.
        __asm__ __volatile__("" : : "r"(block.words.get()) : "memory");
    }
}

// Whole 8-byte words, at least one, so every block is aligned for any record
// field and even an empty array gets its own non-null address.
void* DeliveredBatch::allocate(size_t bytes)
{
    const size_t words = bytes / 8 + 1;
    Block block{std::unique_ptr<uint64_t[]>(new uint64_t[words]), words * 8};
    std::memset(block.words.get(), kUnreadByte, block.bytes);
    void* memory = block.words.get();
    blocks_.push_back(std::move(block));
    return memory;
}

template <typename T>
T* DeliveredBatch::place(const T* values, size_t count)
{
    void* memory = allocate(sizeof(T) * count);
    if (count > 0)
        std::memcpy(memory, values, sizeof(T) * count);
    return static_cast<T*>(memory);
}

const void* DeliveredBatch::placeRecord(const ScriptRecord& record)
{
    if (const auto* energy = std::get_if<readout::EnergyEvent>(&record))
        return place(energy, 1);
    if (const auto* pair = std::get_if<readout::EnergyPair>(&record))
        return place(pair, 1);
    if (const auto* wave = std::get_if<WaveformRecord>(&record)) {
        readout::TraceBlock block = wave->block;
        block.analog = place(wave->analog.data(), wave->analog.size());
        block.digital = place(wave->digital.data(), wave->digital.size());
        readout::Waveform head = wave->head;
        head.traces = place(&block, 1);
        return place(&head, 1);
    }
    const auto& rates = std::get<RateCountersRecord>(record);
    readout::RateCounters counters;
    std::memset(&counters, kUnreadByte, sizeof counters);
    counters.n_channels = rates.nChannels;
    const uint64_t* arrays[4];
    for (int i = 0; i < 4; ++i)
        arrays[i] = rates.present[i] ? place(rates.arrays[i].data(), rates.arrays[i].size()) : nullptr;
    counters.rates_in = arrays[0];
    counters.rates_out = arrays[1];
    counters.counters_in = arrays[2];
    counters.counters_out = arrays[3];
    return place(&counters, 1);
}
