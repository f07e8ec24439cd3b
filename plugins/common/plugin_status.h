// Statuses that every board plugin built here gives the same meaning (0 is
// success). A plugin numbers its own further statuses outside these; -4 and
// -15 are left out: the server's board wrapper uses them itself.
#pragma once

#include <cstdint>

namespace board_plugin {

constexpr int32_t kOk = 0;
constexpr int32_t kNullArgument = -1;         // a pointer argument was null
constexpr int32_t kUnknownHandle = -2;        // no board was opened with this handle
constexpr int32_t kUnknownPath = -3;          // not an endpoint path where one is needed
constexpr int32_t kUnknownBatch = -5;         // free of a data list the endpoint did not deliver (or already took back)
constexpr int32_t kUnknownScheme = -20;       // the connection string does not start with the plugin's scheme
constexpr int32_t kMalformedConnection = -21; // a connection item without "=", or with an empty key
constexpr int32_t kUnknownKey = -22;          // a connection key the plugin does not know
constexpr int32_t kBadKeyValue = -23;         // a connection value outside its key's range

}  // namespace board_plugin
