// Handle to board table of the plugin. Handles count up from 1; boards are
// never closed (the calling contract has no close), so a looked-up board
// stays valid for the life of the process.
#pragma once

#include "sim_board.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class BoardRegistry {
public:
    // The process-wide registry. It is never destroyed: reader threads of
    // the host may still call in while the process exits.
    static BoardRegistry& instance();

    uint32_t add(std::unique_ptr<SimBoard> board);
    // nullptr for a handle that was never returned by add().
    SimBoard* find(uint32_t handle) const;

private:
    BoardRegistry() = default;

    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<SimBoard>> boards_;
};

}  // namespace sim
