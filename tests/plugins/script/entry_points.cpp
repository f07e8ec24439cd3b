// The exported entry points of the scripted plugin; the work is ScriptBoards'.
#include "board_access/vraxdig2_api.h"
#include "script_boards.h"

#include <type_traits>

extern "C" {

VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* connection, uint32_t* handle)
{
    return ScriptBoards::instance().open(connection, handle);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SetValueByQuery(uint32_t handle, const char* path, const char* value)
{
    return ScriptBoards::instance().setValue(handle, path, value);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_GetValueByQuery(uint32_t handle, const char* path, char* value)
{
    return ScriptBoards::instance().getValue(handle, path, value);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SendCommandByQuery(uint32_t handle, const char* path)
{
    return ScriptBoards::instance().sendCommand(handle, path);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_ReadDataByQuery(uint32_t handle, const char* path, int32_t timeout_ms,
                                                 void* data_list)
{
    return ScriptBoards::instance().readData(handle, path, timeout_ms, data_list);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_FreePointerByQuery(uint32_t handle, const char* path, void* data_list)
{
    return ScriptBoards::instance().freePointer(handle, path, data_list);
}

// For in-process tests: batches delivered to the board and not yet freed.
VRAXDIG2_EXPORT int32_t VRAXDig2Script_Outstanding(uint32_t handle)
{
    return ScriptBoards::instance().outstanding(handle);
}

}  // extern "C"

static_assert(std::is_same<decltype(&VRAXDig2_Open), VRAXDig2_Open_t>::value, "Open signature");
static_assert(std::is_same<decltype(&VRAXDig2_SetValueByQuery), VRAXDig2_SetValueByQuery_t>::value,
              "SetValue signature");
static_assert(std::is_same<decltype(&VRAXDig2_GetValueByQuery), VRAXDig2_GetValueByQuery_t>::value,
              "GetValue signature");
static_assert(std::is_same<decltype(&VRAXDig2_SendCommandByQuery), VRAXDig2_SendCommandByQuery_t>::value,
              "SendCommand signature");
static_assert(std::is_same<decltype(&VRAXDig2_ReadDataByQuery), VRAXDig2_ReadDataByQuery_t>::value,
              "ReadData signature");
static_assert(std::is_same<decltype(&VRAXDig2_FreePointerByQuery), VRAXDig2_FreePointerByQuery_t>::value,
              "FreePointer signature");
