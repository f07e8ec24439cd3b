// Reads the connection string of a board plugin:
//
//   <scheme>                            every default
//   <scheme>:key=value;key=value        items separated by ';'
//
// Spaces around the scheme, keys and values are ignored, an empty item is
// skipped, and the items reach the plugin's `apply` in order, so a key given
// twice keeps its last value. The readers below check one value against its
// key's range; they take the whole (trimmed) text or nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace board_plugin {

using ApplyItem = std::function<int32_t(const std::string& key, const std::string& value)>;

// kOk; kUnknownScheme for a null text or another scheme; kMalformedConnection
// for an item without "=" or with an empty key; else the first non-zero
// status `apply` returned (items after it are not read).
int32_t parseConnection(const char* text, const char* scheme, const ApplyItem& apply);

// A decimal number from low to high.
bool readUnsigned(const std::string& text, uint64_t low, uint64_t high, uint64_t& out);
// A real number from low to high (never NaN).
bool readReal(const std::string& text, double low, double high, double& out);
// "1" or "true", "0" or "false".
bool readFlag(const std::string& text, bool& out);

// readUnsigned into a narrower unsigned type (the range fits it).
template <typename T>
bool readCount(const std::string& text, uint64_t low, uint64_t high, T& out)
{
    uint64_t value = 0;
    if (!readUnsigned(text, low, high, value))
        return false;
    out = T(value);
    return true;
}

}  // namespace board_plugin
