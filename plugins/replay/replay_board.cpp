#include "replay_board.h"

#include "replay_status.h"

#include <algorithm>

namespace replay {

namespace {

const std::string kReplayPrefix = "replay\\";

}  // namespace

ReplayBoard::ReplayBoard(const Settings& settings, std::shared_ptr<const Recording> recording)
    : settings_(settings)
    , recording_(std::move(recording))
    , endpoints_(settings.autostart, [this](const std::string&, bool running) {
        return std::make_unique<ReplayEndpoint>(settings_, recording_, running);
    })
{
}

int32_t ReplayBoard::open(const char* connection, std::unique_ptr<ReplayBoard>& board)
{
    Settings settings;
    int32_t status = Settings::parse(connection, settings);
    std::shared_ptr<const Recording> recording;
    if (status == kOk)
        status = Recording::open(settings, recording);
    if (status == kOk)
        board = std::make_unique<ReplayBoard>(settings, std::move(recording));
    return status;
}

int32_t ReplayBoard::setValue(const char* path, const char* value)
{
    if (!path || !value)
        return kNullArgument;
    const std::string key(path);
    if (key.compare(0, kReplayPrefix.size(), kReplayPrefix) == 0)
        return kReadOnlyValue;
    values_.set(key, value);
    return kOk;
}

bool ReplayBoard::replayValue(const std::string& name, std::string& value) const
{
    uint64_t delivered = 0;
    bool anyEndpoint = false, allFinished = true, anyFailed = false;
    for (const ReplayEndpoint* endpoint : endpoints_.all()) {
        delivered += endpoint->delivered();
        anyEndpoint = true;
        allFinished = allFinished && endpoint->finished();
        anyFailed = anyFailed || endpoint->failed();
    }
    if (name == "events_delivered")
        value = std::to_string(delivered);
    else if (name == "done")
        value = anyEndpoint && allFinished ? "1" : "0";
    else if (name == "read_failed")
        value = anyFailed ? "1" : "0";
    else if (name == "events")
        value = std::to_string(recording_->events());
    else if (name == "files")
        value = std::to_string(recording_->files().size());
    else if (name == "span")
        value = std::to_string(std::max(recording_->lastTimestamp(), recording_->firstTimestamp()) - recording_->firstTimestamp());
    else {
        for (const auto& keyAndValue : settings_.describe()) {
            if (keyAndValue.first == name) {
                value = keyAndValue.second;
                return true;
            }
        }
        return false;
    }
    return true;
}

int32_t ReplayBoard::getValue(const char* path, char* buffer)
{
    return board_plugin::ValueStore::answer(path, buffer, [this](const std::string& key) {
        std::string value;
        const bool own = key.compare(0, kReplayPrefix.size(), kReplayPrefix) == 0;
        return own && replayValue(key.substr(kReplayPrefix.size()), value) ? value : values_.get(key);
    });
}

int32_t ReplayBoard::sendCommand(const char* path)
{
    if (!path)
        return kNullArgument;
    // Run control; any other command (high voltage, configuration) has nothing to act on.
    endpoints_.runControl(board_plugin::QueryPath::parse(path));
    return kOk;
}

int32_t ReplayBoard::read(const char* path, int32_t timeoutMs, readout::DataList* list)
{
    return endpoints_.read(path, timeoutMs, list);
}

int32_t ReplayBoard::release(const char* path, readout::DataList* list)
{
    return endpoints_.release(path, list);
}

}  // namespace replay
