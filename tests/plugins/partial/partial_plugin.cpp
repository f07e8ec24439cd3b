// Opens every board with handle 7 and offers no other entry point.
#include "board_access/vraxdig2_api.h"

#include <type_traits>

extern "C" VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* connection, uint32_t* handle)
{
    (void)connection;
    if (handle)
        *handle = 7;
    return 0;
}

static_assert(std::is_same<decltype(&VRAXDig2_Open), VRAXDig2_Open_t>::value, "VRAXDig2_Open signature");
