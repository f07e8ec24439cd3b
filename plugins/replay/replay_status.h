// Status codes returned by the replay board's entry points (0 is success):
// the ones every plugin shares, and the replay board's own.
#pragma once

#include "plugins/common/plugin_status.h"

#include <cstdint>

namespace replay {

using board_plugin::kBadKeyValue;
using board_plugin::kMalformedConnection;
using board_plugin::kNullArgument;
using board_plugin::kOk;
using board_plugin::kUnknownBatch;
using board_plugin::kUnknownHandle;
using board_plugin::kUnknownKey;
using board_plugin::kUnknownPath;
using board_plugin::kUnknownScheme;

constexpr int32_t kReadOnlyValue = -7;  // a "replay\..." value: fixed when the board was opened, or a count
constexpr int32_t kNoRecording = -24;   // neither "run" nor "file" in the connection string, or both
constexpr int32_t kCannotRead = -30;    // the run folder or a file cannot be opened or read
constexpr int32_t kIndexGap = -31;      // the run's files are not numbered 0, 1, 2 ... without a gap (or there is none)
constexpr int32_t kNotListFile = -32;   // a file that does not start with "QRXS" and the decimal creation time
constexpr int32_t kCutFile = -33;       // a file that ends inside a record

}  // namespace replay
