// Parameter values of one board: what SetValue stored, or a default. Defaults
// go by the last segment of the path (so every channel path of a parameter
// shares them); a path without one reads "0".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

namespace board_plugin {

class ValueStore {
public:
    struct NamedDefault {
        const char* segment;
        const char* value;
    };

    ValueStore() = default;
    template <size_t N>
    explicit ValueStore(const NamedDefault (&defaults)[N]) : defaults_(defaults), defaultCount_(N)
    {
    }

    void set(const std::string& path, const std::string& value);
    std::string get(const std::string& path) const;

    // Text after the last backslash ("VSet" for "\Channel3\hv\Channel3\VSet").
    static std::string lastSegment(const std::string& path);
    // A GetValue call: valueOf(path) into `buffer`, at most 63 characters
    // and a NUL; kNullArgument (and an empty value when `buffer` is not
    // null) for a null pointer.
    static int32_t answer(const char* path, char* buffer, const std::function<std::string(const std::string&)>& valueOf);

private:
    std::string defaultFor(const std::string& path) const;

    const NamedDefault* defaults_ = nullptr;
    size_t defaultCount_ = 0;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> values_;
};

}  // namespace board_plugin
