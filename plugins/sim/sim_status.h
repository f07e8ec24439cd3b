// Status codes returned by the simulated board's entry points (0 is success).
// -4 and -15 are left out: the server's board wrapper uses them itself.
#pragma once

#include <cstdint>

namespace sim {

enum Status : int32_t {
    kOk = 0,
    kNullArgument = -1,       // a pointer argument was null
    kUnknownHandle = -2,      // no board was opened with this handle
    kUnknownPath = -3,        // not an endpoint path where one is needed
    kUnknownBatch = -5,       // free of a data list this endpoint did not deliver (or already took back)
    kInvalidValue = -6,       // a simulation parameter got a value it cannot take
    kReadOnlyValue = -7,      // a simulation parameter fixed when the board was opened
    kUnknownScheme = -20,     // connection string does not start with "sim"
    kMalformedConnection = -21,  // an item without "=" or with an empty key
    kUnknownKey = -22,
    kBadKeyValue = -23,
};

}  // namespace sim
