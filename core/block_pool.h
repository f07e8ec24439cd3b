// Memory for the small objects the data path makes and destroys once per
// event (list-event payloads, packets and their item lists), made on one
// thread and freed on another.
//
// Each thread cuts blocks in order from a slab of its own, so the objects of
// one batch lie side by side; a free only counts the slab's live blocks down,
// and a slab whose blocks are all freed is reused whole. Allocation and free
// cost a few instructions and no lock but once per slab. Memory taken from
// the system is kept for reuse and never given back: it stays at what the
// largest backlog of the run needed, which the pin and buffer limits bound.
// Builds with AddressSanitizer use the plain allocator, so that misuse of
// these objects is still found there.
//
//     struct Event : PooledObject<Event> { ... };   // new Event / delete event use the pool
#pragma once

#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define QUARIX_POOL_DISABLED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUARIX_POOL_DISABLED 1
#endif
#endif

namespace block_pool {

// Blocks of up to kLargestBlock bytes, sizes rounded up to 16 bytes.
void* allocate(std::size_t size);
void release(void* block, std::size_t size);

constexpr std::size_t kLargestBlock = 256;

}  // namespace block_pool

// Gives a class (and its subclasses) pooled new and delete. Requests larger
// than the pool serves go to the plain allocator.
template <typename T>
struct PooledObject {
    static void* operator new(std::size_t size)
    {
#ifndef QUARIX_POOL_DISABLED
        if (size <= block_pool::kLargestBlock)
            return block_pool::allocate(size);
#endif
        return ::operator new(size);
    }
    static void operator delete(void* block, std::size_t size)
    {
#ifndef QUARIX_POOL_DISABLED
        if (size <= block_pool::kLargestBlock) {
            block_pool::release(block, size);
            return;
        }
#endif
        ::operator delete(block);
    }
};

// A standard allocator over the pool for small arrays (the item list of a
// packet, which mostly holds one or a few payload pointers).
template <typename T>
struct PoolAllocator {
    using value_type = T;
    PoolAllocator() = default;
    template <typename U>
    PoolAllocator(const PoolAllocator<U>&) noexcept {}

    T* allocate(std::size_t n)
    {
#ifndef QUARIX_POOL_DISABLED
        if (n * sizeof(T) <= block_pool::kLargestBlock)
            return static_cast<T*>(block_pool::allocate(n * sizeof(T)));
#endif
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, [[maybe_unused]] std::size_t n) noexcept
    {
#ifndef QUARIX_POOL_DISABLED
        if (n * sizeof(T) <= block_pool::kLargestBlock) {
            block_pool::release(p, n * sizeof(T));
            return;
        }
#endif
        ::operator delete(p);
    }
    template <typename U>
    bool operator==(const PoolAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const PoolAllocator<U>&) const noexcept { return false; }
};
