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

BoardRead::BoardRead(uint32_t handle, const QByteArray& path, int32_t timeoutMs)
    : handle_(handle)
    , path_(path)
{
    status_ = SimPlugin::instance().readDataFn(handle_, path_.constData(), timeoutMs, &list_);
    held_ = status_ == 0 && list_.count != 0;
}

int32_t BoardRead::release()
{
    if (!held_)
        return 0;
    held_ = false;
    return SimPlugin::instance().freePointerFn(handle_, path_.constData(), &list_);
}
