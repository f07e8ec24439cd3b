// Parameter values of one simulated board: what SetValue stored, or a
// default. Defaults go by the last segment of the path (so every channel
// path of a parameter shares them); anything unknown reads "0".
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

namespace sim {

class ValueStore {
public:
    void set(const std::string& path, const std::string& value);
    std::string get(const std::string& path) const;

    // Text after the last backslash ("VSet" for "\Channel3\hv\Channel3\VSet").
    static std::string lastSegment(const std::string& path);
    static std::string defaultFor(const std::string& path);

private:
    mutable std::mutex mutex_;
    std::unordered_map<std::string, std::string> values_;
};

}  // namespace sim
