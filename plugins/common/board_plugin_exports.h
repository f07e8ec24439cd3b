// The six exported C entry points of a board plugin (board_access/vraxdig2_api.h),
// written once for every plugin library: the simulated board, the burst board
// of the benchmarks, test boards, a replay board.
//
// Two layers; a library uses one of them in exactly one of its source files.
//
// 1. QUARIX_BOARD_PLUGIN_EXPORTS(Calls) defines the six entry points, each
//    handing its arguments unchanged to a static member of the class Calls,
//    and checks their signatures against the ones the server resolves:
//        static int32_t open(const char* connection, uint32_t* handle);
//        static int32_t setValue(uint32_t handle, const char* path, const char* value);
//        static int32_t getValue(uint32_t handle, const char* path, char* value);
//        static int32_t sendCommand(uint32_t handle, const char* path);
//        static int32_t readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList);
//        static int32_t freePointer(uint32_t handle, const char* path, void* dataList);
//    A plugin that hands out and checks its handles itself (a scripted test
//    board that is told which handle to give) writes such a class.
//
// 2. board_plugin::Boards<Board> is that class for a plugin whose boards are
//    objects of class Board, kept in a handle table:
//        QUARIX_BOARD_PLUGIN_EXPORTS(board_plugin::Boards<sim::SimBoard>)
//    Board provides (every member may be called from any thread):
//        static int32_t open(const char* connection, std::unique_ptr<Board>& board);
//            0 with `board` set, or the plugin's own non-zero status; `connection` may be null.
//            openFrom() below writes it for a board built from settings that a parse function reads.
//        int32_t setValue(const char* path, const char* value);
//        int32_t getValue(const char* path, char* value);   // at most 63 characters and a NUL
//        int32_t sendCommand(const char* path);
//        int32_t read(const char* path, int32_t timeoutMs, readout::DataList* list);
//        int32_t release(const char* path, readout::DataList* list);
//    The members get the arguments as the server passed them (null included).
//    What the layer does itself, the same in every such plugin:
//      - Open with a null handle pointer returns kNullArgument without calling
//        Board::open; a non-zero status of Board::open is returned as it is.
//      - Handles count up from 1. Boards are never closed (the calling
//        contract has no close) and the table is never destroyed: reader
//        threads of the host may still call in while the process exits.
//      - Any other call with a handle that Open never gave returns
//        kUnknownHandle; GetValue then also writes an empty value and
//        ReadData sets the data list to no entries (when they are not null).
//    Further exports of a plugin (diagnostics) find their board with
//    Boards<Board>::find(handle).
//
// The library keeps everything else to itself: build it with hidden
// visibility and a version script listing only its entry points (see
// plugins/sim/exports.map). The handle table then stays one per library.
#pragma once

#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"
#include "plugins/common/plugin_status.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace board_plugin {

// A Board::open: `parse` fills the settings from the connection string and
// returns 0 or its status; the board is built from them on 0 only.
template <class Board, class Settings>
int32_t openFrom(int32_t (*parse)(const char*, Settings&), const char* connection, std::unique_ptr<Board>& board)
{
    Settings settings;
    const int32_t status = parse(connection, settings);
    if (status == kOk)
        board = std::make_unique<Board>(settings);
    return status;
}

template <class Board>
class Boards {
public:
    // nullptr for a handle that Open never gave.
    static Board* find(uint32_t handle)
    {
        Table& table = Table::instance();
        std::lock_guard<std::mutex> lock(table.mutex);
        return handle == 0 || handle > table.boards.size() ? nullptr : table.boards[handle - 1].get();
    }

    static int32_t open(const char* connection, uint32_t* handle)
    {
        if (!handle)
            return kNullArgument;
        std::unique_ptr<Board> board;
        const int32_t status = Board::open(connection, board);
        if (status != kOk)
            return status;
        Table& table = Table::instance();
        std::lock_guard<std::mutex> lock(table.mutex);
        table.boards.push_back(std::move(board));
        *handle = uint32_t(table.boards.size());
        return kOk;
    }

    static int32_t setValue(uint32_t handle, const char* path, const char* value)
    {
        Board* board = find(handle);
        return board ? board->setValue(path, value) : kUnknownHandle;
    }

    static int32_t getValue(uint32_t handle, const char* path, char* value)
    {
        if (Board* board = find(handle))
            return board->getValue(path, value);
        if (value)
            value[0] = '\0';
        return kUnknownHandle;
    }

    static int32_t sendCommand(uint32_t handle, const char* path)
    {
        Board* board = find(handle);
        return board ? board->sendCommand(path) : kUnknownHandle;
    }

    static int32_t readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList)
    {
        auto* list = static_cast<readout::DataList*>(dataList);
        if (Board* board = find(handle))
            return board->read(path, timeoutMs, list);
        if (list) {
            list->entries = nullptr;
            list->count = 0;
        }
        return kUnknownHandle;
    }

    static int32_t freePointer(uint32_t handle, const char* path, void* dataList)
    {
        Board* board = find(handle);
        return board ? board->release(path, static_cast<readout::DataList*>(dataList)) : kUnknownHandle;
    }

private:
    struct Table {
        static Table& instance()
        {
            static Table* table = new Table;
            return *table;
        }
        std::mutex mutex;
        std::vector<std::unique_ptr<Board>> boards;
    };
};

// Takes the six entry points only if each has the signature the server resolves.
constexpr bool exactSignatures(VRAXDig2_Open_t, VRAXDig2_SetValueByQuery_t, VRAXDig2_GetValueByQuery_t,
                               VRAXDig2_SendCommandByQuery_t, VRAXDig2_ReadDataByQuery_t, VRAXDig2_FreePointerByQuery_t)
{
    return true;
}

}  // namespace board_plugin

#define QUARIX_BOARD_PLUGIN_EXPORTS(Calls)                                                                      \
    extern "C" {                                                                                                \
    VRAXDIG2_EXPORT int32_t VRAXDig2_Open(const char* connection, uint32_t* handle)                             \
    { return Calls::open(connection, handle); }                                                                 \
    VRAXDIG2_EXPORT int32_t VRAXDig2_SetValueByQuery(uint32_t handle, const char* path, const char* value)      \
    { return Calls::setValue(handle, path, value); }                                                            \
    VRAXDIG2_EXPORT int32_t VRAXDig2_GetValueByQuery(uint32_t handle, const char* path, char* value)            \
    { return Calls::getValue(handle, path, value); }                                                            \
    VRAXDIG2_EXPORT int32_t VRAXDig2_SendCommandByQuery(uint32_t handle, const char* path)                      \
    { return Calls::sendCommand(handle, path); }                                                                \
    VRAXDIG2_EXPORT int32_t VRAXDig2_ReadDataByQuery(uint32_t handle, const char* path, int32_t timeout_ms,     \
                                                     void* data_list)                                           \
    { return Calls::readData(handle, path, timeout_ms, data_list); }                                            \
    VRAXDIG2_EXPORT int32_t VRAXDig2_FreePointerByQuery(uint32_t handle, const char* path, void* data_list)     \
    { return Calls::freePointer(handle, path, data_list); }                                                     \
    }                                                                                                           \
    static_assert(board_plugin::exactSignatures(&VRAXDig2_Open, &VRAXDig2_SetValueByQuery, &VRAXDig2_GetValueByQuery, \
                                                &VRAXDig2_SendCommandByQuery, &VRAXDig2_ReadDataByQuery,        \
                                                &VRAXDig2_FreePointerByQuery),                                  \
                  "the entry points keep the signatures the server resolves")
