// Memory layout of the data a board plugin hands back from VRAXDig2_ReadDataByQuery.
//
// The server reads these structures in place between the read call and the
// matching VRAXDig2_FreePointerByQuery call; the plugins (the simulated one and
// the test fixtures) build them. Both sides include this one header, and the
// static assertions pin every size and offset so the two can never drift.
// All integers are little-endian, doubles IEEE 754 binary64, pointers 64-bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace readout {

// Allocated by the server (16 bytes), filled by the plugin.
struct DataList {
    void* entries;      // first element of an array of Entry
    uint32_t unused;    // zeroed by the server before the call
    int32_t count;      // number of entries; zeroed by the server before the call
};

struct Entry {
    uint64_t unused;
    uint64_t header0;   // first header word (rate counters: also the snapshot timestamp)
    uint64_t header1;   // second header word
    const void* record; // the record of this entry; its kind is set by the endpoint
};

// One list-mode energy event.
struct EnergyEvent {
    uint64_t timestamp;
    uint32_t channel;
    uint32_t energy_raw;
    double energy;      // calibrated by the board
    uint8_t flag1;
    uint8_t flag2;
    uint8_t unused[2];
    uint32_t extra;
};

// Two events of the channel pair (2p, 2p + 1) of a two-ended detector element.
struct EnergyPair {
    uint8_t unused0[16];
    uint64_t timestamp;
    uint32_t pair_index;
    uint32_t energy_raw[2];
    uint32_t unused1;
    double energy[2];
    uint8_t unused2[8];
    uint8_t flag1;
    uint8_t flag2;
    uint8_t unused3[2];
    uint32_t extra;
};

// Trace block shared by all traces of one waveform record. Sample s of trace t
// is element t * n_samples + s of both arrays.
struct TraceBlock {
    uint32_t header32a;
    uint32_t unused0;
    uint64_t header64;
    uint32_t header32b;
    uint32_t unused1;
    const int32_t* analog;
    const uint32_t* digital;   // bit d of a word is digital line d
};

struct Waveform {
    uint64_t timestamp;
    uint64_t header64;
    int32_t n_samples;
    uint32_t header32a;
    uint32_t header32b;
    int32_t n_traces;
    const TraceBlock* traces;
};

// A null array means the board does not provide that quantity.
struct RateCounters {
    uint32_t n_channels;
    uint32_t unused;
    const uint64_t* rates_in;
    const uint64_t* rates_out;
    const uint64_t* counters_in;
    const uint64_t* counters_out;
};

static_assert(sizeof(void*) == 8, "readout records carry 64-bit pointers");

static_assert(sizeof(DataList) == 16, "data list size");
static_assert(offsetof(DataList, entries) == 0 && offsetof(DataList, unused) == 8 && offsetof(DataList, count) == 12,
              "data list layout");

static_assert(sizeof(Entry) == 32, "entry size");
static_assert(offsetof(Entry, header0) == 8 && offsetof(Entry, header1) == 16 && offsetof(Entry, record) == 24,
              "entry layout");

static_assert(sizeof(EnergyEvent) == 32, "energy event size");
static_assert(offsetof(EnergyEvent, timestamp) == 0 && offsetof(EnergyEvent, channel) == 8 &&
                  offsetof(EnergyEvent, energy_raw) == 12 && offsetof(EnergyEvent, energy) == 16 &&
                  offsetof(EnergyEvent, flag1) == 24 && offsetof(EnergyEvent, flag2) == 25 &&
                  offsetof(EnergyEvent, extra) == 28,
              "energy event layout");

static_assert(sizeof(EnergyPair) == 72, "energy pair size");
static_assert(offsetof(EnergyPair, timestamp) == 16 && offsetof(EnergyPair, pair_index) == 24 &&
                  offsetof(EnergyPair, energy_raw) == 28 && offsetof(EnergyPair, energy) == 40 &&
                  offsetof(EnergyPair, flag1) == 64 && offsetof(EnergyPair, flag2) == 65 &&
                  offsetof(EnergyPair, extra) == 68,
              "energy pair layout");

static_assert(sizeof(TraceBlock) == 40, "trace block size");
static_assert(offsetof(TraceBlock, header32a) == 0 && offsetof(TraceBlock, header64) == 8 &&
                  offsetof(TraceBlock, header32b) == 16 && offsetof(TraceBlock, analog) == 24 &&
                  offsetof(TraceBlock, digital) == 32,
              "trace block layout");

static_assert(sizeof(Waveform) == 40, "waveform size");
static_assert(offsetof(Waveform, timestamp) == 0 && offsetof(Waveform, header64) == 8 &&
                  offsetof(Waveform, n_samples) == 16 && offsetof(Waveform, header32a) == 20 &&
                  offsetof(Waveform, header32b) == 24 && offsetof(Waveform, n_traces) == 28 &&
                  offsetof(Waveform, traces) == 32,
              "waveform layout");

static_assert(sizeof(RateCounters) == 40, "rate counters size");
static_assert(offsetof(RateCounters, n_channels) == 0 && offsetof(RateCounters, rates_in) == 8 &&
                  offsetof(RateCounters, rates_out) == 16 && offsetof(RateCounters, counters_in) == 24 &&
                  offsetof(RateCounters, counters_out) == 32,
              "rate counters layout");

}  // namespace readout
