// The batches a board plugin has handed to the server, each kept alive under
// the address of its entries until the server releases it. Not locked: the
// plugin calls it under the lock that guards its endpoint.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <utility>

namespace board_plugin {

template <typename Batch>
class LentBatches {
public:
    void lend(const void* entries, Batch batch) { lent_.emplace(entries, std::move(batch)); }

    // Takes back the batch lent at `entries` into *batch; false when no batch
    // was lent there (a null address included).
    bool takeBack(const void* entries, Batch* batch)
    {
        const auto found = entries ? lent_.find(entries) : lent_.end();
        if (found == lent_.end())
            return false;
        *batch = std::move(found->second);
        lent_.erase(found);
        return true;
    }

    std::size_t size() const { return lent_.size(); }

private:
    std::unordered_map<const void*, Batch> lent_;
};

}  // namespace board_plugin
