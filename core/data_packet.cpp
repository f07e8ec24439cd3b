#include "core/data_packet.h"

#include "core/quarix_payload.h"

DataPacket::~DataPacket()
{
    for (QuarixPayload* item : items)
        delete item;
}

std::vector<QuarixPayload*> DataPacket::takeItems()
{
    std::vector<QuarixPayload*> taken;
    taken.swap(items);
    return taken;
}
