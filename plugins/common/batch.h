// One read's worth of data in a single heap block: the entry array first (so
// the block is found again by the entries pointer the server hands back),
// then records, trace blocks and sample arrays.
#pragma once

#include "board_access/readout_records.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace board_plugin {

// Byte offsets of the parts of one block, each part starting on 8 bytes.
class BlockLayout {
public:
    size_t add(size_t bytes)
    {
        const size_t offset = total_;
        total_ += (bytes + 7) & ~size_t(7);
        return offset;
    }
    size_t total() const { return total_; }

private:
    size_t total_ = 0;
};

class Batch {
public:
    Batch() = default;

    // A block of `bytes` (entries at offset 0) with count 0; an invalid batch
    // when memory is short.
    static Batch allocate(size_t bytes);

    bool valid() const { return block_ != nullptr; }
    bool empty() const { return count_ == 0; }
    readout::Entry* entries() const { return reinterpret_cast<readout::Entry*>(block_.get()); }
    template <typename T>
    T* at(size_t offset) const { return reinterpret_cast<T*>(block_.get() + offset); }

    int32_t count() const { return count_; }
    void setCount(int32_t count) { count_ = count; }

private:
    std::unique_ptr<unsigned char[]> block_;
    int32_t count_ = 0;
};

}  // namespace board_plugin
