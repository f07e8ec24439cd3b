#include "batch.h"

#include <new>

namespace sim {

Batch Batch::allocate(size_t bytes)
{
    Batch batch;
    batch.block_.reset(new (std::nothrow) unsigned char[bytes > 0 ? bytes : 1]);
    return batch;
}

}  // namespace sim
