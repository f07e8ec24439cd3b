#include "connection_string.h"

#include "plugins/common/connection_string.h"
#include "plugins/common/number_text.h"
#include "sim_status.h"

namespace sim {

namespace {

using Text = std::string;
using board_plugin::NumberText;
using board_plugin::readCount;
using board_plugin::readFlag;
using board_plugin::readReal;
using board_plugin::readUnsigned;

bool readLines(const Text& text, std::vector<double>& out)
{
    std::vector<double> lines;
    size_t begin = 0;
    while (begin <= text.size() && !text.empty()) {
        size_t end = text.find(',', begin);
        if (end == Text::npos)
            end = text.size();
        double keV = 0.0;
        if (!readReal(NumberText::trimmed(text.substr(begin, end - begin)), 1.0, 4000.0, keV))
            return false;
        lines.push_back(keV);
        begin = end + 1;
    }
    if (lines.size() > 16)
        return false;
    out = lines;
    return true;
}

struct TunableRule {
    const char* key;
    bool (*apply)(const Text&, SimTunables&);
};

const TunableRule kTunableRules[] = {
    {"rate", [](const Text& v, SimTunables& t) { return readReal(v, 0.0, 1e9, t.rate); }},
    {"wave_rate", [](const Text& v, SimTunables& t) { return readReal(v, 0.0, 1e6, t.waveRate); }},
    {"fixed_batch", [](const Text& v, SimTunables& t) { return readCount(v, 0, 1000000, t.fixedBatch); }},
    {"lines", [](const Text& v, SimTunables& t) { return readLines(v, t.linesKeV); }},
    {"resolution", [](const Text& v, SimTunables& t) { return readReal(v, 0.1, 50.0, t.resolutionPercent); }},
    {"background", [](const Text& v, SimTunables& t) { return readReal(v, 0.0, 1.0, t.backgroundFraction); }},
};

struct FixedRule {
    const char* key;
    bool (*apply)(const Text&, SimSettings&);
};

const FixedRule kFixedRules[] = {
    {"seed", [](const Text& v, SimSettings& s) { return readUnsigned(v, 0, UINT64_MAX, s.seed); }},
    {"channels", [](const Text& v, SimSettings& s) { return readCount(v, 1, 4096, s.channels); }},
    {"pairs", [](const Text& v, SimSettings& s) { return readCount(v, 0, 2048, s.pairs); }},
    {"crystals", [](const Text& v, SimSettings& s) { return readCount(v, 1, 64, s.crystals); }},
    {"max_batch", [](const Text& v, SimSettings& s) { return readCount(v, 1, 1000000, s.maxBatch); }},
    {"samples", [](const Text& v, SimSettings& s) { return readCount(v, 0, 65536, s.samples); }},
    {"traces", [](const Text& v, SimSettings& s) { return readCount(v, 0, 64, s.traces); }},
    {"clock", [](const Text& v, SimSettings& s) { return readUnsigned(v, 1, 1000000000000ULL, s.clockHz); }},
    {"gain", [](const Text& v, SimSettings& s) { return readReal(v, 0.01, 1000.0, s.gain); }},
    {"dead_time_ns", [](const Text& v, SimSettings& s) { return readReal(v, 0.0, 1e9, s.deadTimeNs); }},
    {"autostart", [](const Text& v, SimSettings& s) { return readFlag(v, s.autostart); }},
};

const FixedRule* findFixedRule(const Text& key)
{
    for (const FixedRule& rule : kFixedRules)
        if (key == rule.key)
            return &rule;
    return nullptr;
}

}  // namespace

int32_t ConnectionString::parse(const char* text, SimSettings& settings)
{
    SimSettings result;
    bool pairsGiven = false;
    const int32_t status = board_plugin::parseConnection(text, "sim", [&](const Text& key, const Text& value) -> int32_t {
        if (const FixedRule* rule = findFixedRule(key)) {
            pairsGiven = pairsGiven || key == "pairs";
            return rule->apply(value, result) ? kOk : kBadKeyValue;
        }
        const int32_t tunable = applyTunable(key, value, result.tunables);
        return tunable == kOk || tunable == kUnknownKey ? tunable : kBadKeyValue;
    });
    if (status != kOk)
        return status;
    if (!pairsGiven)
        result.pairs = result.channels / 2;
    if (uint64_t(result.pairs) * 2 > result.channels)
        return kBadKeyValue;
    settings = result;
    return kOk;
}

int32_t ConnectionString::applyTunable(const std::string& key, const std::string& value, SimTunables& tunables)
{
    for (const TunableRule& rule : kTunableRules) {
        if (key == rule.key)
            return rule.apply(NumberText::trimmed(value), tunables) ? kOk : kInvalidValue;
    }
    return kUnknownKey;
}

bool ConnectionString::isFixedKey(const std::string& key)
{
    return findFixedRule(key) != nullptr;
}

std::vector<std::pair<std::string, std::string>> ConnectionString::describe(const SimSettings& s)
{
    Text lines;
    for (double keV : s.tunables.linesKeV)
        lines += (lines.empty() ? "" : ",") + NumberText::format(keV);
    return {
        {"seed", std::to_string(s.seed)},
        {"channels", std::to_string(s.channels)},
        {"pairs", std::to_string(s.pairs)},
        {"crystals", std::to_string(s.crystals)},
        {"max_batch", std::to_string(s.maxBatch)},
        {"samples", std::to_string(s.samples)},
        {"traces", std::to_string(s.traces)},
        {"clock", std::to_string(s.clockHz)},
        {"gain", NumberText::format(s.gain)},
        {"dead_time_ns", NumberText::format(s.deadTimeNs)},
        {"autostart", s.autostart ? "1" : "0"},
        {"rate", NumberText::format(s.tunables.rate)},
        {"wave_rate", NumberText::format(s.tunables.waveRate)},
        {"fixed_batch", std::to_string(s.tunables.fixedBatch)},
        {"lines", lines},
        {"resolution", NumberText::format(s.tunables.resolutionPercent)},
        {"background", NumberText::format(s.tunables.backgroundFraction)},
    };
}

}  // namespace sim
