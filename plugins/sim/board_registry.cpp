#include "board_registry.h"

namespace sim {

BoardRegistry& BoardRegistry::instance()
{
    static BoardRegistry* registry = new BoardRegistry;
    return *registry;
}

uint32_t BoardRegistry::add(std::unique_ptr<SimBoard> board)
{
    std::lock_guard<std::mutex> lock(mutex_);
    boards_.push_back(std::move(board));
    return uint32_t(boards_.size());
}

SimBoard* BoardRegistry::find(uint32_t handle) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle == 0 || handle > boards_.size())
        return nullptr;
    return boards_[handle - 1].get();
}

}  // namespace sim
