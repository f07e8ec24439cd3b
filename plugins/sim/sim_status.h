// Status codes returned by the simulated board's entry points (0 is success):
// the ones every plugin shares, and the simulated board's own.
#pragma once

#include "plugins/common/plugin_status.h"

#include <cstdint>

namespace sim {

enum Status : int32_t {
    kOk = board_plugin::kOk,
    kNullArgument = board_plugin::kNullArgument,
    kUnknownHandle = board_plugin::kUnknownHandle,
    kUnknownPath = board_plugin::kUnknownPath,
    kUnknownBatch = board_plugin::kUnknownBatch,
    kInvalidValue = -6,       // a simulation parameter got a value it cannot take
    kReadOnlyValue = -7,      // a simulation parameter fixed when the board was opened
    kUnknownScheme = board_plugin::kUnknownScheme,              // connection string does not start with "sim"
    kMalformedConnection = board_plugin::kMalformedConnection,  // an item without "=" or with an empty key
    kUnknownKey = board_plugin::kUnknownKey,
    kBadKeyValue = board_plugin::kBadKeyValue,
};

}  // namespace sim
