// The parsed script of one scripted board: values, statuses and, per endpoint
// path, the batches its reads deliver in order.
//
// JSON form (unknown keys are errors, so a typo cannot silently give a zero;
// absent numbers are 0, absent arrays of rate counters are null):
// {
//   "values":         { "<path>": "<text>" },          // GetValue answers
//   "set_status":     { "<path>": <int> },             // SetValue status (default 0)
//   "command_status": { "<path>": <int> },             // SendCommand status (default 0)
//   "endpoints": {
//     "<endpoint path>": {
//       "kind": "energy" | "energy_pair" | "waveform" | "rate_counters",
//       "batches": [
//         { "status": <int>,                           // non-zero: the read fails, nothing delivered
//           "after_command": "<path>",                 // optional: held back until this command ...
//           "after_command_count": <int>,              // ... was received this often (default 1)
//           "entries": [ { "header0": <u64>, "header1": <u64>, "record": { ... } } ] } ] } } }
// Records, field names as in readout_records.h:
//   energy:        timestamp channel energy_raw energy flag1 flag2 extra
//   energy_pair:   timestamp pair_index energy_raw:[a,b] energy:[a,b] flag1 flag2 extra
//   waveform:      timestamp header64 n_samples header32a header32b n_traces
//                  traces:{ header32a header64 header32b analog:[T*S] digital:[T*S] }
//   rate_counters: n_channels rates_in rates_out counters_in counters_out (arrays of N, or null)
// Integers may be JSON numbers (exact integers up to 2^53) or strings (decimal,
// or "0x" hexadecimal for unsigned fields); doubles may be numbers or the
// strings "nan", "inf", "-inf". Paths and values are converted to Latin-1, as
// the server sends them.
#pragma once

#include "board_access/readout_records.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>
#include <variant>
#include <vector>

enum class RecordKind { None, Energy, EnergyPair, Waveform, RateCounters };

struct WaveformRecord {
    readout::Waveform head;         // traces pointer left null until delivery
    readout::TraceBlock block;      // array pointers left null until delivery
    std::vector<int32_t> analog;
    std::vector<uint32_t> digital;
};

struct RateCountersRecord {
    uint32_t nChannels = 0;
    bool present[4] = {false, false, false, false};   // rates_in, rates_out, counters_in, counters_out
    std::vector<uint64_t> arrays[4];
};

using ScriptRecord = std::variant<readout::EnergyEvent, readout::EnergyPair, WaveformRecord, RateCountersRecord>;

struct ScriptEntry {
    uint64_t header0 = 0;
    uint64_t header1 = 0;
    ScriptRecord record;
};

struct ScriptBatch {
    int32_t status = 0;
    QByteArray afterCommand;
    int32_t afterCommandCount = 1;
    std::vector<ScriptEntry> entries;
};

struct ScriptEndpoint {
    RecordKind kind = RecordKind::None;
    std::vector<ScriptBatch> batches;
};

struct BoardScript {
    std::map<QByteArray, QByteArray> values;
    std::map<QByteArray, int32_t> setStatus;
    std::map<QByteArray, int32_t> commandStatus;
    std::map<QByteArray, ScriptEndpoint> endpoints;

    // An empty file name gives an empty script; false with a readable error otherwise.
    static bool load(const QByteArray& fileName, BoardScript* script, QString* error);
};

// Byte written into every record byte the layout marks as not read, so that a
// reader looking at the wrong offset sees a conspicuous value.
constexpr unsigned char kUnreadByte = 0xA5;
