// One opened replay board: its settings, the recording it plays, parameter
// values and endpoints. Every method may be called from any thread;
// endpoints are created on first use and live as long as the board.
#pragma once

#include "plugins/common/endpoint_set.h"
#include "plugins/common/value_store.h"
#include "recording.h"
#include "replay_endpoint.h"
#include "replay_settings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace replay {

class ReplayBoard {
public:
    ReplayBoard(const Settings& settings, std::shared_ptr<const Recording> recording);

    // Opens a board from its connection string (replay_settings.h) and checks
    // the recording it names (recording.h).
    static int32_t open(const char* connection, std::unique_ptr<ReplayBoard>& board);

    int32_t setValue(const char* path, const char* value);
    // Writes at most 63 characters and a NUL into `buffer`.
    int32_t getValue(const char* path, char* buffer);
    int32_t sendCommand(const char* path);
    int32_t read(const char* path, int32_t timeoutMs, readout::DataList* list);
    int32_t release(const char* path, readout::DataList* list);

private:
    // The value of "replay\<name>"; false for a name the board does not report.
    bool replayValue(const std::string& name, std::string& value) const;

    const Settings settings_;
    const std::shared_ptr<const Recording> recording_;
    board_plugin::ValueStore values_;
    board_plugin::EndpointSet<ReplayEndpoint> endpoints_;
};

}  // namespace replay
