#include "board_access/board_endpoint.h"

BoardEndpoint BoardEndpoint::fromJson(const QJsonObject& object)
{
    BoardEndpoint endpoint;
    endpoint.name = object.value(QLatin1String("name")).toString();
    endpoint.text = object.value(QLatin1String("text")).toString();
    endpoint.path = object.value(QLatin1String("path")).toString();
    endpoint.type_name = object.value(QLatin1String("type")).toString();
    endpoint.type = endpoint.type_name == QLatin1String("energy_sci_u32") ? 0 : 1;
    endpoint.enable = object.value(QLatin1String("enable")).toBool(false);
    return endpoint;
}
