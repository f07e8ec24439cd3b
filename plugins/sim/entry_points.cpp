// The exported C entry points of the simulated board plugin. They only find
// the board by its handle and hand over to it; the library exports nothing
// else but the diagnostic VRAXDig2Sim_OutstandingBatches.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"

#include "board_registry.h"
#include "connection_string.h"
#include "sim_status.h"

#include <memory>
#include <type_traits>

using sim::BoardRegistry;
using sim::SimBoard;

extern "C" {

VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* connection, uint32_t* handle)
{
    if (!handle)
        return sim::kNullArgument;
    sim::SimSettings settings;
    const int32_t status = sim::ConnectionString::parse(connection, settings);
    if (status != sim::kOk)
        return status;
    *handle = BoardRegistry::instance().add(std::make_unique<SimBoard>(settings));
    return sim::kOk;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SetValueByQuery(uint32_t handle, const char* path, const char* value)
{
    SimBoard* board = BoardRegistry::instance().find(handle);
    return board ? board->setValue(path, value) : sim::kUnknownHandle;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_GetValueByQuery(uint32_t handle, const char* path, char* value)
{
    SimBoard* board = BoardRegistry::instance().find(handle);
    if (!board) {
        if (value)
            value[0] = '\0';
        return sim::kUnknownHandle;
    }
    return board->getValue(path, value);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SendCommandByQuery(uint32_t handle, const char* path)
{
    SimBoard* board = BoardRegistry::instance().find(handle);
    return board ? board->sendCommand(path) : sim::kUnknownHandle;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_ReadDataByQuery(uint32_t handle, const char* path, int32_t timeout_ms,
                                                 void* data_list)
{
    auto* list = static_cast<readout::DataList*>(data_list);
    SimBoard* board = BoardRegistry::instance().find(handle);
    if (!board) {
        if (list) {
            list->entries = nullptr;
            list->count = 0;
        }
        return sim::kUnknownHandle;
    }
    return board->read(path, timeout_ms, list);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_FreePointerByQuery(uint32_t handle, const char* path, void* data_list)
{
    SimBoard* board = BoardRegistry::instance().find(handle);
    return board ? board->release(path, static_cast<readout::DataList*>(data_list)) : sim::kUnknownHandle;
}

// Number of batches the board has delivered and not yet taken back, or
// kUnknownHandle. For tests and leak checks.
VRAXDIG2_EXPORT int32_t VRAXDig2Sim_OutstandingBatches(uint32_t handle)
{
    SimBoard* board = BoardRegistry::instance().find(handle);
    return board ? int32_t(board->outstandingBatches()) : sim::kUnknownHandle;
}

}  // extern "C"

// The definitions above must keep the exact signatures the server resolves.
static_assert(std::is_same<decltype(&VRAXDig2_Open), VRAXDig2_Open_t>::value, "open signature");
static_assert(std::is_same<decltype(&VRAXDig2_SetValueByQuery), VRAXDig2_SetValueByQuery_t>::value, "set signature");
static_assert(std::is_same<decltype(&VRAXDig2_GetValueByQuery), VRAXDig2_GetValueByQuery_t>::value, "get signature");
static_assert(std::is_same<decltype(&VRAXDig2_SendCommandByQuery), VRAXDig2_SendCommandByQuery_t>::value,
              "send signature");
static_assert(std::is_same<decltype(&VRAXDig2_ReadDataByQuery), VRAXDig2_ReadDataByQuery_t>::value, "read signature");
static_assert(std::is_same<decltype(&VRAXDig2_FreePointerByQuery), VRAXDig2_FreePointerByQuery_t>::value,
              "free signature");
