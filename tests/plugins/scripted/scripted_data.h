// The generated data of the scripted board plugin (libVRAXDig2Scripted), for
// tests that run the real server and compute the expected files and replies
// from the same functions the plugin delivers with.
//
// Connection string: key=value items separated by ';' (an optional "scripted" or "scripted:"
// prefix is ignored; no spaces). Counts are per endpoint of one board:
//   events=N      N energy events on every energy endpoint (default 0)
//   pairs=N       N energy pairs on every pair endpoint (default 0)
//   waves=N       N waveform records on every waveform endpoint (default 0)
//   samples=S     samples per trace (default 16);  traces=T  traces per record (default 2)
//   rates=N       N rate-counter snapshots on every rate endpoint (default 0)
//   channels=C    channels of events and rate snapshots (default 8; pairs use C / 2 pairs)
//   batch=B       at most B records per read (default 100)
//   after=TEXT    nothing is delivered before a SendCommand whose path ends with TEXT
//                 (for example "after=start"); then everything as above
//   fail=S        every read fails with status S (S != 0) and delivers nothing
//   open_status=S Open returns S (the handle is written anyway)
//   handle=H      the handle Open gives (default: the next free one, from 1)
// Example: "events=1000;batch=64;channels=4"
//
// The kind an endpoint serves follows from its path (case-insensitive):
// containing "pair" -> energy pairs, else "wave" -> waveforms, else "rate" or
// "counter" -> rate counters, else energy events. Record i (0-based, counted
// over all reads of that endpoint) is the function of i below; reads deliver
// records in order, min(B, left) per read, and return status 0 with count 0
// once all are delivered (after a pause of min(timeout, 5 ms)).
#pragma once

#include "board_access/readout_records.h"

#include <cstdint>

namespace scripted {

// --- energy events (data type "energy") ------------------------------------
inline readout::EnergyEvent energyEvent(uint64_t i, uint32_t channels)
{
    readout::EnergyEvent e{};
    e.timestamp = 1000 + 10 * i;
    e.channel = static_cast<uint32_t>(i % (channels ? channels : 1));
    e.energy_raw = static_cast<uint32_t>(100 + (37 * i) % 4000);
    e.energy = e.energy_raw / 4.0;
    e.flag1 = static_cast<uint8_t>(i % 2);
    e.flag2 = static_cast<uint8_t>((i / 2) % 2);
    e.extra = static_cast<uint32_t>(i);
    return e;
}
// Header words of the entry carrying event i.
inline uint64_t energyHeader0(uint64_t i) { return 0x1000 + i; }
inline uint64_t energyHeader1(uint64_t i) { return 0x2000 + i; }

// --- energy pairs (data type "energy_pair"): channels 2p and 2p + 1 ----------
inline readout::EnergyPair energyPair(uint64_t i, uint32_t channels)
{
    const uint32_t pairs = channels / 2 ? channels / 2 : 1;
    readout::EnergyPair p{};
    p.timestamp = 1000 + 10 * i;
    p.pair_index = static_cast<uint32_t>(i % pairs);
    p.energy_raw[0] = static_cast<uint32_t>(100 + (37 * i) % 4000);
    p.energy_raw[1] = static_cast<uint32_t>(200 + (53 * i) % 4000);
    p.energy[0] = p.energy_raw[0] / 4.0;
    p.energy[1] = p.energy_raw[1] / 4.0;
    p.flag1 = static_cast<uint8_t>(i % 2);
    p.flag2 = static_cast<uint8_t>((i / 2) % 2);
    p.extra = static_cast<uint32_t>(i);
    return p;
}
inline uint64_t pairHeader0(uint64_t i) { return 0x3000 + i; }
inline uint64_t pairHeader1(uint64_t i) { return 0x4000 + i; }

// --- waveforms (data type "waveform") ---------------------------------------
// Record i: the scalar fields below; its one trace block holds T traces of S
// samples, sample s of trace t at index t * S + s of both arrays.
inline uint64_t waveTimestamp(uint64_t i) { return 5000 + 100 * i; }
inline uint64_t waveHeader64(uint64_t i) { return 0x100000000ull + i; }
inline uint32_t waveHeader32a(uint64_t i) { return static_cast<uint32_t>(10 + i); }
inline uint32_t waveHeader32b(uint64_t i) { return static_cast<uint32_t>(20 + i); }
inline uint32_t traceHeader32a(uint64_t i) { return static_cast<uint32_t>(30 + i); }
inline uint64_t traceHeader64(uint64_t i) { return 40 + i; }
inline uint32_t traceHeader32b(uint64_t i) { return static_cast<uint32_t>(50 + i); }
// Between -100 and 99: negative samples included.
inline int32_t analogSample(uint64_t i, uint32_t t, uint32_t s)
{
    return static_cast<int32_t>((7 * s + 13 * t + i) % 200) - 100;
}
// Digital lines 0..3.
inline uint32_t digitalSample(uint64_t i, uint32_t t, uint32_t s)
{
    return static_cast<uint32_t>((s / 2 + t + i) & 0xF);
}
inline uint64_t waveHeader0(uint64_t i) { return 0x5000 + i; }
inline uint64_t waveHeader1(uint64_t i) { return 0x6000 + i; }

// --- rate counters (data type "rate_counters") ------------------------------
// Snapshot i of channel c; the counters grow with i like a running board's.
inline uint64_t rateTimestamp(uint64_t i) { return 1000000 * (i + 1); }   // entry header word 0
inline uint64_t rateHeader1(uint64_t i) { return 0x7000 + i; }
inline uint64_t rateIn(uint64_t i, uint32_t c) { return 1000 * (c + 1) + i; }
inline uint64_t rateOut(uint64_t i, uint32_t c) { return 900 * (c + 1) + i; }
inline uint64_t counterIn(uint64_t i, uint32_t c) { return 100 * (c + 1) * (i + 1); }
inline uint64_t counterOut(uint64_t i, uint32_t c) { return 90 * (c + 1) * (i + 1) + c; }

}  // namespace scripted
