// One opened simulated board: its settings, parameter values, high-voltage
// state, rate counters and endpoints. Every method may be called from any
// thread; endpoints are created on first use and live as long as the board.
#pragma once

#include "detector_model.h"
#include "plugins/common/endpoint_set.h"
#include "plugins/common/value_store.h"
#include "rate_counter_bank.h"
#include "shared_tunables.h"
#include "sim_endpoint.h"
#include "sim_settings.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace readout {
struct DataList;
}

namespace sim {

class SimBoard {
public:
    explicit SimBoard(const SimSettings& settings);
    ~SimBoard();

    // Opens a board from its connection string (see connection_string.h).
    static int32_t open(const char* connection, std::unique_ptr<SimBoard>& board);

    int32_t setValue(const char* path, const char* value);
    // Writes at most 63 characters and a NUL into `buffer`.
    int32_t getValue(const char* path, char* buffer);
    int32_t sendCommand(const char* path);
    int32_t read(const char* path, int32_t timeoutMs, readout::DataList* list);
    int32_t release(const char* path, readout::DataList* list);

    // Batches delivered by all endpoints and not yet freed.
    size_t outstandingBatches() const;

private:
    std::unique_ptr<SimEndpoint> makeEndpoint(const std::string& name, bool running);
    std::string monitorValue(const std::string& path, const std::string& segment) const;

    const SimSettings settings_;
    const DetectorModel model_;
    const std::chrono::steady_clock::time_point opened_;
    RateCounterBank counters_;
    SharedTunables tunables_;
    board_plugin::ValueStore values_;
    std::atomic<bool> highVoltageOn_{false};
    board_plugin::EndpointSet<SimEndpoint> endpoints_;
};

}  // namespace sim
