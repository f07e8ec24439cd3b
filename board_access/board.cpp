#include "board_access/board.h"

#include "board_access/vraxdig2_api.h"
#include "core/progress_log.h"

#include <QDebug>
#include <QJsonArray>
#include <QLibrary>

#include <array>

Board::Board(QLibrary* lib) : library(lib) {}

void* Board::resolve(const char* symbol) const
{
    return library ? reinterpret_cast<void*>(library->resolve(symbol)) : nullptr;
}

int Board::Open(const QString& connection_string)
{
    if (connected)
        return kAlreadyOpen;
    auto open = reinterpret_cast<VRAXDig2_Open_t>(resolve(vraxdig2::kOpen));
    if (!open)
        return kMissingEntryPoint;
    quint32 newHandle = 0;
    const int status = open(connection_string.toLatin1().constData(), &newHandle);
    handle = newHandle;
    connected = status == 0;
    return status;
}

int Board::SetValue(const QString& path, const QString& value)
{
    qCInfo(quarixProgress) << "Set" << path << value;
    auto set = reinterpret_cast<VRAXDig2_SetValueByQuery_t>(resolve(vraxdig2::kSetValue));
    if (!set)
        return kMissingEntryPoint;
    return set(handle, path.toLatin1().constData(), value.toLatin1().constData());
}

int Board::GetValue(const QString& path, QString& value)
{
    auto get = reinterpret_cast<VRAXDig2_GetValueByQuery_t>(resolve(vraxdig2::kGetValue));
    if (!get)
        return kMissingEntryPoint;
    std::array<char, 64> buffer{};
    const int status = get(handle, path.toLatin1().constData(), buffer.data());
    buffer.back() = '\0';   // never read past the buffer, whatever the plugin wrote
    value = QString::fromLatin1(buffer.data());
    return status;
}

int Board::SendCommand(const QString& path)
{
    auto send = reinterpret_cast<VRAXDig2_SendCommandByQuery_t>(resolve(vraxdig2::kSendCommand));
    if (!send)
        return kMissingEntryPoint;
    return send(handle, path.toLatin1().constData());
}

int Board::ReadData(const QByteArray& path, void* data_list)
{
    auto read = reinterpret_cast<VRAXDig2_ReadDataByQuery_t>(resolve(vraxdig2::kReadData));
    if (!read)
        return kMissingEntryPoint;
    return read(handle, path.constData(), vraxdig2::kReadTimeoutMs, data_list);
}

int Board::FreePointer(const QByteArray& path, void* data_list)
{
    auto release = reinterpret_cast<VRAXDig2_FreePointerByQuery_t>(resolve(vraxdig2::kFreePointer));
    if (!release)
        return kMissingEntryPoint;
    return release(handle, path.constData(), data_list);
}

void Board::LoadConfigs(const QJsonObject& entry)
{
    parameters.clear();
    const QJsonArray groups = entry.value(QLatin1String("configs")).toArray();
    for (const QJsonValue& group : groups) {
        const QJsonArray elements = group.toObject().value(QLatin1String("elements")).toArray();
        for (const QJsonValue& element : elements) {
            const BoardParameter parameter = BoardParameter::fromJson(element.toObject());
            parameters.append(parameter);
            if (!parameter.direct_apply)
                continue;
            if (!parameter.values.isEmpty()) {
                for (int i = 0; i < parameter.values.size(); ++i) {
                    const int status = SetValue(BoardParameter::channelPath(parameter.path, i), parameter.values.at(i));
                    qCInfo(quarixProgress) << "Apply " << parameter.name << "[" << i << "] : " << parameter.values.at(i) << " RES: "
                            << status;
                }
            } else {
                const int status = SetValue(parameter.path, parameter.value);
                qCInfo(quarixProgress) << "Apply " << parameter.name << ": " << parameter.value << " RES: " << status;
            }
        }
    }
}

void Board::LoadEndpoints(const QJsonObject& entry)
{
    endpoints.clear();
    const QJsonArray list = entry.value(QLatin1String("endpoints")).toArray();
    for (const QJsonValue& element : list)
        endpoints.append(BoardEndpoint::fromJson(element.toObject()));
}

void Board::LoadCommands(const QJsonObject& entry)
{
    const QJsonArray list = entry.value(QLatin1String("commands")).toArray();
    for (const QJsonValue& element : list) {
        const QJsonObject object = element.toObject();
        BoardCommand command = BoardCommand::fromJson(object);
        const QString endpointName = object.value(QLatin1String("endpoint_type")).toString();
        for (BoardEndpoint& endpoint : endpoints) {
            if (endpoint.name != endpointName)
                continue;
            command.attached = true;
            switch (command.command_type) {
            case BoardCommand::Config: endpoint.config_commands.append(command); break;
            case BoardCommand::Start: endpoint.start_commands.append(command); break;
            case BoardCommand::Stop: endpoint.stop_commands.append(command); break;
            case BoardCommand::Reset: endpoint.reset_commands.append(command); break;
            default: break;
            }
            break;
        }
        commands.append(command);
    }
}

void Board::SendCommands(const QList<BoardCommand>& list)
{
    for (const BoardCommand& command : list)
        SendCommand(command.path);
}

void Board::ConfigureBoard()
{
    bool sentConfigAll = false;
    for (const BoardCommand& command : commands) {
        if (command.command_type == BoardCommand::ConfigAll) {
            SendCommand(command.path);
            sentConfigAll = true;
            break;
        }
    }
    if (!sentConfigAll) {
        for (const BoardCommand& command : commands) {
            if (command.command_type == BoardCommand::Config && !command.attached)
                SendCommand(command.path);
        }
    }
    for (const BoardEndpoint& endpoint : endpoints) {
        SendCommands(endpoint.stop_commands);
        SendCommands(endpoint.config_commands);
        if (endpoint.enable)
            SendCommands(endpoint.start_commands);
    }
}

void Board::StopEndpoints()
{
    for (const BoardEndpoint& endpoint : endpoints)
        SendCommands(endpoint.stop_commands);
}

void Board::StartEndpoints()
{
    for (const BoardEndpoint& endpoint : endpoints) {
        if (!endpoint.enable)
            continue;
        SendCommands(endpoint.reset_commands);
        SendCommands(endpoint.start_commands);
    }
}
