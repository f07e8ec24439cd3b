#include "plugins/common/connection_string.h"

#include "plugins/common/number_text.h"
#include "plugins/common/plugin_status.h"

namespace board_plugin {

int32_t parseConnection(const char* text, const char* scheme, const ApplyItem& apply)
{
    if (!text)
        return kUnknownScheme;
    const std::string whole(text);
    const size_t colon = whole.find(':');
    if (NumberText::trimmed(whole.substr(0, colon)) != scheme)
        return kUnknownScheme;

    const std::string items = colon == std::string::npos ? std::string() : whole.substr(colon + 1);
    size_t begin = 0;
    while (begin < items.size()) {
        size_t end = items.find(';', begin);
        if (end == std::string::npos)
            end = items.size();
        const std::string item = NumberText::trimmed(items.substr(begin, end - begin));
        begin = end + 1;
        if (item.empty())
            continue;
        const size_t equals = item.find('=');
        if (equals == std::string::npos)
            return kMalformedConnection;
        const std::string key = NumberText::trimmed(item.substr(0, equals));
        if (key.empty())
            return kMalformedConnection;
        const int32_t status = apply(key, NumberText::trimmed(item.substr(equals + 1)));
        if (status != kOk)
            return status;
    }
    return kOk;
}

bool readUnsigned(const std::string& text, uint64_t low, uint64_t high, uint64_t& out)
{
    uint64_t value = 0;
    if (!NumberText::parse(text, value) || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool readReal(const std::string& text, double low, double high, double& out)
{
    double value = 0.0;
    if (!NumberText::parse(text, value) || !(value >= low && value <= high))
        return false;
    out = value;
    return true;
}

bool readFlag(const std::string& text, bool& out)
{
    if (text == "1" || text == "true") {
        out = true;
        return true;
    }
    if (text == "0" || text == "false") {
        out = false;
        return true;
    }
    return false;
}

}  // namespace board_plugin
