#include "sim_board.h"

#include "connection_string.h"
#include "plugins/common/board_plugin_exports.h"
#include "plugins/common/number_text.h"
#include "sim_random.h"
#include "sim_status.h"

namespace sim {

namespace {

using board_plugin::NumberText;
using board_plugin::QueryPath;
using board_plugin::ValueStore;

// High-voltage channel settings as a freshly powered board reports them.
const ValueStore::NamedDefault kHighVoltageDefaults[] = {
    {"VSet", "0"},     // volts
    {"ISet", "10"},    // current limit, microamperes
    {"RampUp", "10"},  // volts per second
    {"RampDown", "10"},
    {"VMax", "1500"},  // volts
    {"Trip", "1"},     // seconds over the current limit before the channel trips
    {"Temp", "25"},    // board temperature, degrees Celsius
};

const std::string kSimPrefix = "sim\\";
constexpr double kLeakageMicroampPerVolt = 0.0025;
constexpr double kMonitorOffsetMicroamp = 0.05;

bool endsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

SimBoard::SimBoard(const SimSettings& settings)
    : settings_(settings)
    , model_(settings)
    , opened_(std::chrono::steady_clock::now())
    , counters_(settings.channels)
    , tunables_(settings.tunables)
    , values_(kHighVoltageDefaults)
    , endpoints_(settings.autostart,
                 [this](const std::string& name, bool running) { return makeEndpoint(name, running); })
{
    for (const auto& keyAndValue : ConnectionString::describe(settings))
        values_.set(kSimPrefix + keyAndValue.first, keyAndValue.second);
}

SimBoard::~SimBoard() = default;

int32_t SimBoard::open(const char* connection, std::unique_ptr<SimBoard>& board)
{
    return board_plugin::openFrom(&ConnectionString::parse, connection, board);
}

int32_t SimBoard::setValue(const char* path, const char* value)
{
    if (!path || !value)
        return kNullArgument;
    const std::string key(path);
    if (key.compare(0, kSimPrefix.size(), kSimPrefix) == 0) {
        const std::string name = key.substr(kSimPrefix.size());
        if (ConnectionString::isFixedKey(name))
            return kReadOnlyValue;
        const int32_t status = tunables_.apply(name, value);
        if (status == kInvalidValue)
            return status;
        // Unknown "sim\" names are plain stored values like any other path.
    }
    values_.set(key, value);
    return kOk;
}

std::string SimBoard::monitorValue(const std::string& path, const std::string& segment) const
{
    if (!highVoltageOn_.load())
        return "0";
    const std::string setPath = path.substr(0, path.size() - segment.size()) + "VSet";
    const std::string setValue = values_.get(setPath);
    if (segment == "VMon")
        return setValue;
    double volts = 0.0;
    if (!NumberText::parse(NumberText::trimmed(setValue), volts) || volts <= 0.0)
        return "0";
    return NumberText::formatFixed(kMonitorOffsetMicroamp + kLeakageMicroampPerVolt * volts, 3);
}

int32_t SimBoard::getValue(const char* path, char* buffer)
{
    return ValueStore::answer(path, buffer, [this](const std::string& key) {
        if (endsWith(key, "VMon"))
            return monitorValue(key, "VMon");
        if (endsWith(key, "IMon"))
            return monitorValue(key, "IMon");
        return values_.get(key);
    });
}

int32_t SimBoard::sendCommand(const char* path)
{
    if (!path)
        return kNullArgument;
    const QueryPath query = QueryPath::parse(path);
    if (query.kind == QueryPath::Kind::BoardCommand && (query.verb == "global_on" || query.verb == "global_off")) {
        highVoltageOn_.store(query.verb == "global_on");
        return kOk;
    }
    endpoints_.runControl(query);
    return kOk;
}

int32_t SimBoard::read(const char* path, int32_t timeoutMs, readout::DataList* list)
{
    return endpoints_.read(path, timeoutMs, list);
}

int32_t SimBoard::release(const char* path, readout::DataList* list)
{
    return endpoints_.release(path, list);
}

size_t SimBoard::outstandingBatches() const
{
    return endpoints_.outstanding();
}

std::unique_ptr<SimEndpoint> SimBoard::makeEndpoint(const std::string& name, bool running)
{
    const GeneratorContext context{settings_, model_, counters_, opened_};
    auto generator = RecordGenerator::create(endpointKindForName(name), context,
                                             SimRandom::derive(settings_.seed, "endpoint " + name));
    return std::make_unique<SimEndpoint>(std::move(generator), tunables_, running);
}

}  // namespace sim
