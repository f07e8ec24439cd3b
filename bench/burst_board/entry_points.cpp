// The exported C entry points of the burst board plugin: find the board by
// its handle and hand over to it. Values are accepted and read back as "0";
// the burst is set up by the connection string alone.
#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"

#include "burst_board.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

namespace {

// Handles count up from 1. Boards are never closed and the table is never
// destroyed: reader threads of the host may still call in while it exits.
class Registry {
public:
    static Registry& instance()
    {
        static Registry* registry = new Registry;
        return *registry;
    }

    uint32_t add(std::unique_ptr<burst::BurstBoard> board)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        boards_.push_back(std::move(board));
        return uint32_t(boards_.size());
    }

    burst::BurstBoard* find(uint32_t handle) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (handle == 0 || handle > boards_.size())
            return nullptr;
        return boards_[handle - 1].get();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<burst::BurstBoard>> boards_;
};

}  // namespace

extern "C" {

VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* connection, uint32_t* handle)
{
    if (!handle)
        return burst::kNullArgument;
    burst::Settings settings;
    const int32_t status = burst::Settings::parse(connection, settings);
    if (status != burst::kOk)
        return status;
    *handle = Registry::instance().add(std::make_unique<burst::BurstBoard>(settings));
    return burst::kOk;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SetValueByQuery(uint32_t handle, const char*, const char*)
{
    return Registry::instance().find(handle) ? burst::kOk : burst::kUnknownHandle;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_GetValueByQuery(uint32_t handle, const char*, char* value)
{
    if (value)
        std::strcpy(value, Registry::instance().find(handle) ? "0" : "");
    return Registry::instance().find(handle) ? burst::kOk : burst::kUnknownHandle;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_SendCommandByQuery(uint32_t handle, const char* path)
{
    burst::BurstBoard* board = Registry::instance().find(handle);
    return board ? board->sendCommand(path) : burst::kUnknownHandle;
}

VRAXDIG2_EXPORT int32_t VRAXDig2_ReadDataByQuery(uint32_t handle, const char* path, int32_t timeout_ms,
                                                 void* data_list)
{
    auto* list = static_cast<readout::DataList*>(data_list);
    burst::BurstBoard* board = Registry::instance().find(handle);
    if (!board) {
        if (list) {
            list->entries = nullptr;
            list->count = 0;
        }
        return burst::kUnknownHandle;
    }
    return board->read(path, timeout_ms, list);
}

VRAXDIG2_EXPORT int32_t VRAXDig2_FreePointerByQuery(uint32_t handle, const char* path, void* data_list)
{
    burst::BurstBoard* board = Registry::instance().find(handle);
    return board ? board->release(path, static_cast<readout::DataList*>(data_list)) : burst::kUnknownHandle;
}

}  // extern "C"

static_assert(std::is_same<decltype(&VRAXDig2_Open), VRAXDig2_Open_t>::value, "open signature");
static_assert(std::is_same<decltype(&VRAXDig2_SetValueByQuery), VRAXDig2_SetValueByQuery_t>::value, "set signature");
static_assert(std::is_same<decltype(&VRAXDig2_GetValueByQuery), VRAXDig2_GetValueByQuery_t>::value, "get signature");
static_assert(std::is_same<decltype(&VRAXDig2_SendCommandByQuery), VRAXDig2_SendCommandByQuery_t>::value,
              "send signature");
static_assert(std::is_same<decltype(&VRAXDig2_ReadDataByQuery), VRAXDig2_ReadDataByQuery_t>::value, "read signature");
static_assert(std::is_same<decltype(&VRAXDig2_FreePointerByQuery), VRAXDig2_FreePointerByQuery_t>::value,
              "free signature");
