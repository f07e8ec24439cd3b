#include "core/block_pool.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace block_pool {
namespace {

// Blocks are cut in order from slabs of kSlabBytes, aligned to their size so
// that a block finds its slab's header by masking its address. A thread cuts
// blocks from its current slab one after the other (neighbouring objects are
// made together and read together downstream); every free counts the slab's
// live blocks down, and the free that takes the count to zero, on whichever
// thread, returns the whole slab for reuse.
constexpr std::size_t kSlabBytes = 64 * 1024;
constexpr std::size_t kHeaderBytes = 64;   // a cache line of its own
constexpr std::size_t kClasses = kLargestBlock / 16;

struct Slab {
    std::atomic<std::size_t> live{0};   // blocks handed out or still to hand out, not yet freed
    std::size_t sizeClass = 0;
};
static_assert(sizeof(Slab) <= kHeaderBytes, "the slab header fits its cache line");

std::size_t blockBytes(std::size_t sizeClass)
{
    return (sizeClass + 1) * 16;
}

std::size_t blocksPerSlab(std::size_t sizeClass)
{
    return (kSlabBytes - kHeaderBytes) / blockBytes(sizeClass);
}

// The slabs whose blocks are all free, per size class. Never destroyed:
// threads may free blocks while the process ends.
struct FreeSlabs {
    std::mutex mutex;
    std::vector<Slab*> slabs;
};

FreeSlabs& freeSlabs(std::size_t sizeClass)
{
    static FreeSlabs* const lists = new FreeSlabs[kClasses];
    return lists[sizeClass];
}

void recycle(Slab* slab)
{
    FreeSlabs& list = freeSlabs(slab->sizeClass);
    std::lock_guard<std::mutex> lock(list.mutex);
    list.slabs.push_back(slab);
}

// Takes `count` blocks off the slab's live count; recycles it at zero.
void forget(Slab* slab, std::size_t count)
{
    if (slab->live.fetch_sub(count, std::memory_order_acq_rel) == count)
        recycle(slab);
}

Slab* takeSlab(std::size_t sizeClass)
{
    Slab* slab = nullptr;
    {
        FreeSlabs& list = freeSlabs(sizeClass);
        std::lock_guard<std::mutex> lock(list.mutex);
        if (!list.slabs.empty()) {
            slab = list.slabs.back();
            list.slabs.pop_back();
        }
    }
    if (!slab) {
        // Kept for the life of the process, for reuse.
        void* memory = std::aligned_alloc(kSlabBytes, kSlabBytes);
        if (!memory) {
            std::fputs("Out of memory for event data\n", stderr);
            std::abort();
        }
        slab = new (memory) Slab;
        slab->sizeClass = sizeClass;
    }
    slab->live.store(blocksPerSlab(sizeClass), std::memory_order_relaxed);
    return slab;
}

// The slab each thread cuts blocks from, per size class.
struct ThreadSlabs {
    Slab* current[kClasses] = {};
    std::size_t next[kClasses] = {};   // index of the next block to hand out

    ~ThreadSlabs()
    {
        for (std::size_t c = 0; c < kClasses; ++c) {
            if (current[c])
                forget(current[c], blocksPerSlab(c) - next[c]);   // never handed out
            current[c] = nullptr;
        }
    }
};

thread_local ThreadSlabs t_slabs;

std::size_t classOf(std::size_t size)
{
    return size == 0 ? 0 : (size - 1) / 16;
}

}  // namespace

void* allocate(std::size_t size)
{
    const std::size_t sizeClass = classOf(size);
    Slab*& slab = t_slabs.current[sizeClass];
    std::size_t& next = t_slabs.next[sizeClass];
    if (!slab || next == blocksPerSlab(sizeClass)) {
        slab = takeSlab(sizeClass);
        next = 0;
    }
    char* block = reinterpret_cast<char*>(slab) + kHeaderBytes + next * blockBytes(sizeClass);
    ++next;
    return block;
}

void release(void* block, std::size_t)
{
    if (!block)
        return;
    const auto address = reinterpret_cast<std::uintptr_t>(block);
    forget(reinterpret_cast<Slab*>(address & ~(std::uintptr_t(kSlabBytes) - 1)), 1);
}

}  // namespace block_pool
