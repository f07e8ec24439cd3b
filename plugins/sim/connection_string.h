// Reads the simulated board's connection string and its run-time parameters.
//
//   sim                                   every default
//   sim:seed=42;channels=16;rate=2000     key=value items separated by ';'
//
// Spaces around keys and values are ignored, an empty item is skipped, a key
// given twice keeps its last value. The tunable keys (rate, wave_rate,
// fixed_batch, lines, resolution, background) can also be set later with
// SetValue on "sim\<key>"; the others are fixed when the board is opened.
#pragma once

#include "sim_settings.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace sim {

class ConnectionString {
public:
    // Fills `settings` from `text`; returns kOk or one of the connection statuses.
    static int32_t parse(const char* text, SimSettings& settings);

    // Applies one tunable key; kUnknownKey for a key that is no tunable, kInvalidValue for a bad value.
    static int32_t applyTunable(const std::string& key, const std::string& value, SimTunables& tunables);
    static bool isFixedKey(const std::string& key);

    // Every key with its effective value as text, as GetValue reports them under "sim\<key>".
    static std::vector<std::pair<std::string, std::string>> describe(const SimSettings& settings);
};

}  // namespace sim
