#include "board_access/board_command.h"

namespace {
int commandTypeCode(const QString& text)
{
    if (text == QLatin1String("config"))
        return BoardCommand::Config;
    if (text == QLatin1String("config_all"))
        return BoardCommand::ConfigAll;
    if (text == QLatin1String("start"))
        return BoardCommand::Start;
    if (text == QLatin1String("stop"))
        return BoardCommand::Stop;
    if (text == QLatin1String("reset"))
        return BoardCommand::Reset;
    return BoardCommand::Other;
}
}  // namespace

BoardCommand BoardCommand::fromJson(const QJsonObject& object)
{
    BoardCommand command;
    command.name = object.value(QLatin1String("name")).toString();
    command.text = object.value(QLatin1String("text")).toString();
    command.path = object.value(QLatin1String("path")).toString();
    command.command_type = commandTypeCode(object.value(QLatin1String("command_type")).toString());
    // Only the JSON strings "true" count: a JSON boolean reads as false.
    command.display_ui = object.value(QLatin1String("display_ui")).toString() == QLatin1String("true");
    command.loop = object.value(QLatin1String("loop")).toString() == QLatin1String("true");
    return command;
}
