// What a replay board is opened with, read from its connection string:
//
//   replay:run=/data/7;block=list_dump;pace=recorded;clock=100000000;loop=0;max_batch=10000
//   replay:file=/data/7/list_dump_0.bin;pace=fast
//
// (the rules of plugins/common/connection_string.h). Every setting is fixed
// when the board is opened.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace replay {

enum class Pace {
    Recorded,  // an event falls due (timestamp - first timestamp) / clock seconds after the endpoint started
    Fast,      // every read delivers as much as it may
};

struct Settings {
    std::string run;                // a run folder: the block's files <block>_0.bin, <block>_1.bin, ...
    std::string file;               // or one file
    std::string block = "list_dump";
    Pace pace = Pace::Recorded;
    uint64_t clockHz = 100000000;   // timestamp units per second
    bool loop = false;              // play the recording again and again
    uint32_t maxBatch = 10000;      // entries per read at most
    double gain = 0.0;              // > 0: the board's calibrated energy is energy_raw / gain; 0: energy 0.0
    bool autostart = false;         // endpoints run from their first use

    // kOk, a connection status, or kNoRecording.
    static int32_t parse(const char* text, Settings& out);
    // Every key with its effective value as text, as GetValue reports them under "replay\<key>".
    std::vector<std::pair<std::string, std::string>> describe() const;
};

}  // namespace replay
