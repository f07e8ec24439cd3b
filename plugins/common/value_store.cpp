#include "plugins/common/value_store.h"

#include "plugins/common/plugin_status.h"

#include <algorithm>
#include <cstring>

namespace board_plugin {

void ValueStore::set(const std::string& path, const std::string& value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    values_[path] = value;
}

std::string ValueStore::get(const std::string& path) const
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = values_.find(path);
        if (found != values_.end())
            return found->second;
    }
    return defaultFor(path);
}

std::string ValueStore::lastSegment(const std::string& path)
{
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int32_t ValueStore::answer(const char* path, char* buffer, const std::function<std::string(const std::string&)>& valueOf)
{
    if (!buffer)
        return kNullArgument;
    buffer[0] = '\0';
    if (!path)
        return kNullArgument;
    const std::string value = valueOf(path);
    const size_t length = std::min<size_t>(value.size(), 63);
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return kOk;
}

std::string ValueStore::defaultFor(const std::string& path) const
{
    const std::string segment = lastSegment(path);
    for (size_t i = 0; i < defaultCount_; ++i) {
        if (segment == defaults_[i].segment)
            return defaults_[i].value;
    }
    return "0";
}

}  // namespace board_plugin
