#include "sim_plugin.h"

SimPlugin& SimPlugin::instance()
{
    static SimPlugin plugin;
    return plugin;
}

SimPlugin::SimPlugin()
    : library_(QStringLiteral(QUARIX_SIM_PLUGIN))
{
    if (!library_.load())
        return;
    openFn = reinterpret_cast<VRAXDig2_Open_t>(library_.resolve(vraxdig2::kOpen));
    setValueFn = reinterpret_cast<VRAXDig2_SetValueByQuery_t>(library_.resolve(vraxdig2::kSetValue));
    getValueFn = reinterpret_cast<VRAXDig2_GetValueByQuery_t>(library_.resolve(vraxdig2::kGetValue));
    sendCommandFn = reinterpret_cast<VRAXDig2_SendCommandByQuery_t>(library_.resolve(vraxdig2::kSendCommand));
    readDataFn = reinterpret_cast<VRAXDig2_ReadDataByQuery_t>(library_.resolve(vraxdig2::kReadData));
    freePointerFn = reinterpret_cast<VRAXDig2_FreePointerByQuery_t>(library_.resolve(vraxdig2::kFreePointer));
    outstandingFn = reinterpret_cast<VRAXDig2Sim_OutstandingBatches_t>(library_.resolve("VRAXDig2Sim_OutstandingBatches"));
}

bool SimPlugin::loaded() const
{
    return openFn && setValueFn && getValueFn && sendCommandFn && readDataFn && freePointerFn && outstandingFn;
}

int32_t SimPlugin::open(const QByteArray& connection, uint32_t* handle) const
{
    return openFn(connection.constData(), handle);
}

uint32_t SimPlugin::openBoard(const QByteArray& connection) const
{
    uint32_t handle = 0;
    return open(connection, &handle) == 0 ? handle : 0;
}

int32_t SimPlugin::setValue(uint32_t handle, const QByteArray& path, const QByteArray& value) const
{
    return setValueFn(handle, path.constData(), value.constData());
}

QByteArray SimPlugin::value(uint32_t handle, const QByteArray& path) const
{
    char buffer[64] = {};
    getValueFn(handle, path.constData(), buffer);
    return QByteArray(buffer);
}

int32_t SimPlugin::send(uint32_t handle, const QByteArray& path) const
{
    return sendCommandFn(handle, path.constData());
}

int32_t SimPlugin::outstanding(uint32_t handle) const
{
    return outstandingFn(handle);
}

BoardRead::BoardRead(uint32_t handle, const QByteArray& path, int32_t timeoutMs)
    : handle_(handle)
    , path_(path)
{
    status_ = SimPlugin::instance().readDataFn(handle_, path_.constData(), timeoutMs, &list_);
    held_ = status_ == 0 && list_.count != 0;
}

BoardRead::~BoardRead()
{
    release();
}

int32_t BoardRead::release()
{
    if (!held_)
        return 0;
    held_ = false;
    return SimPlugin::instance().freePointerFn(handle_, path_.constData(), &list_);
}
