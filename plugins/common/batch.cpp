#include "plugins/common/batch.h"

#include <new>

namespace board_plugin {

Batch Batch::allocate(size_t bytes)
{
    Batch batch;
    batch.block_.reset(new (std::nothrow) unsigned char[bytes > 0 ? bytes : 1]);
    return batch;
}

}  // namespace board_plugin
