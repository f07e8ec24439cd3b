#include "core/block_pool.h"

#include <mutex>
#include <vector>

namespace block_pool {
namespace {

constexpr std::size_t kClasses = kLargestBlock / 16;

struct FreeBlock {
    FreeBlock* next;
};

// A list of free blocks handed between a thread and the shared store.
struct Chunk {
    FreeBlock* head = nullptr;
    std::size_t count = 0;
};

// The shared store of one size class. Never destroyed: threads may return
// their blocks to it while the process ends.
struct SharedStore {
    std::mutex mutex;
    std::vector<Chunk> chunks;
};

SharedStore& store(std::size_t sizeClass)
{
    static SharedStore* const stores = new SharedStore[kClasses];
    return stores[sizeClass];
}

Chunk newChunk(std::size_t blockSize)
{
    // One allocation for a whole chunk; it stays in use for the life of the process.
    char* memory = static_cast<char*>(::operator new(blockSize * kChunk));
    Chunk chunk;
    for (std::size_t i = kChunk; i-- > 0;) {
        auto* block = reinterpret_cast<FreeBlock*>(memory + i * blockSize);
        block->next = chunk.head;
        chunk.head = block;
    }
    chunk.count = kChunk;
    return chunk;
}

// The free blocks of one thread, one list per size class.
struct ThreadCache {
    Chunk lists[kClasses];

    ~ThreadCache()
    {
        for (std::size_t c = 0; c < kClasses; ++c) {
            if (lists[c].count == 0)
                continue;
            SharedStore& shared = store(c);
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.chunks.push_back(lists[c]);
            lists[c] = Chunk();
        }
    }
};

thread_local ThreadCache t_cache;

std::size_t classOf(std::size_t size)
{
    return size == 0 ? 0 : (size - 1) / 16;
}

}  // namespace

void* allocate(std::size_t size)
{
    const std::size_t sizeClass = classOf(size);
    Chunk& list = t_cache.lists[sizeClass];
    if (!list.head) {
        SharedStore& shared = store(sizeClass);
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            if (!shared.chunks.empty()) {
                list = shared.chunks.back();
                shared.chunks.pop_back();
            }
        }
        if (!list.head)
            list = newChunk((sizeClass + 1) * 16);
    }
    FreeBlock* block = list.head;
    list.head = block->next;
    --list.count;
    return block;
}

void release(void* memory, std::size_t size)
{
    if (!memory)
        return;
    const std::size_t sizeClass = classOf(size);
    Chunk& list = t_cache.lists[sizeClass];
    auto* block = static_cast<FreeBlock*>(memory);
    block->next = list.head;
    list.head = block;
    if (++list.count < 2 * kChunk)
        return;
    // A consuming thread frees what producers made: hand a full chunk back.
    Chunk handed;
    handed.head = list.head;
    FreeBlock* last = list.head;
    for (std::size_t i = 1; i < kChunk; ++i)
        last = last->next;
    list.head = last->next;
    last->next = nullptr;
    handed.count = kChunk;
    list.count -= kChunk;
    SharedStore& shared = store(sizeClass);
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.chunks.push_back(handed);
}

}  // namespace block_pool
