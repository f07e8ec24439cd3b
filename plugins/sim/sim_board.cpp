#include "sim_board.h"

#include "connection_string.h"
#include "plugins/common/board_plugin_exports.h"
#include "number_text.h"
#include "sim_endpoint.h"
#include "sim_random.h"
#include "sim_status.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

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
    , newEndpointsRun_(settings.autostart)
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
    if (!buffer)
        return kNullArgument;
    buffer[0] = '\0';
    if (!path)
        return kNullArgument;
    const std::string key(path);
    std::string value;
    if (endsWith(key, "VMon"))
        value = monitorValue(key, "VMon");
    else if (endsWith(key, "IMon"))
        value = monitorValue(key, "IMon");
    else
        value = values_.get(key);
    const size_t length = std::min<size_t>(value.size(), 63);
    std::memcpy(buffer, value.data(), length);
    buffer[length] = '\0';
    return kOk;
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
    const bool runControl = query.verb == "start" || query.verb == "stop" || query.verb == "reset";
    if (!runControl)
        return kOk;

    std::vector<SimEndpoint*> targets;
    if (query.kind == QueryPath::Kind::EndpointCommand) {
        targets.push_back(endpoint(query.endpoint, true));
    } else if (query.kind == QueryPath::Kind::BoardCommand) {
        if (query.verb != "reset") {
            std::lock_guard<std::mutex> lock(endpointsMutex_);
            newEndpointsRun_ = query.verb == "start";
        }
        targets = allEndpoints();
    }
    for (SimEndpoint* target : targets) {
        if (query.verb == "start")
            target->start();
        else if (query.verb == "stop")
            target->stop();
        else
            target->reset();
    }
    return kOk;
}

int32_t SimBoard::read(const char* path, int32_t timeoutMs, readout::DataList* list)
{
    if (!list)
        return kNullArgument;
    list->entries = nullptr;
    list->count = 0;
    const QueryPath query = QueryPath::parse(path);
    if (query.kind != QueryPath::Kind::Endpoint)
        return kUnknownPath;
    return endpoint(query.endpoint, true)->read(timeoutMs, list);
}

int32_t SimBoard::release(const char* path, readout::DataList* list)
{
    if (!list)
        return kNullArgument;
    const QueryPath query = QueryPath::parse(path);
    if (query.kind != QueryPath::Kind::Endpoint)
        return kUnknownPath;
    SimEndpoint* target = endpoint(query.endpoint, false);
    return target ? target->release(list) : kUnknownBatch;
}

size_t SimBoard::outstandingBatches() const
{
    size_t total = 0;
    for (SimEndpoint* each : allEndpoints())
        total += each->outstanding();
    return total;
}

SimEndpoint* SimBoard::endpoint(const std::string& name, bool create)
{
    std::lock_guard<std::mutex> lock(endpointsMutex_);
    const auto found = endpoints_.find(name);
    if (found != endpoints_.end())
        return found->second.get();
    if (!create)
        return nullptr;
    const EndpointKind kind = endpointKindForName(name);
    const GeneratorContext context{settings_, model_, counters_, opened_};
    auto generator = RecordGenerator::create(kind, context, SimRandom::derive(settings_.seed, "endpoint " + name));
    auto created = std::make_unique<SimEndpoint>(std::move(generator), tunables_, newEndpointsRun_);
    SimEndpoint* result = created.get();
    endpoints_.emplace(name, std::move(created));
    return result;
}

std::vector<SimEndpoint*> SimBoard::allEndpoints() const
{
    std::lock_guard<std::mutex> lock(endpointsMutex_);
    std::vector<SimEndpoint*> result;
    result.reserve(endpoints_.size());
    for (const auto& entry : endpoints_)
        result.push_back(entry.second.get());
    return result;
}

}  // namespace sim
