#include "replay_settings.h"

#include "plugins/common/connection_string.h"
#include "plugins/common/number_text.h"
#include "replay_status.h"

namespace replay {

namespace {

using Text = std::string;
using board_plugin::readCount;
using board_plugin::readFlag;
using board_plugin::readReal;
using board_plugin::readUnsigned;

bool readPace(const Text& text, Pace& out)
{
    if (text != "recorded" && text != "fast")
        return false;
    out = text == "fast" ? Pace::Fast : Pace::Recorded;
    return true;
}

bool readText(const Text& text, Text& out)
{
    if (text.empty())
        return false;
    out = text;
    return true;
}

struct Rule {
    const char* key;
    bool (*apply)(const Text&, Settings&);
};

const Rule kRules[] = {
    {"run", [](const Text& v, Settings& s) { return readText(v, s.run); }},
    {"file", [](const Text& v, Settings& s) { return readText(v, s.file); }},
    {"block", [](const Text& v, Settings& s) { return readText(v, s.block); }},
    {"pace", [](const Text& v, Settings& s) { return readPace(v, s.pace); }},
    {"clock", [](const Text& v, Settings& s) { return readUnsigned(v, 1, 1000000000000ULL, s.clockHz); }},
    {"loop", [](const Text& v, Settings& s) { return readFlag(v, s.loop); }},
    {"max_batch", [](const Text& v, Settings& s) { return readCount(v, 1, 1000000, s.maxBatch); }},
    {"gain", [](const Text& v, Settings& s) { return readReal(v, 1e-6, 1e6, s.gain); }},
    {"autostart", [](const Text& v, Settings& s) { return readFlag(v, s.autostart); }},
};

}  // namespace

int32_t Settings::parse(const char* text, Settings& out)
{
    Settings result;
    const int32_t status = board_plugin::parseConnection(text, "replay", [&result](const Text& key, const Text& value) {
        for (const Rule& rule : kRules) {
            if (key == rule.key)
                return rule.apply(value, result) ? kOk : kBadKeyValue;
        }
        return kUnknownKey;
    });
    if (status != kOk)
        return status;
    if (result.run.empty() == result.file.empty())
        return kNoRecording;
    out = result;
    return kOk;
}

std::vector<std::pair<std::string, std::string>> Settings::describe() const
{
    using board_plugin::NumberText;
    return {
        {"run", run},
        {"file", file},
        {"block", block},
        {"pace", pace == Pace::Fast ? "fast" : "recorded"},
        {"clock", std::to_string(clockHz)},
        {"loop", loop ? "1" : "0"},
        {"max_batch", std::to_string(maxBatch)},
        {"gain", NumberText::format(gain)},
        {"autostart", autostart ? "1" : "0"},
    };
}

}  // namespace replay
