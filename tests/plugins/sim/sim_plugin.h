// Loads the simulated board plugin the way the server does (QLibrary, entry
// points resolved by name) and wraps one read cycle, so the tests exercise
// exactly the calls a source worker makes.
#pragma once

#include "board_access/readout_records.h"
#include "board_access/vraxdig2_api.h"

#include <QByteArray>
#include <QLibrary>
#include <QString>

typedef int32_t (*VRAXDig2Sim_OutstandingBatches_t)(uint32_t handle);

class SimPlugin {
public:
    // The plugin loaded once per test process; check loaded() before use.
    static SimPlugin& instance();

    bool loaded() const
    {
        return openFn && setValueFn && getValueFn && sendCommandFn && readDataFn && freePointerFn && outstandingFn;
    }
    QString errorText() const { return library_.errorString(); }

    // Opens a board; returns the status and stores the handle.
    int32_t open(const QByteArray& connection, uint32_t* handle) const { return openFn(connection.constData(), handle); }
    // Opens a board that must open; 0 when it did not.
    uint32_t openBoard(const QByteArray& connection) const
    {
        uint32_t handle = 0;
        return open(connection, &handle) == 0 ? handle : 0;
    }
    int32_t setValue(uint32_t handle, const QByteArray& path, const QByteArray& value) const
    {
        return setValueFn(handle, path.constData(), value.constData());
    }
    QByteArray value(uint32_t handle, const QByteArray& path) const
    {
        char buffer[64] = {};
        getValueFn(handle, path.constData(), buffer);
        return QByteArray(buffer);
    }
    int32_t send(uint32_t handle, const QByteArray& path) const { return sendCommandFn(handle, path.constData()); }
    int32_t outstanding(uint32_t handle) const { return outstandingFn(handle); }

    VRAXDig2_Open_t openFn = nullptr;
    VRAXDig2_SetValueByQuery_t setValueFn = nullptr;
    VRAXDig2_GetValueByQuery_t getValueFn = nullptr;
    VRAXDig2_SendCommandByQuery_t sendCommandFn = nullptr;
    VRAXDig2_ReadDataByQuery_t readDataFn = nullptr;
    VRAXDig2_FreePointerByQuery_t freePointerFn = nullptr;
    VRAXDig2Sim_OutstandingBatches_t outstandingFn = nullptr;

private:
    SimPlugin();
    QLibrary library_;
};

// One read of an endpoint with its data list. The batch is handed back by
// release() or, if still held, by the destructor.
class BoardRead {
public:
    BoardRead(uint32_t handle, const QByteArray& path, int32_t timeoutMs = vraxdig2::kReadTimeoutMs);
    ~BoardRead() { release(); }
    BoardRead(const BoardRead&) = delete;
    BoardRead& operator=(const BoardRead&) = delete;

    int32_t status() const { return status_; }
    int32_t count() const { return list_.count; }
    const readout::Entry& entry(int i) const { return static_cast<const readout::Entry*>(list_.entries)[i]; }
    template <typename Record>
    const Record& record(int i) const { return *static_cast<const Record*>(entry(i).record); }
    readout::DataList& list() { return list_; }

    int32_t release();

private:
    uint32_t handle_;
    QByteArray path_;
    readout::DataList list_{};
    int32_t status_ = 0;
    bool held_ = false;
};
