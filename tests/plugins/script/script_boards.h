// All boards opened through the scripted plugin, and what each entry point
// does to them. One process-wide instance; every entry point may be called
// from several threads at once.
//
// Open reads the connection string (connection_options.h) and the script
// (board_script.h) and gives the board a handle. Reads deliver the batches of
// the endpoint's script in order; an exhausted (or unscripted, or held back)
// endpoint sleeps about 5 ms and returns status 0 with count 0, without a log
// line. A delivered batch stays outstanding until FreePointer gets the same
// data list on the same handle and path.
//
// Call log (call_log.h), one line per call, fields separated by tabs:
//   Open          <handle> <connection> <status>
//   SetValue      <handle> <path> <value> <status>
//   GetValue      <handle> <path> <value answered> <status>
//   SendCommand   <handle> <path> <status>
//   ReadData      <handle> <path> <timeout> <status> <count> <batch>
//   FreePointer   <handle> <path> <status> <batch>
//   ScriptError   <handle> <message>           (before the Open line of a failed Open)
// <batch> is the index of the batch in the endpoint's script, or -1 when the
// call matched none. Calls on an unknown handle go to the log of the board
// opened last.
//
// Statuses of the plugin's own making: -1 bad argument or unknown handle or
// unknown data list, -2 a free on another handle or path than the read,
// -90 an unusable connection string or script.
#pragma once

#include "board_script.h"
#include "call_log.h"
#include "delivered_batch.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

class ScriptBoards {
public:
    static ScriptBoards& instance();

    int32_t open(const char* connection, uint32_t* handle);
    int32_t setValue(uint32_t handle, const char* path, const char* value);
    int32_t getValue(uint32_t handle, const char* path, char* value);
    int32_t sendCommand(uint32_t handle, const char* path);
    int32_t readData(uint32_t handle, const char* path, int32_t timeoutMs, void* dataList);
    int32_t freePointer(uint32_t handle, const char* path, void* dataList);
    // Delivered but not yet freed batches of the board, -1 for an unknown handle.
    int32_t outstanding(uint32_t handle);

private:
    struct Board {
        CallLog log;
        BoardScript script;                             // read-only after Open
        // Guarded by ScriptBoards::mutex_:
        std::map<QByteArray, size_t> nextBatch;         // per endpoint path
        std::map<QByteArray, QByteArray> storedValues;  // from SetValue
        std::map<QByteArray, int32_t> commandsReceived; // per command path
    };
    struct Outstanding {
        uint32_t handle;
        QByteArray path;
        int batchIndex;
        std::unique_ptr<DeliveredBatch> batch;
    };

    // The board and the log its calls go to; the board is null for an unknown handle.
    std::shared_ptr<Board> find(uint32_t handle, CallLog* log);

    std::mutex mutex_;
    std::map<uint32_t, std::shared_ptr<Board>> boards_;
    std::map<const void*, Outstanding> outstanding_;   // by the delivered entry array
    uint32_t nextHandle_ = 1;
    CallLog lastLog_;
};
