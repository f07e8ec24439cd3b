// The memory of one batch handed to the server by a read: the entry array, the
// records, trace blocks and sample arrays, laid out as readout_records.h fixes
// them. Bytes the layout leaves unread hold kUnreadByte; on destruction every
// block is overwritten with 0xDD before it is released, so data read after the
// free call is conspicuous.
#pragma once

#include "board_script.h"

#include <cstddef>
#include <memory>
#include <vector>

class DeliveredBatch {
public:
    explicit DeliveredBatch(const std::vector<ScriptEntry>& entries);
    ~DeliveredBatch();
    DeliveredBatch(const DeliveredBatch&) = delete;
    DeliveredBatch& operator=(const DeliveredBatch&) = delete;

    readout::Entry* entries() const { return entries_; }
    int32_t count() const { return count_; }

private:
    void* allocate(size_t bytes);
    template <typename T>
    T* place(const T* values, size_t count);
    const void* placeRecord(const ScriptRecord& record);

    struct Block {
        std::unique_ptr<uint64_t[]> words;
        size_t bytes;
    };
    std::vector<Block> blocks_;
    readout::Entry* entries_ = nullptr;
    int32_t count_ = 0;
};
